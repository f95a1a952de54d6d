#pragma once
// The two progress dialogs. TForm3 shows the marking of allocated space, the first pass, the
// alignment estimate and the backup, with Cancel; TForm2 the carving, with Pause and Stop.
// Their buttons only set the flags in ScanControls that the engine's loops test, and the
// user cannot close them from the frame while the engine runs.

#include <QDialog>

#include "scan/scan_state.h"

class QLabel;
class QPushButton;

namespace vellumark::gui {

class SearchDialog final : public QDialog {  // TForm3
 public:
  explicit SearchDialog(ScanControls& controls, QWidget* parent = nullptr);
  QLabel* label1;  // sector
  QLabel* label2;  // percent
  QLabel* label3;  // found / errors
  QLabel* label4;  // source
  QPushButton* button1;  // Cancel

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

 private:
  ScanControls& controls_;
};

class RecoveryDialog final : public QDialog {  // TForm2
 public:
  explicit RecoveryDialog(ScanControls& controls, QWidget* parent = nullptr);
  QLabel* label1;  // recovered
  QLabel* label2;  // progress
  QLabel* label3;  // sector
  QLabel* label4;  // source
  QPushButton* speedButton1;  // Pause (toggles)
  QPushButton* button2;       // Stop

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

 private:
  ScanControls& controls_;
};

}  // namespace vellumark::gui
