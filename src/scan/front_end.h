#pragma once
// What the engine needs from whoever shows it: the desktop program, the command line or
// a test. The engine never calls a toolkit; it reports through this interface and polls the
// flags in ScanState that the front end sets (cancel, pause, stop).

#include <cstdint>
#include <string>
#include <string_view>

namespace vellumark {

enum class ScanPhase { Idle, MarkingAllocated, FirstPass, Estimating, SecondPass, FinalSweep, Done, Backup };

// Everything a progress display may show; which fields matter depends on the phase.
struct ProgressReport {
  ScanPhase phase = ScanPhase::FirstPass;
  std::int64_t sector = 0;            // sector being examined or carved
  std::int64_t done = 0;              // units done of total (sectors, bytes, candidates)
  std::int64_t total = 0;
  std::uint32_t documentCandidates = 0;
  std::uint32_t candidates = 0;
  std::uint32_t recovered = 0;
  std::int64_t carveStartSector = -1; // second pass: the candidate being carved
  std::int64_t unreadable = 0;        // backup: sectors that could not be read
};

enum class SaveFailureChoice { Abort, Retry, Ignore };

class FrontEnd {
 public:
  virtual ~FrontEnd() = default;
  // A message by text-table entry (a modal box in the desktop program, a line on stderr on
  // the command line).
  virtual void showMessage(int entry) = 0;
  // Called at each refresh point (about every 200 ms); labels are rebuilt from the report.
  virtual void progress(const ProgressReport& report) = 0;
  // Lets the front end handle pending events (button presses) during long loops.
  virtual void pump() {}
  // A recovered file could not be written. fileName is the full path; reason the OS's text.
  virtual SaveFailureChoice askSaveFailed(std::string_view fileName, std::string_view reason) = 0;
  // A backup image did not get finished (Cancel, or the output disk is full): true to delete
  // it (entry 44), false to keep the partial image under its name.
  virtual bool deletePartialImage(std::string_view /*imagePath*/) { return true; }
};

// A front end that shows nothing and ignores failed saves; for tools and tests.
class SilentFrontEnd : public FrontEnd {
 public:
  void showMessage(int entry) override { lastMessage = entry; }
  void progress(const ProgressReport&) override {}
  SaveFailureChoice askSaveFailed(std::string_view, std::string_view) override { return SaveFailureChoice::Ignore; }
  int lastMessage = -1;
};

}  // namespace vellumark
