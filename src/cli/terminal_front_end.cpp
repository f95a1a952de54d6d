#include "cli/terminal_front_end.h"


#include <cstdio>
#include <iostream>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/text_table.h"
#include "platform/folder_access.h"
#include "scan/progress.h"

namespace vellumark::cli {

namespace {

std::string withoutLineBreaks(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  return std::string(text);
}

std::string minutesSeconds(double seconds) {
  if (seconds < 0 || seconds > 359'999) return "--:--";
  const auto total = static_cast<long long>(seconds);
  char buf[32];
  if (total >= 3600)
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
  else
    std::snprintf(buf, sizeof buf, "%02lld:%02lld", total / 60, total % 60);
  return buf;
}

const char* phaseName(ScanPhase phase) {
  switch (phase) {
    case ScanPhase::MarkingAllocated: return "marking";
    case ScanPhase::FirstPass: return "search";
    case ScanPhase::Estimating: return "estimating";
    case ScanPhase::SecondPass: return "carving";
    case ScanPhase::FinalSweep: return "final-sweep";
    case ScanPhase::Backup: return "backup";
    case ScanPhase::Done: return "done";
    default: return "idle";
  }
}

// Terminal columns a UTF-8 text takes: East Asian wide characters take two.
std::size_t displayWidth(std::string_view text) {
  std::size_t width = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if ((b & 0xC0) == 0x80) continue;
    width += b >= 0xE3 && b <= 0xEF ? 2 : 1;  // U+3000..U+FFFF: CJK, kana, full-width forms
  }
  return width;
}

int captionFor(ScanPhase phase) {
  switch (phase) {
    case ScanPhase::MarkingAllocated: return 87;
    case ScanPhase::FirstPass: return 49;
    case ScanPhase::Estimating: return 10;
    case ScanPhase::Backup: return 37;
    default: return 24;
  }
}

}  // namespace

TerminalOptions terminalOptionsFor(bool quiet, std::string_view progressChoice) {
  TerminalOptions options;
  const std::optional<int> columns = platform::stderrColumns();
  if (columns) options.columns = *columns;
  if (progressChoice == "json") options.progress = ProgressStyle::Json;
  else if (!quiet && progressChoice != "none" && columns) options.progress = ProgressStyle::Line;
  return options;
}

void TerminalFrontEnd::clearProgressLine() {
  if (!lineShown_) return;
  std::cerr << "\r\033[K" << std::flush;
  lineShown_ = false;
}

void TerminalFrontEnd::warn(const std::string& text) {
  clearProgressLine();
  std::cerr << "vellumark-cli: " << text << "\n";
}

void TerminalFrontEnd::showMessage(int entry) { warn(std::string(uiText(entry))); }

TerminalFrontEnd::Pace TerminalFrontEnd::paceOf(const ProgressReport& r) {
  const auto now = std::chrono::steady_clock::now();
  if (r.phase != phase_) {
    phase_ = r.phase;
    phaseStart_ = now;
    phaseStartDone_ = r.done;
  }
  Pace pace;
  const double seconds = std::chrono::duration<double>(now - phaseStart_).count();
  if (seconds > 0.5 && r.done > phaseStartDone_) {
    pace.rate = static_cast<double>(r.done - phaseStartDone_) / seconds;
    pace.secondsLeft = static_cast<double>(r.total - r.done) / pace.rate;
  }
  return pace;
}

std::string TerminalFrontEnd::progressLine(const ProgressReport& r, const Pace& pace) const {
  const bool backup = r.phase == ScanPhase::Backup;
  const bool sectors = r.phase == ScanPhase::FirstPass || backup;
  // The most telling parts first: what is showing, how far, how fast, how long still; the
  // rest only while the line fits the terminal.
  std::vector<std::string> parts;
  parts.push_back(std::string(uiText(captionFor(r.phase))));
  parts.push_back(std::string(uiText(r.phase == ScanPhase::FirstPass ? 51 : backup ? 42 : 65)) + formatPercent(r.total, r.done));
  if (pace.rate > 0) {
    char buf[48];
    if (sectors)
      std::snprintf(buf, sizeof buf, "%.1f MiB/s", pace.rate * state_.geometry.bytesPerSector / (1024.0 * 1024.0));
    else
      std::snprintf(buf, sizeof buf, "%.0f/s", pace.rate);
    parts.push_back(buf);
    parts.push_back("left " + minutesSeconds(pace.secondsLeft));
  }
  if (backup) {
    if (r.unreadable > 0) parts.push_back(std::string(uiText(43)) + std::to_string(r.unreadable));
  } else if (r.phase == ScanPhase::FirstPass) {
    parts.push_back(std::string(uiText(52)) + std::to_string(r.documentCandidates));
  } else {
    parts.push_back(std::string(uiText(25)) + std::to_string(r.recovered));
  }
  parts.push_back(std::string(uiText(r.phase == ScanPhase::FirstPass ? 50 : 41)) + std::to_string(r.sector));
  if (r.phase == ScanPhase::FirstPass) parts.push_back(std::to_string(r.candidates) + " candidates");

  const std::size_t width = options_.columns > 1 ? static_cast<std::size_t>(options_.columns - 1) : 0;
  std::string line;
  for (const std::string& part : parts) {
    const std::string next = line.empty() ? part : line + "  " + part;
    if (displayWidth(next) > width) break;
    line = next;
  }
  return line;
}

std::string TerminalFrontEnd::progressJson(const ProgressReport& r, const Pace& pace) const {
  nlohmann::ordered_json j;
  j["phase"] = phaseName(r.phase);
  j["sector"] = r.sector;
  j["done"] = r.done;
  j["total"] = r.total;
  j["percent"] = r.total > 0 ? 100.0 * static_cast<double>(r.done) / static_cast<double>(r.total) : 0.0;
  const bool sectors = r.phase == ScanPhase::FirstPass || r.phase == ScanPhase::Backup;
  if (pace.rate > 0) {
    j["bytesPerSecond"] = sectors ? pace.rate * state_.geometry.bytesPerSector : 0.0;
    j["unitsPerSecond"] = pace.rate;
    j["secondsLeft"] = pace.secondsLeft;
  } else {
    j["secondsLeft"] = nullptr;
  }
  j["documentCandidates"] = r.documentCandidates;
  j["candidates"] = r.candidates;
  j["recovered"] = r.recovered;
  if (r.phase == ScanPhase::Backup) j["unreadable"] = r.unreadable;
  return j.dump();
}

void TerminalFrontEnd::progress(const ProgressReport& report) {
  if (options_.progress == ProgressStyle::None) return;
  if (options_.progress == ProgressStyle::Json) {
    const Pace pace = report.phase == ScanPhase::Done ? Pace{} : paceOf(report);
    std::cerr << progressJson(report, pace) << "\n" << std::flush;
    return;
  }
  if (report.phase == ScanPhase::Done) {
    clearProgressLine();
    return;
  }
  const Pace pace = paceOf(report);
  std::cerr << "\r\033[K" << progressLine(report, pace) << std::flush;
  lineShown_ = true;
}

// A new Ctrl-C means Cancel while sectors are being searched and Stop while candidates are
// being carved (the recovery dialog is up exactly then).
void TerminalFrontEnd::pump() {
  if (interrupts_ == nullptr) return;
  const int presses = interrupts_->presses();
  if (presses <= handledPresses_) return;
  handledPresses_ = presses;
  if (state_.carvingOver())
    state_.scanCancelled = true;
  else
    state_.recoveryState = kRecoveryStopRequested;
}

SaveFailureChoice TerminalFrontEnd::askSaveFailed(std::string_view fileName, std::string_view reason) {
  const std::string what = withoutLineBreaks(uiText(28)) + std::string(fileName) + " (" + std::string(reason) + ")";
  if (!options_.askOnSaveError) {
    const bool abort = options_.onSaveError == SaveErrorPolicy::Abort;
    warn(what + (abort ? ": stopping" : ": skipped"));
    return abort ? SaveFailureChoice::Abort : SaveFailureChoice::Ignore;
  }
  clearProgressLine();
  for (;;) {
    std::cerr << "vellumark-cli: " << what << "\n[a]bort/[r]etry/[i]gnore? " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) {
      std::cerr << "\n";
      return options_.onSaveError == SaveErrorPolicy::Abort ? SaveFailureChoice::Abort : SaveFailureChoice::Ignore;
    }
    const char c = answer.empty() ? ' ' : static_cast<char>(answer[0] | 0x20);
    if (c == 'a') return SaveFailureChoice::Abort;
    if (c == 'r') return SaveFailureChoice::Retry;
    if (c == 'i') return SaveFailureChoice::Ignore;
  }
}

}  // namespace vellumark::cli
