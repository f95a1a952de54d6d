#pragma once
// The main window (TForm1): choosing and opening a source, the recovery settings, the deep
// scan and the backup, and (expanded) the hex view. Controls carry the names the window's
// handlers are known by (Button1 open drive, Button10 open image, Button2 close, Button12
// deep scan, Button11 backup, ...), which is also how tests find them.

#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

#include "app/branding.h"
#include "gui/drive_list.h"
#include "gui/progress_dialogs.h"
#include "scan/display_timer.h"
#include "scan/scan_state.h"
#include "source/cluster_selection.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;

namespace vellumark::gui {

inline constexpr int kClientWidth = 870;
inline constexpr int kCollapsedHeight = 264;
inline constexpr int kExpandedHeight = 566;
inline constexpr int kStatusLinkX = 650;  // clicks right of this are on the link panel

class MainWindow final : public QWidget {
 public:
  // programFolder ends in '/'; it holds the thumbnail settings and is the first output folder.
  MainWindow(std::string programFolder, BrandingTexts branding, DriveLister& drives);
  ~MainWindow() override;

  // Sets every caption from the text table (called once all windows exist).
  void setCaptions();
  // The branding texts, read after the windows exist; the first show uses them.
  void setBranding(BrandingTexts branding) { branding_ = std::move(branding); }

  // The file dialogs, replaceable so that tests can answer them. Empty: cancelled.
  std::function<QString()> chooseImageFile;
  std::function<QString()> chooseBackupFile;
  std::function<QString(const QString& start)> chooseFolder;
  // Asks the desktop to open a folder or an address.
  std::function<void(const QString&)> openExternally;

  // Handlers, by the controls they belong to.
  void openDrive();                            // Button1
  void openImage();                            // Button10
  bool openImagePath(const QString& path);     // Button10 after the dialog
  void closeSource();                          // Button2
  void deepScan();                             // Button12
  void backup();                               // Button11
  bool showSector(std::int64_t s);
  void goToTypedSector();                      // Button5, Enter in Edit1

  [[nodiscard]] ScanState& state() { return state_; }
  [[nodiscard]] const SelectionLists& lists() const { return lists_; }
  [[nodiscard]] SearchDialog& searchDialog() { return *form3_; }
  [[nodiscard]] RecoveryDialog& recoveryDialog() { return *form2_; }
  [[nodiscard]] const std::vector<std::string>& settingsWarnings() const { return settingsWarnings_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void buildControls();
  void buildHexView();
  void fitRows();
  void setExpanded(bool expanded);
  void firstShow();
  void completeOpening(bool imageFile);
  void showLists();
  void setFamily(std::uint32_t bit, bool on);
  void reasonChosen(int index);
  void typeChosen(int index);
  void clusterSizeChosen(int index);
  void step(std::int64_t delta);
  void message(int entry, int caption = 17);

  std::string programFolder_;
  BrandingTexts branding_;
  DriveLister& drives_;
  ScanState state_;
  SelectionLists lists_;
  std::int64_t viewSector_ = 0;
  bool clusterChosenByUser_ = false;
  bool busy_ = false;
  bool shownOnce_ = false;
  std::unique_ptr<DisplayTimer> hiTimer1_;
  std::vector<std::string> settingsWarnings_;
  std::unique_ptr<SearchDialog> form3_;
  std::unique_ptr<RecoveryDialog> form2_;

 public:
  // Controls (named as in the window's design).
  QLabel* label5 = nullptr;
  QLabel* label12 = nullptr;
  DriveComboBox* driveComboBox1 = nullptr;
  QPushButton* button1 = nullptr;
  QPushButton* button10 = nullptr;
  QPushButton* button2 = nullptr;
  QCheckBox* checkBox8 = nullptr;
  QLabel* label16 = nullptr;
  QGroupBox* groupBox1 = nullptr;
  QLabel* label9 = nullptr;
  QCheckBox* chkDOC = nullptr;
  QCheckBox* chkXLS = nullptr;
  QCheckBox* chkPPT = nullptr;
  QLabel* label2 = nullptr;
  QLineEdit* edit2 = nullptr;
  QPushButton* button6 = nullptr;
  QPushButton* button7 = nullptr;
  QLabel* label8 = nullptr;
  QComboBox* comboBox3 = nullptr;
  QLabel* label7 = nullptr;
  QComboBox* comboBox2 = nullptr;
  QLabel* label6 = nullptr;
  QComboBox* comboBox1 = nullptr;
  QLabel* label3 = nullptr;
  QLineEdit* edit3 = nullptr;
  QLabel* label11 = nullptr;
  QLineEdit* edit4 = nullptr;
  QPushButton* button12 = nullptr;
  QPushButton* button11 = nullptr;
  QPushButton* speedButton1 = nullptr;
  QWidget* hexPanel = nullptr;
  QStatusBar* statusBar1 = nullptr;
  std::vector<QLabel*> statusPanels;
  QPlainTextEdit* memo1 = nullptr;
  QLabel* label1 = nullptr;
  QLineEdit* edit1 = nullptr;
  QPushButton* button5 = nullptr;
  QPushButton* button8 = nullptr;
  QPushButton* button3 = nullptr;
  QPushButton* button4 = nullptr;
  QPushButton* button9 = nullptr;
};

}  // namespace vellumark::gui
