#pragma once
// The scan engine's front end on the command line: messages and warnings on stderr, a
// one-line progress display on a terminal, Ctrl-C turned into Cancel or Stop, and the
// question asked when a recovered file cannot be saved.

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/interrupt_signal.h"
#include "scan/front_end.h"
#include "scan/scan_state.h"

namespace vellumark::cli {

enum class SaveErrorPolicy { Abort, Ignore };

// How progress is shown on stderr: not at all, as one live line on a terminal, or as one
// JSON object a line for programs that wrap this one.
enum class ProgressStyle { None, Line, Json };

struct TerminalOptions {
  ProgressStyle progress = ProgressStyle::None;
  int columns = 80;              // width of the terminal: the live line never wraps
  bool askOnSaveError = false;   // ask on the terminal; otherwise follow the policy
  SaveErrorPolicy onSaveError = SaveErrorPolicy::Ignore;
};

// The progress display for --quiet and --progress (auto, json or none): with auto, a live
// line when stderr is a terminal and nothing when it is not.
[[nodiscard]] TerminalOptions terminalOptionsFor(bool quiet, std::string_view progressChoice);

class TerminalFrontEnd : public FrontEnd {
 public:
  TerminalFrontEnd(ScanState& state, TerminalOptions options, const platform::InterruptCounter* interrupts)
      : state_(state), options_(options), interrupts_(interrupts) {}

  void showMessage(int entry) override;
  void progress(const ProgressReport& report) override;
  void pump() override;
  SaveFailureChoice askSaveFailed(std::string_view fileName, std::string_view reason) override;

  // A line on stderr, after clearing the progress line.
  void warn(const std::string& text);
  // True when Ctrl-C ended the marking, the first pass or the carving early.
  [[nodiscard]] bool interrupted() const { return handledPresses_ > 0; }

 private:
  void clearProgressLine();
  // Rate (units per second) and seconds left in the current phase; both 0 until known.
  struct Pace {
    double rate = 0;
    double secondsLeft = -1;
  };
  [[nodiscard]] Pace paceOf(const ProgressReport& report);
  [[nodiscard]] std::string progressLine(const ProgressReport& report, const Pace& pace) const;
  [[nodiscard]] std::string progressJson(const ProgressReport& report, const Pace& pace) const;

  ScanState& state_;
  TerminalOptions options_;
  const platform::InterruptCounter* interrupts_;
  int handledPresses_ = 0;
  bool lineShown_ = false;
  ScanPhase phase_ = ScanPhase::Done;
  std::chrono::steady_clock::time_point phaseStart_{};
  std::int64_t phaseStartDone_ = 0;
};

}  // namespace vellumark::cli
