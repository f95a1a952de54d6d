// vellumark-cli backup SOURCE -o IMAGE: a sector range of a disk, volume or image (or only
// its free sectors) copied into an image file that the rescue can open later.

#include <unistd.h>

#include <iostream>
#include <memory>

#include "app/refusal_text.h"
#include "app/text_table.h"
#include "backup/image_backup.h"
#include "cli/cli_support.h"
#include "cli/commands.h"
#include "cli/terminal_front_end.h"
#include "platform/interrupt_signal.h"
#include "scan/display_timer.h"

namespace vellumark::cli {

namespace {

struct BackupOptions {
  std::string source;
  std::string image;
  std::string range;
  bool freeSpace = false;
  bool force = false;
  bool keepPartial = false;
  bool deletePartial = false;
  bool quiet = false;
  std::string progress = "auto";
  bool json = false;
};

int refuse(std::string_view text, int status) {
  std::cerr << "vellumark-cli: " << text << "\n";
  return status;
}

// The terminal front end, plus the question whether an unfinished image is kept.
class BackupFrontEnd : public TerminalFrontEnd {
 public:
  BackupFrontEnd(ScanState& state, TerminalOptions options, const platform::InterruptCounter* interrupts,
                 const BackupOptions& backup)
      : TerminalFrontEnd(state, options, interrupts), backup_(backup) {}

  bool deletePartialImage(std::string_view imagePath) override {
    if (backup_.keepPartial) return false;
    if (backup_.deletePartial) return true;
    if (::isatty(STDIN_FILENO) != 1 || !stderrIsTerminal()) {
      warn("the partial image is deleted (--keep-partial keeps it)");
      return true;
    }
    warn(std::string(imagePath) + ": " + std::string(uiText(44)));
    for (;;) {
      std::cerr << "[y]es, delete it / [n]o, keep it? " << std::flush;
      std::string answer;
      if (!std::getline(std::cin, answer)) return true;
      const char c = answer.empty() ? ' ' : static_cast<char>(answer[0] | 0x20);
      if (c == 'y') return true;
      if (c == 'n') return false;
    }
  }

