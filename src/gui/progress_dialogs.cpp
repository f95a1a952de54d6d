#include "gui/progress_dialogs.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace vellumark::gui {

namespace {

constexpr Qt::WindowFlags kDialogFlags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;

QLabel* addLabel(QVBoxLayout* column, const char* name) {
  auto* label = new QLabel;
  label->setObjectName(QString::fromLatin1(name));
  label->setMinimumWidth(360);
  column->addWidget(label);
  return label;
}

QPushButton* addButton(QHBoxLayout* row, const char* name) {
  auto* button = new QPushButton;
  button->setObjectName(QString::fromLatin1(name));
  button->setFlat(true);
  button->setAutoDefault(false);
  button->setMinimumWidth(80);
  row->addWidget(button);
  return button;
}

}  // namespace

SearchDialog::SearchDialog(ScanControls& controls, QWidget* parent)
    : QDialog(parent, kDialogFlags), controls_(controls) {
  setObjectName(QStringLiteral("TForm3"));
  auto* column = new QVBoxLayout(this);
  label4 = addLabel(column, "Label4");
  label1 = addLabel(column, "Label1");
  label2 = addLabel(column, "Label2");
  label3 = addLabel(column, "Label3");
  auto* row = new QHBoxLayout;
  row->addStretch();
  button1 = addButton(row, "Button1");
  column->addLayout(row);
  connect(button1, &QPushButton::clicked, this, [this] { controls_.scanCancelled = true; });
}

void SearchDialog::closeEvent(QCloseEvent* event) {
  if (controls_.scanCancelled) event->accept();
  else event->ignore();
}

void SearchDialog::reject() {
  // Escape must not take the dialog away while the loop runs.
  if (controls_.scanCancelled) QDialog::reject();
}

RecoveryDialog::RecoveryDialog(ScanControls& controls, QWidget* parent)
    : QDialog(parent, kDialogFlags), controls_(controls) {
  setObjectName(QStringLiteral("TForm2"));
  auto* column = new QVBoxLayout(this);
  label4 = addLabel(column, "Label4");
  label2 = addLabel(column, "Label2");
  label3 = addLabel(column, "Label3");
  label1 = addLabel(column, "Label1");
  auto* row = new QHBoxLayout;
  row->addStretch();
  speedButton1 = addButton(row, "SpeedButton1");
  speedButton1->setCheckable(true);
  button2 = addButton(row, "Button2");
  column->addLayout(row);
  connect(speedButton1, &QPushButton::toggled, this,
          [this](bool down) { controls_.recoveryState = down ? kRecoveryPaused : kRecoveryRunning; });
  connect(button2, &QPushButton::clicked, this, [this] { controls_.recoveryState = kRecoveryStopRequested; });
}

void RecoveryDialog::closeEvent(QCloseEvent* event) {
  if (controls_.carvingOver()) event->accept();
  else event->ignore();
}

void RecoveryDialog::reject() {
  if (controls_.carvingOver()) QDialog::reject();
}

}  // namespace vellumark::gui
