#include "gui/main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTextDocument>
#include <QStatusBar>

#include <algorithm>

#include "app/refusal_text.h"
#include "app/thumbnail_settings.h"
#include "backup/image_backup.h"
#include "driver/scan_driver.h"
#include "gui/gui_front_end.h"
#include "gui/ui_support.h"
#include "platform/elevation.h"
#include "scan/document_families.h"
#include "source/sector_number.h"
#include "viewer/hex_dump.h"

namespace vellumark::gui {

namespace {

constexpr int kButtonHeight = 25;
constexpr int kStatusHeight = 22;
constexpr int kGap = 4;
constexpr std::array<int, 4> kPanelWidths{136, 152, 312, 250};

template <typename W>
W* named(W* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

// A control's place in the window's design: left and top, and its least width (0: its own).
struct Place {
  QWidget* widget;
  int left;
  int top;
  int width;
  int height;
};

// Places one row left to right: each control at its design position, moved right when the
// one before it needs the room (longer captions in another language), never narrower than
// its caption needs.
void fitRow(const std::vector<Place>& row) {
  int right = 0;
  for (const Place& p : row) {
    const int width = std::max(p.width, p.widget->sizeHint().width());
    const int left = std::max(p.left, right == 0 ? 0 : right + kGap);
    const int height = p.height > 0 ? p.height : p.widget->sizeHint().height();
    p.widget->setGeometry(left, p.top, width, height);
    right = left + width;
  }
}

// The largest pixel size, at most the font's own, at which text fits into width.
QFont fittedFont(QFont font, const QString& text, int width) {
  while (font.pixelSize() > 9 && QFontMetrics(font).horizontalAdvance(text) > width) font.setPixelSize(font.pixelSize() - 1);
  return font;
}

QString folderWithSlash(QString folder) {
  if (!folder.isEmpty() && !folder.endsWith('/')) folder += '/';
  return folder;
}

}  // namespace

MainWindow::MainWindow(std::string programFolder, BrandingTexts branding, DriveLister& drives)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      programFolder_(std::move(programFolder)),
      branding_(std::move(branding)),
      drives_(drives) {
  setObjectName(QStringLiteral("TForm1"));
  buildControls();
  buildHexView();
  form3_ = std::make_unique<SearchDialog>(state_, this);
  form2_ = std::make_unique<RecoveryDialog>(state_, this);
  setExpanded(false);

  // Creation: the output folder starts as the program's folder (when it can take files) and
  // the thumbnail rules are read from there.
  const QString folder = QString::fromStdString(programFolder_);
  edit2->setText(QFileInfo(folder).isWritable() ? folder : folderWithSlash(QDir::homePath()));
  ThumbnailSettings settings = loadThumbnailSettings(programFolder_);
  state_.thumbnailRules = std::move(settings.rules);
  settingsWarnings_ = std::move(settings.warnings);

  chooseImageFile = [this] {
    return QFileDialog::getOpenFileName(this, text(3), edit2->text(),
                                        QStringLiteral("Disk image files (*.img);;All files (*)"));
  };
  chooseBackupFile = [this] {
    return QFileDialog::getSaveFileName(this, text(15), edit2->text(), QStringLiteral("Disk image files (*.img)"));
  };
  chooseFolder = [this](const QString& start) {
    QString from = start.isEmpty() ? QDir::currentPath() : start;
    if (from.size() > 1 && from.endsWith('/')) from.chop(1);
    return QFileDialog::getExistingDirectory(this, text(8), from, QFileDialog::ShowDirsOnly);
  };
  openExternally = [](const QString& target) { (void)platform::openWithDesktop(target.toStdString()); };
  closeSource();
}

MainWindow::~MainWindow() { hiTimer1_.reset(); }

void MainWindow::buildControls() {
  label5 = named(new QLabel(this), "Label5");
  label12 = named(new QLabel(this), "Label12");
  label12->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  driveComboBox1 = named(new DriveComboBox(drives_, this), "DriveComboBox1");
  button1 = named(new QPushButton(this), "Button1");
  button10 = named(new QPushButton(this), "Button10");
  button2 = named(new QPushButton(this), "Button2");
  checkBox8 = named(new QCheckBox(this), "CheckBox8");
  label16 = named(new QLabel(this), "Label16");
  groupBox1 = named(new QGroupBox(this), "GroupBox1");
  label9 = named(new QLabel(groupBox1), "Label9");
  chkDOC = named(new QCheckBox(QStringLiteral("DOC(DOCX, WPS)"), groupBox1), "chkDOC");
  chkXLS = named(new QCheckBox(QStringLiteral("XLS(XLSX, ET)"), groupBox1), "chkXLS");
  chkPPT = named(new QCheckBox(QStringLiteral("PPT(PPTX, DPS)"), groupBox1), "chkPPT");
  label2 = named(new QLabel(groupBox1), "Label2");
  edit2 = named(new QLineEdit(groupBox1), "Edit2");
  button6 = named(new QPushButton(groupBox1), "Button6");
  button7 = named(new QPushButton(groupBox1), "Button7");
  label8 = named(new QLabel(groupBox1), "Label8");
  comboBox3 = named(new QComboBox(groupBox1), "ComboBox3");
  label7 = named(new QLabel(groupBox1), "Label7");
  comboBox2 = named(new QComboBox(groupBox1), "ComboBox2");
  comboBox2->addItems({"FAT", "FAT32", "NTFS", "exFAT", "HFS", "HFS+/HFSX", "OTHER"});
  label6 = named(new QLabel(groupBox1), "Label6");
  comboBox1 = named(new QComboBox(groupBox1), "ComboBox1");
  comboBox1->addItems({"0.5K", "1K", "2K", "4K", "8K", "16K", "32K", "64K", "128K"});
  label3 = named(new QLabel(groupBox1), "Label3");
  edit3 = named(new QLineEdit(groupBox1), "Edit3");
  label11 = named(new QLabel(QStringLiteral("-"), groupBox1), "Label11");
  edit4 = named(new QLineEdit(groupBox1), "Edit4");
  button12 = named(new QPushButton(groupBox1), "Button12");
  button11 = named(new QPushButton(groupBox1), "Button11");
  speedButton1 = named(new QPushButton(this), "SpeedButton1");
  speedButton1->setCheckable(true);
  statusBar1 = named(new QStatusBar(this), "StatusBar1");
  statusBar1->setSizeGripEnabled(false);
  for (int w : kPanelWidths) {
    auto* panel = new QLabel(statusBar1);
    panel->setFixedWidth(w);
    statusBar1->addWidget(panel);
    statusPanels.push_back(panel);
  }
  statusBar1->installEventFilter(this);
  for (QCheckBox* box : {chkDOC, chkXLS, chkPPT}) box->setChecked(true);
  state_.typeFlags = kAllFamilies;

  connect(button1, &QPushButton::clicked, this, [this] { openDrive(); });
  connect(button10, &QPushButton::clicked, this, [this] { openImage(); });
  connect(button2, &QPushButton::clicked, this, [this] { closeSource(); });
  connect(button12, &QPushButton::clicked, this, [this] { deepScan(); });
  connect(button11, &QPushButton::clicked, this, [this] { backup(); });
  connect(chkDOC, &QCheckBox::clicked, this, [this](bool on) { setFamily(kFamilyDoc, on); });
  connect(chkXLS, &QCheckBox::clicked, this, [this](bool on) { setFamily(kFamilyXls, on); });
  connect(chkPPT, &QCheckBox::clicked, this, [this](bool on) { setFamily(kFamilyPpt, on); });
  connect(button6, &QPushButton::clicked, this, [this] {
    const QString chosen = chooseFolder(edit2->text());
    if (!chosen.isEmpty()) edit2->setText(folderWithSlash(chosen));
  });
  connect(button7, &QPushButton::clicked, this, [this] {
    if (!edit2->text().isEmpty() && QFileInfo(edit2->text()).isDir()) openExternally(edit2->text());
  });
  connect(comboBox3, &QComboBox::activated, this, [this](int i) { reasonChosen(i); });
  connect(comboBox2, &QComboBox::activated, this, [this](int i) { typeChosen(i); });
  connect(comboBox1, &QComboBox::activated, this, [this](int i) { clusterSizeChosen(i); });
  connect(speedButton1, &QPushButton::toggled, this, [this](bool down) { setExpanded(down); });
}

void MainWindow::buildHexView() {
  hexPanel = named(new QWidget(this), "HexPanel");
  hexPanel->setGeometry(0, 244, kClientWidth, kExpandedHeight - kStatusHeight - 244);
  label1 = named(new QLabel(hexPanel), "Label1");
  edit1 = named(new QLineEdit(hexPanel), "Edit1");
  button5 = named(new QPushButton(hexPanel), "Button5");
  button8 = named(new QPushButton(QStringLiteral("|<"), hexPanel), "Button8");
  button3 = named(new QPushButton(QStringLiteral("<"), hexPanel), "Button3");
  button4 = named(new QPushButton(QStringLiteral(">"), hexPanel), "Button4");
  button9 = named(new QPushButton(QStringLiteral(">|"), hexPanel), "Button9");
  memo1 = named(new QPlainTextEdit(hexPanel), "Memo1");
  memo1->setReadOnly(true);
  memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
  memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memo1->setFont(hexFont());
  memo1->setGeometry(4, 32, kClientWidth - 8, hexPanel->height() - 34);
  edit1->installEventFilter(this);
  connect(button5, &QPushButton::clicked, this, [this] { goToTypedSector(); });
  connect(button8, &QPushButton::clicked, this, [this] { if (state_.isOpen()) (void)showSector(0); });
  connect(button3, &QPushButton::clicked, this, [this] { step(-1); });
  connect(button4, &QPushButton::clicked, this, [this] { step(1); });
  connect(button9, &QPushButton::clicked, this,
          [this] { if (state_.isOpen()) (void)showSector(state_.geometry.lastSector); });
}

void MainWindow::setCaptions() {
  setFont(uiFont());
  label5->setText(text(60));
  label12->setText(text(78));
  button1->setText(text(2));
  button10->setText(text(3));
  button2->setText(text(4));
  checkBox8->setText(text(85));
  label9->setText(text(7));
  label2->setText(text(8));
  button6->setText(text(9));
  button7->setText(text(83));
  label8->setText(text(66));
  label7->setText(text(11));
  label6->setText(text(12));
  label3->setText(text(13));
  button12->setText(text(14));
  button11->setText(text(15));
  speedButton1->setText(text(62));
  label1->setText(text(5));
  button5->setText(text(6));
  comboBox3->clear();
  comboBox3->addItems({text(67), text(68), text(69)});
  fitRows();
}

void MainWindow::fitRows() {
  // The help line and the hex dump keep to the window's width: a longer text gets a smaller font.
  label5->setFont(fittedFont(font(), label5->text(), kClientWidth - 24));
  label5->setGeometry(16, 8, kClientWidth - 24, label5->sizeHint().height());
  const int scrollBar = memo1->verticalScrollBar()->sizeHint().width();
  const int dumpWidth = memo1->width() - scrollBar - 2 * memo1->frameWidth() - 2 * int(memo1->document()->documentMargin());
  memo1->setFont(fittedFont(hexFont(), QString::fromLatin1(kHexDumpHeader.data(), kHexDumpHeader.size()), dumpWidth));
  memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  const int labelWidth = label12->sizeHint().width();
  label12->setGeometry(std::max(0, 125 - labelWidth), 44, std::max(labelWidth, 117), 17);
  label12->setGeometry(125 - label12->width(), 44, label12->width(), 17);
  fitRow({{driveComboBox1, 128, 42, 337, 21}, {button1, 471, 40, 78, kButtonHeight},
          {button10, 550, 40, 91, kButtonHeight}, {button2, 646, 40, 43, kButtonHeight}});
  fitRow({{checkBox8, 24, 72, 249, 0}, {label16, 328, 73, 537, 0}});
  fitRow({{label9, 40, 17, 0, 0}, {chkDOC, 88, 16, 0, 0}, {chkXLS, 248, 16, 0, 0}, {chkPPT, 392, 16, 0, 0}});
  fitRow({{label2, 28, 44, 0, 0}, {edit2, 120, 40, 449, 0}, {button6, 570, 39, 60, kButtonHeight},
          {button7, 632, 39, 97, kButtonHeight}});
  fitRow({{label8, 48, 76, 0, 0}, {comboBox3, 81, 72, 136, 0}, {label7, 296, 76, 0, 0}, {comboBox2, 353, 72, 92, 0},
          {label6, 495, 76, 0, 0}, {comboBox1, 540, 72, 56, 0}});
  fitRow({{label3, 80, 108, 0, 0}, {edit3, 136, 104, 121, 0}, {label11, 260, 108, 0, 0}, {edit4, 268, 104, 121, 0},
          {button12, 500, 104, 86, kButtonHeight}, {button11, 615, 104, 114, kButtonHeight}});
  int groupRight = 753;
  for (QWidget* w : groupBox1->findChildren<QWidget*>()) groupRight = std::max(groupRight, w->geometry().right() + 12);
  groupBox1->setGeometry(8, 92, std::min(groupRight, kClientWidth - 16), 146);
  speedButton1->setGeometry(776, 212, std::max(81, speedButton1->sizeHint().width()), kButtonHeight);
  speedButton1->move(kClientWidth - 8 - speedButton1->width(), 212);
  fitRow({{label1, 16, 6, 0, 0}, {edit1, 60, 2, 121, 0}, {button5, 190, 1, 60, kButtonHeight},
          {button8, 270, 1, 34, kButtonHeight}, {button3, 306, 1, 34, kButtonHeight},
          {button4, 342, 1, 34, kButtonHeight}, {button9, 378, 1, 34, kButtonHeight}});
}

void MainWindow::setExpanded(bool expanded) {
  const int height = expanded ? kExpandedHeight : kCollapsedHeight;
  setFixedSize(kClientWidth, height);
  hexPanel->setVisible(expanded);
  statusBar1->setGeometry(0, height - kStatusHeight, kClientWidth, kStatusHeight);
}

void MainWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!shownOnce_) {
    shownOnce_ = true;
    firstShow();
  }
}

