#pragma once
// The engine's front end in the desktop program. The engine runs on the user-interface
// thread; at its refresh points (about every 200 ms, and before every candidate of the
// carving) pump() lets Qt handle pending events, so Cancel, Pause and Stop act at once.
// Which dialog is shown follows the phase the engine reports.

#include "gui/progress_dialogs.h"
#include "scan/front_end.h"
#include "scan/scan_state.h"

class QWidget;

namespace vellumark::gui {

class GuiFrontEnd final : public FrontEnd {
 public:
  GuiFrontEnd(ScanState& state, SearchDialog& search, RecoveryDialog& recovery, QWidget* mainWindow)
      : state_(state), search_(search), recovery_(recovery), mainWindow_(mainWindow) {}

  void showMessage(int entry) override;
  void progress(const ProgressReport& report) override;
  void pump() override;
  SaveFailureChoice askSaveFailed(std::string_view fileName, std::string_view reason) override;
  bool deletePartialImage(std::string_view imagePath) override;

  // Hides whichever dialog is shown (the engine has returned).
  void finish();

 private:
  enum class Shown { None, Search, Recovery };
  void followPhase();
  void enterPhase(ScanPhase phase);
  [[nodiscard]] QWidget* boxParent() const;

  ScanState& state_;
  SearchDialog& search_;
  RecoveryDialog& recovery_;
  QWidget* mainWindow_;
  ScanPhase phase_ = ScanPhase::Idle;
  Shown shown_ = Shown::None;
};

}  // namespace vellumark::gui
