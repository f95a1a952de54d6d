#include "gui/gui_front_end.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include "gui/ui_support.h"
#include "scan/progress.h"

namespace vellumark::gui {

namespace {

QString number(std::int64_t n) { return QString::number(n); }

QString percent(std::int64_t total, std::int64_t done) { return QString::fromStdString(formatPercent(total, done)); }

bool isSearchPhase(ScanPhase p) {
  return p == ScanPhase::MarkingAllocated || p == ScanPhase::FirstPass || p == ScanPhase::Estimating ||
         p == ScanPhase::Backup;
}

bool isRecoveryPhase(ScanPhase p) { return p == ScanPhase::SecondPass || p == ScanPhase::FinalSweep; }

}  // namespace

QWidget* GuiFrontEnd::boxParent() const {
  if (shown_ == Shown::Search) return &search_;
  if (shown_ == Shown::Recovery) return &recovery_;
  return mainWindow_;
}

void GuiFrontEnd::enterPhase(ScanPhase phase) {
  const QString source = text(77) + QString::fromStdString(state_.sourceName);
  if (isSearchPhase(phase) && shown_ != Shown::Search) {
    recovery_.hide();
    search_.setFont(uiFont());
    search_.label4->setText(source);
    search_.label3->clear();
    search_.button1->setText(text(55));
    if (mainWindow_ != nullptr) mainWindow_->hide();
    search_.show();
    shown_ = Shown::Search;
  }
  if (isRecoveryPhase(phase) && shown_ != Shown::Recovery) {
    search_.hide();
    recovery_.setFont(uiFont());
    recovery_.setWindowTitle(text(24));
    recovery_.label4->setText(source);
    recovery_.label1->setText(text(25));
    recovery_.label2->setText(text(65));
    recovery_.label3->setText(text(41));
    recovery_.speedButton1->setChecked(false);
    recovery_.speedButton1->setText(text(53));
    recovery_.button2->setText(text(54));
    if (mainWindow_ != nullptr) mainWindow_->hide();
    recovery_.show();
    shown_ = Shown::Recovery;
  }
  switch (phase) {
    case ScanPhase::MarkingAllocated:
      search_.setWindowTitle(text(87));
      search_.label1->clear();
      search_.label2->setText(text(51) + "0");
      break;
    case ScanPhase::FirstPass:
      search_.setWindowTitle(text(49));
      search_.label1->setText(text(50) + "0");
      search_.label2->setText(text(51) + "0");
      break;
    case ScanPhase::Estimating:
      search_.setWindowTitle(text(10));
      search_.label3->clear();
      break;
    case ScanPhase::Backup:
      search_.setWindowTitle(text(37));
      search_.label1->setText(text(38));
      search_.label2->setText(text(39));
      break;
    default: break;
  }
  phase_ = phase;
}

void GuiFrontEnd::followPhase() {
  const ScanPhase now = state_.phase.load(std::memory_order_relaxed);
  if (now != phase_) enterPhase(now);
}

void GuiFrontEnd::progress(const ProgressReport& r) {
  if (r.phase != phase_) enterPhase(r.phase);
  switch (r.phase) {
    case ScanPhase::MarkingAllocated: search_.label2->setText(text(51) + percent(r.total, r.done)); break;
    case ScanPhase::FirstPass:
      search_.label1->setText(text(50) + number(r.sector));
      search_.label2->setText(text(51) + percent(r.total, r.done));
      search_.label3->setText(text(52) + number(r.documentCandidates));
      break;
    case ScanPhase::Estimating: search_.label2->setText(text(51) + percent(r.total, r.done)); break;
    case ScanPhase::Backup:
      search_.label1->setText(text(41) + number(r.sector));
      search_.label2->setText(text(42) + percent(r.total, r.done));
      search_.label3->setText(r.unreadable > 0 ? text(43) + number(r.unreadable) : QString());
      break;
    case ScanPhase::SecondPass:
    case ScanPhase::FinalSweep:
      recovery_.label1->setText(text(25) + number(r.recovered));
      recovery_.label2->setText(text(65) + number(r.total > 0 ? r.done * 100 / r.total : 0) + "%");
      recovery_.label3->setText(text(41) + number(r.sector));
      break;
    default: break;
  }
}

void GuiFrontEnd::pump() {
  followPhase();
  QApplication::processEvents(QEventLoop::AllEvents);
}

void GuiFrontEnd::showMessage(int entry) {
  QMessageBox::critical(boxParent(), text(17), text(entry), QMessageBox::Ok);
}

SaveFailureChoice GuiFrontEnd::askSaveFailed(std::string_view fileName, std::string_view reason) {
  QMessageBox box(QMessageBox::Critical, text(61), text(28) + QString::fromUtf8(fileName.data(), fileName.size()),
                  QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore, boxParent());
  box.setInformativeText(QString::fromUtf8(reason.data(), reason.size()));
  switch (box.exec()) {
    case QMessageBox::Abort: return SaveFailureChoice::Abort;
    case QMessageBox::Retry: return SaveFailureChoice::Retry;
    default: return SaveFailureChoice::Ignore;
  }
}

bool GuiFrontEnd::deletePartialImage(std::string_view) {
  return QMessageBox::question(boxParent(), text(45), text(44), QMessageBox::Yes | QMessageBox::No) ==
         QMessageBox::Yes;
}

void GuiFrontEnd::finish() {
  search_.hide();
  recovery_.hide();
  shown_ = Shown::None;
  phase_ = ScanPhase::Idle;
}

}  // namespace vellumark::gui