 private:
  const BackupOptions& backup_;
};

int statusForRefusal(ScanRefusal refusal) {
  switch (refusal) {
    case ScanRefusal::BadRange:
    case ScanRefusal::NoOutputFolder:
    case ScanRefusal::OutputOnSource:
    case ScanRefusal::ImageIsSource:
    case ScanRefusal::ImageNotAFile:
    case ScanRefusal::ImageExists: return kExitBadInput;
    default: return kExitFailure;
  }
}

std::string shellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// How to retry the unreadable sectors (or finish a partial image) with ddrescue.
std::string ddrescueHint(const ScanState& state, const BackupOptions& o, const std::string& mapFile) {
  const std::int64_t bps = state.geometry.bytesPerSector;
  // Direct access (-d) bypasses the kernel's cache and read-ahead on a failing device.
  const bool device = state.sourceHandle->kind() != SourceKind::ImageFile;
  return std::string("to retry with GNU ddrescue: ddrescue ") + (device ? "-d " : "") + "-r3 -i " + std::to_string(state.scanStartSector * bps) + " -o 0 -s " +
         std::to_string(state.scanLength * bps) + " " + shellQuoted(o.source) + " " + shellQuoted(o.image) + " " +
         shellQuoted(mapFile);
}

void printJson(const ScanState& state, const BackupOptions& o, const BackupSummary& s, bool interrupted) {
  std::ostream& out = std::cout;
  auto flag = [](bool b) { return b ? "true" : "false"; };
  out << "{\n  \"source\": " << jsonString(state.sourceName) << ",\n";
  out << "  \"image\": " << jsonString(o.image) << ",\n";
  out << "  \"range\": {\"first\": " << state.scanStartSector << ", \"last\": " << state.scanEndSector << "},\n";
  out << "  \"bytesPerSector\": " << state.geometry.bytesPerSector << ",\n";
  out << "  \"freeSpace\": " << flag(o.freeSpace) << ",\n";
  out << "  \"sectorsCopied\": " << s.sectorsCopied << ",\n";
  out << "  \"sectorsSkipped\": " << s.sectorsSkipped << ",\n";
  out << "  \"unreadableSectors\": " << s.sectorsUnreadable << ",\n";
  out << "  \"unreadableRuns\": [";
  for (std::size_t i = 0; i < s.unreadableRuns.size(); ++i)
    out << (i == 0 ? "" : ", ") << "{\"first\": " << s.unreadableRuns[i].first << ", \"count\": "
        << s.unreadableRuns[i].count << "}";
  out << "],\n";
  out << "  \"complete\": " << flag(s.imageKept && !s.partial) << ",\n";
  out << "  \"partialKept\": " << flag(s.imageKept && s.partial) << ",\n";
  out << "  \"cancelled\": " << flag(s.cancelled) << ",\n";
  out << "  \"interrupted\": " << flag(interrupted) << ",\n";
  out << "  \"outputFull\": " << flag(s.outputFull) << ",\n";
  out << "  \"mapFile\": " << (s.mapFilePath.empty() ? std::string("null") : jsonString(s.mapFilePath)) << "\n}\n";
}

void printText(const BackupSummary& s) {
  if (s.imageKept && !s.partial) std::cout << uiText(s.sectorsUnreadable > 0 ? 46 : 47) << "\n";
  std::cout << "sectors copied: " << s.sectorsCopied << "\n";
  std::cout << "sectors skipped as allocated: " << s.sectorsSkipped << "\n";
  std::cout << "unreadable sectors: " << s.sectorsUnreadable << "\n";
  if (!s.mapFilePath.empty()) std::cout << "map file: " << s.mapFilePath << "\n";
}

// What went wrong, on stderr. Returns the exit status.
int reportOutcome(const ScanState& state, const BackupOptions& o, const BackupSummary& s, BackupFrontEnd& frontEnd,
                  const platform::InterruptCounter& interrupts) {
  if (s.freeSpaceMarkingFailed) {
    frontEnd.warn("the allocation data could not be used (" + s.markingFailure +
                  "): nothing was written; run without --free-space for a full copy");
    return kExitFailure;
  }
  if (s.outputFull) frontEnd.warn(std::string(uiText(40)) + " (" + s.writeError.message() + ")");
  if (s.writeFailed) frontEnd.warn("the image could not be written: " + s.writeError.message());
  if (s.imageKept && s.partial)
    frontEnd.warn("the partial image (sectors " + std::to_string(state.scanStartSector) + " to " +
                  std::to_string(s.copiedUntil - 1) + ") was kept");
  if (s.sectorsUnreadable > 0)
    frontEnd.warn(std::to_string(s.sectorsUnreadable) + " sector(s) could not be read and were written as zeros");
  if (s.mapFileError.code != 0 || !s.mapFileError.context.empty())
    frontEnd.warn("the map file could not be written: " + s.mapFileError.message());
  if (!s.mapFilePath.empty()) frontEnd.warn(ddrescueHint(state, o, s.mapFilePath));
  if (frontEnd.interrupted() || interrupts.presses() > 0) return interrupts.exitStatus();
  if (s.cancelled) return kExitInterrupted;
  if (s.outputFull || s.writeFailed || s.sectorsUnreadable > 0) return kExitFailure;
  return kExitOk;
}

int runBackupCommand(const BackupOptions& o) {
  if (o.keepPartial && o.deletePartial) return refuse("--keep-partial and --delete-partial exclude each other", kExitBadInput);
  ScanState state;
  if (!openForCommand(state, o.source)) return kExitFailure;
  if (o.freeSpace && state.detectedGeometry.fsType == kFsUnknown)
    return refuse("--free-space needs a recognised file system on the source", kExitBadInput);

  BackupRequest request;
  request.imagePath = o.image;
  request.freeSpaceOnly = o.freeSpace;
  request.replaceExisting = o.force;
  const auto range = rangeOption(o.range, state.geometry.lastSector);
  if (!range) return refuse(uiText(35), kExitBadInput);
  request.startSector = range->first;
  request.endSector = range->last;

  platform::InterruptCounter interrupts;
  TerminalOptions terminal = terminalOptionsFor(o.quiet, o.progress);
  BackupFrontEnd frontEnd(state, terminal, &interrupts, o);
  BackupSummary summary;
  {
    DisplayTimer timer(state);
    summary = runBackup(state, frontEnd, request);
  }
  if (summary.refusal != ScanRefusal::None) {
    if (int entry = backupRefusalTextEntry(summary.refusal); entry != 0) frontEnd.showMessage(entry);
    if (summary.refusal == ScanRefusal::ImageExists)
      frontEnd.warn(summary.refusalDetail + " (--force replaces it)");
    else if (!summary.refusalDetail.empty())
      frontEnd.warn(summary.refusalDetail);
    return statusForRefusal(summary.refusal);
  }
  const int status = reportOutcome(state, o, summary, frontEnd, interrupts);
  if (o.json)
    printJson(state, o, summary, frontEnd.interrupted());
  else
    printText(summary);
  return status;
}

}  // namespace

void addBackupCommand(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<BackupOptions>();
  auto* cmd = app.add_subcommand("backup", "Copy a disk, volume or image (or only its free sectors) into an image file");
  cmd->add_option("source", options->source, "Block device or image file (opened read-only)")->required();
  cmd->add_option("-o,--output", options->image, "Image file to write (not on the source)")->required();
  cmd->add_option("--range", options->range, "Sectors to copy, FIRST-LAST inclusive (default: all)");
  cmd->add_flag("--free-space", options->freeSpace,
                "Copy only the sectors the file system says are free, one after the other");
  cmd->add_flag("--force", options->force, "Replace an existing image file and its map file");
  cmd->add_flag("--keep-partial", options->keepPartial, "Keep the image when the copy ends early (Ctrl-C, disk full)");
  cmd->add_flag("--delete-partial", options->deletePartial, "Delete the image when the copy ends early, without asking");
  cmd->add_flag("-q,--quiet", options->quiet, "No progress display");
  addProgressOption(*cmd, options->progress);
  cmd->add_flag("--json", options->json, "Print the summary as JSON");
  cmd->callback([options, &exitCode] { exitCode = runBackupCommand(*options); });
}

}  // namespace vellumark::cli
