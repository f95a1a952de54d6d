#include "cli/terminal_front_end.h"


#include <cstdio>
#include <iostream>

#include "app/text_table.h"
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

std::string TerminalFrontEnd::progressLine(const ProgressReport& r) {
  const auto now = std::chrono::steady_clock::now();
  if (r.phase != phase_) {
    phase_ = r.phase;
    phaseStart_ = now;
    phaseStartDone_ = r.done;
  }
  const bool backup = r.phase == ScanPhase::Backup;
  std::string line = std::string(uiText(captionFor(r.phase))) + "  ";
  line += std::string(uiText(r.phase == ScanPhase::FirstPass ? 50 : 41)) + std::to_string(r.sector);
  line += "  " + std::string(uiText(r.phase == ScanPhase::FirstPass ? 51 : backup ? 42 : 65)) +
          formatPercent(r.total, r.done);
  if (backup) {
    if (r.unreadable > 0) line += "  " + std::string(uiText(43)) + std::to_string(r.unreadable);
  } else if (r.phase == ScanPhase::FirstPass) {
    line += "  " + std::string(uiText(52)) + std::to_string(r.documentCandidates) + " (" +
            std::to_string(r.candidates) + " candidates)";
  } else {
    line += "  " + std::string(uiText(25)) + std::to_string(r.recovered);
  }
  const double seconds = std::chrono::duration<double>(now - phaseStart_).count();
  const double rate = seconds > 0.5 ? static_cast<double>(r.done - phaseStartDone_) / seconds : 0.0;
  if (rate > 0) {
    if (r.phase == ScanPhase::FirstPass || backup) {
      const double mibPerSecond = rate * state_.geometry.bytesPerSector / (1024.0 * 1024.0);
      char buf[32];
      std::snprintf(buf, sizeof buf, "  %.1f MiB/s", mibPerSecond);
      line += buf;
    }
    line += "  left " + minutesSeconds(static_cast<double>(r.total - r.done) / rate);
  }
  return line;
}

void TerminalFrontEnd::progress(const ProgressReport& report) {
  if (!options_.showProgress) return;
  if (report.phase == ScanPhase::Done) {
    clearProgressLine();
    return;
  }
  std::cerr << "\r\033[K" << progressLine(report) << std::flush;
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