void MainWindow::firstShow() {
  const bool named = !branding_.brandName.empty();
  setWindowTitle(named ? QString::fromStdString(branding_.brandName) + text(75) : text(1));
  statusPanels[2]->setText(branding_.brandStatusText.empty() ? text(76)
                                                              : QString::fromStdString(branding_.brandStatusText));
  statusPanels[3]->setText(QString::fromStdString(branding_.brandLink));
  comboBox3->setCurrentIndex(0);
  driveComboBox1->removeNetworkDrives();
  driveComboBox1->addPhysicalDisks();
  if (QScreen* screen = QApplication::primaryScreen()) move(screen->availableGeometry().center() - rect().center());
  hiTimer1_ = std::make_unique<DisplayTimer>(state_);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (busy_) {
    event->ignore();
    return;
  }
  hiTimer1_.reset();
  closeSource();
  event->accept();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == statusBar1 && event->type() == QEvent::MouseButtonPress) {
    const auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->position().x() > kStatusLinkX && !branding_.brandLink.empty())
      openExternally(QString::fromStdString(branding_.brandLink));
    return false;
  }
  if (watched == edit1 && event->type() == QEvent::KeyPress) {
    switch (static_cast<QKeyEvent*>(event)->key()) {
      case Qt::Key_Up: step(-1); return true;
      case Qt::Key_Down: step(1); return true;
      case Qt::Key_PageUp: step(-10); return true;
      case Qt::Key_PageDown: step(10); return true;
      case Qt::Key_Return:
      case Qt::Key_Enter: goToTypedSector(); return true;
      default: break;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void MainWindow::message(int entry, int caption) {
  if (entry > 0) QMessageBox::critical(isVisible() ? this : nullptr, text(caption), text(entry), QMessageBox::Ok);
}

void MainWindow::setFamily(std::uint32_t bit, bool on) {
  if (on) state_.typeFlags |= bit;
  else state_.typeFlags &= ~bit;
}

// Opening and closing.

void MainWindow::openDrive() {
  closeSource();
  const std::string path = driveComboBox1->chosenPath();
  if (path.empty()) return;
  if (!openScanSource(state_, path)) {
    message(16);
    return;
  }
  state_.sourceName = driveComboBox1->currentText().toStdString();
  completeOpening(false);
}

void MainWindow::openImage() {
  closeSource();
  const QString path = chooseImageFile();
  if (path.isEmpty()) return;
  (void)openImagePath(path);
}

bool MainWindow::openImagePath(const QString& path) {
  closeSource();
  if (!openScanSource(state_, path.toStdString())) {
    message(48);
    return false;
  }
  completeOpening(true);
  label16->setText(text(84) + QFileInfo(path).fileName());
  return true;
}

void MainWindow::completeOpening(bool imageFile) {
  lists_ = listsAfterOpening(state_.detectedGeometry);
  clusterChosenByUser_ = false;
  const VolumeGeometry& g = state_.geometry;
  checkBox8->setEnabled(g.fsType < kFsUnknown);
  showLists();
  edit3->setText(QStringLiteral("0"));
  edit4->setText(QString::number(g.lastSector));
  if (!imageFile) statusPanels[0]->setText(text(86) + QString::number(g.bytesPerSector));
  statusPanels[1]->setText(text(18) + QString::number(g.lastSector + 1));
  (void)showSector(0);
  for (QWidget* w : std::initializer_list<QWidget*>{memo1, edit1, button5}) w->setEnabled(true);
  groupBox1->show();
  for (QWidget* w : std::initializer_list<QWidget*>{driveComboBox1, button1, button10}) w->setEnabled(false);
  label16->setText(text(84) + QString::fromStdString(state_.sourceName));
}

void MainWindow::closeSource() {
  if (state_.isOpen()) closeScanSource(state_);
  memo1->clear();
  for (QWidget* w : std::initializer_list<QWidget*>{button8, button3, button4, button9, memo1, edit1, button5})
    w->setEnabled(false);
  groupBox1->hide();
  for (QWidget* w : std::initializer_list<QWidget*>{driveComboBox1, button1, button10}) w->setEnabled(true);
  checkBox8->setChecked(false);
  checkBox8->setEnabled(false);
  label16->clear();
}

// The three lists.

void MainWindow::showLists() {
  comboBox3->setCurrentIndex(lists_.reason);
  comboBox2->setCurrentIndex(lists_.fsItem);
  comboBox1->setCurrentIndex(lists_.clusterItem);
  comboBox2->setEnabled(lists_.typeAndClusterEnabled);
  comboBox1->setEnabled(lists_.typeAndClusterEnabled);
}

void MainWindow::reasonChosen(int index) {
  lists_.reason = index;
  clusterChosenByUser_ = false;
  const int refusal = onReasonChosen(lists_, state_.detectedGeometry, state_.geometry);
  showLists();
  message(refusal);
}

void MainWindow::typeChosen(int index) {
  lists_.fsItem = index;
  clusterChosenByUser_ = false;
  onTypeChosen(lists_, state_.geometry);
  showLists();
}

void MainWindow::clusterSizeChosen(int index) {
  lists_.clusterItem = index;
  clusterChosenByUser_ = true;
  onClusterSizeChosen(lists_, state_.geometry, true);
  showLists();
}

// The hex view.

bool MainWindow::showSector(std::int64_t s) {
  const std::uint32_t bps = state_.geometry.bytesPerSector;
  if (bps == 0 || bps > kMaxSectorSize || bps % 32 != 0) return false;
  std::vector<std::uint8_t> sector(bps);
  if (!readSector(state_, s, sector)) return false;
  QStringList lines;
  for (const std::string& line : hexDumpLines(sector)) lines << QString::fromLatin1(line.data(), line.size());
  memo1->setPlainText(lines.join('\n'));
  viewSector_ = s;
  edit1->setText(QString::number(s));
  const bool back = viewSector_ > 0;
  const bool forward = viewSector_ < state_.geometry.lastSector;
  button3->setEnabled(back);
  button8->setEnabled(back);
  button4->setEnabled(forward);
  button9->setEnabled(forward);
  return true;
}

void MainWindow::step(std::int64_t delta) {
  if (!state_.isOpen()) return;
  const std::int64_t last = state_.geometry.lastSector;
  if (delta < 0 && viewSector_ > 0) (void)showSector(std::max<std::int64_t>(viewSector_ + delta, 0));
  if (delta > 0 && viewSector_ < last) (void)showSector(std::min(viewSector_ + delta, last));
}

void MainWindow::goToTypedSector() {
  if (!state_.isOpen()) return;
  const std::int64_t n = parseSectorNumber(edit1->text().toStdString());
  if (n < 0 || n > state_.geometry.lastSector) {
    message(19);
    return;
  }
  (void)showSector(n);
}

// Deep scan and backup.

void MainWindow::deepScan() {
  if (busy_ || !state_.isOpen()) return;
  busy_ = true;
  ScanRequest request;
  request.outputFolder = edit2->text().toStdString();
  request.startSector = parseSectorNumber(edit3->text().toStdString());
  request.endSector = parseSectorNumber(edit4->text().toStdString());
  request.freeSpaceOnly = checkBox8->isChecked();
  request.lists = &lists_;
  request.clusterSizeChosen = clusterChosenByUser_;
  GuiFrontEnd frontEnd(state_, *form3_, *form2_, this);
  const ScanSummary summary = runScan(state_, frontEnd, request);
  frontEnd.finish();
  show();
  busy_ = false;
  if (summary.refusal != ScanRefusal::None) {
    const int entry = refusalTextEntry(summary.refusal);
    if (summary.refusal == ScanRefusal::NoMemory) QMessageBox::information(this, QString(), text(entry));
    else message(entry);
    if (summary.refusal == ScanRefusal::NoOutputFolder || summary.refusal == ScanRefusal::OutputOnSource)
      edit2->setFocus();
    return;
  }
  if (summary.freeSpaceMarkingFailed) {
    checkBox8->setChecked(false);
    if (summary.disableFreeSpace) checkBox8->setEnabled(false);
  }
  const QString finished = text(27) + QString::number(summary.recovered);
  statusPanels[0]->setText(finished);
  QMessageBox::information(this, text(29), finished, QMessageBox::Ok);
}

void MainWindow::backup() {
  if (busy_ || !state_.isOpen()) return;
  const QString path = chooseBackupFile();
  if (path.isEmpty()) return;
  busy_ = true;
  BackupRequest request;
  request.imagePath = path.toStdString();
  request.startSector = parseSectorNumber(edit3->text().toStdString());
  request.endSector = parseSectorNumber(edit4->text().toStdString());
  request.freeSpaceOnly = checkBox8->isChecked();
  request.replaceExisting = true;  // the save dialog has asked
  GuiFrontEnd frontEnd(state_, *form3_, *form2_, this);
  const BackupSummary summary = runBackup(state_, frontEnd, request);
  frontEnd.finish();
  show();
  busy_ = false;
  if (summary.refusal != ScanRefusal::None) {
    const int entry = backupRefusalTextEntry(summary.refusal);
    if (entry > 0) message(entry);
    else QMessageBox::critical(this, text(17), QString::fromStdString(summary.refusalDetail));
    return;
  }
  if (summary.freeSpaceMarkingFailed) {
    checkBox8->setChecked(false);
    if (summary.disableFreeSpace) checkBox8->setEnabled(false);
  }
  if (summary.outputFull) message(40);
  else if (summary.writeFailed) QMessageBox::critical(this, text(17), QString::fromStdString(summary.writeError.message()));
  else if (!summary.cancelled && summary.imageKept && !summary.partial)
    QMessageBox::information(this, text(45), text(summary.sectorsUnreadable > 0 ? 46 : 47), QMessageBox::Ok);
}

}  // namespace vellumark::gui
