// vellumark-cli rescue SOURCE -o DIR: the deep scan from the command line.

#include <unistd.h>

#include <iostream>
#include <memory>
#include <optional>
#include <sstream>

#include "app/refusal_text.h"
#include "app/rename_marker.h"
#include "app/text_table.h"
#include "app/thumbnail_settings.h"
#include "cli/cli_support.h"
#include "cli/commands.h"
#include "cli/terminal_front_end.h"
#include "carvers/document_properties.h"
#include "platform/interrupt_signal.h"
#include "platform/program_folder.h"
#include "scan/display_timer.h"
#include "driver/scan_driver.h"
#include "scan/type_codes.h"
#include "source/cluster_selection.h"

namespace vellumark::cli {

namespace {

struct RescueOptions {
  std::string source;
  std::string outputFolder;
  std::string types = "doc,xls,ppt";
  std::string range;
  std::string reason;
  std::string fs;
  std::string cluster;
  std::string onSaveError = "ignore";
  bool freeSpace = false;
  bool keepDamaged = false;
  bool quiet = false;
  bool json = false;
  bool verbose = false;
  int partition = 0;
  bool noRename = false;
};

// Unreadable sectors named one by one in the report, at most.
constexpr std::size_t kMaxListedSectors = 1000;

// A refusal: the message on stderr and the exit status.
int refuse(std::string_view text, int status) {
  std::cerr << "vellumark-cli: " << text << "\n";
  return status;
}

// Exit status for a refusal of the scan driver.
int statusForRefusal(ScanRefusal refusal) {
  switch (refusal) {
    case ScanRefusal::NoFamilies:
    case ScanRefusal::NoOutputFolder:
    case ScanRefusal::OutputOnSource:
    case ScanRefusal::BadRange: return kExitBadInput;
    default: return kExitFailure;
  }
}

std::optional<std::uint32_t> parseTypes(const std::string& text) {
  std::uint32_t flags = 0;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (item == "doc") flags |= kFamilyDoc;
    else if (item == "xls") flags |= kFamilyXls;
    else if (item == "ppt") flags |= kFamilyPpt;
    else if (!item.empty()) return std::nullopt;
  }
  return flags;
}

// Applies --reason, --fs and --cluster through the same handlers as the lists of the main
// window. Returns 0 or an exit status after printing why.
int applySelections(ScanState& state, const RescueOptions& o, SelectionLists& lists) {
  if (!o.reason.empty()) {
    auto reason = reasonByName(o.reason);
    if (!reason) return refuse("unknown --reason '" + o.reason + "' (deleted, formatted or repartitioned)", kExitBadInput);
    // Choosing the reason the list already shows changes nothing: a recognised source keeps
    // the geometry opening found.
    if (*reason != lists.reason) {
      lists.reason = *reason;
      if (int entry = onReasonChosen(lists, state.detectedGeometry, state.geometry); entry != 0)
        return refuse(uiText(entry), kExitBadInput);
    }
  }
  if ((!o.fs.empty() || !o.cluster.empty()) && !lists.typeAndClusterEnabled)
    return refuse("--fs and --cluster need --reason formatted or repartitioned: with deleted files the detected "
                  "file system (" + std::string(fsTypeName(state.detectedGeometry.fsType)) + ") is used",
                  kExitBadInput);
  if (!o.fs.empty()) {
    auto item = fsListItemByName(o.fs);
    if (!item) return refuse("unknown --fs '" + o.fs + "' (fat, fat32, ntfs, exfat, hfs, hfs+ or other)", kExitBadInput);
    lists.fsItem = *item;
    onTypeChosen(lists, state.geometry);
  }
  if (!o.cluster.empty()) {
    auto item = clusterItemByName(o.cluster);
    if (!item) return refuse("unknown --cluster '" + o.cluster + "' (0.5K, 1K, 2K, ... 128K)", kExitBadInput);
    lists.clusterItem = *item;
    onClusterSizeChosen(lists, state.geometry, true);
  }
  return 0;
}

// The title, last-saved time and author a recovered file gives, as JSON members.
std::string describedFields(const RecoveredFile& f) {
  std::string out;
  if (!f.title.empty()) out += ", \"title\": " + jsonString(f.title);
  if (f.lastSaved) out += ", \"lastSaved\": " + jsonString(w3cDateOfUnixTime(*f.lastSaved));
  if (!f.author.empty()) out += ", \"author\": " + jsonString(f.author);
  return out;
}

void printJson(const ScanState& state, const ScanRequest& request, const ScanSummary& s, bool interrupted) {
  std::ostream& out = std::cout;
  out << "{\n  \"source\": " << jsonString(state.sourceName) << ",\n";
  out << "  \"outputFolder\": " << jsonString(state.outputFolder) << ",\n";
  out << "  \"range\": {\"first\": " << request.startSector << ", \"last\": " << request.endSector << "},\n";
  out << "  \"recovered\": " << s.recovered << ",\n";
  out << "  \"damaged\": " << state.damagedCount << ",\n";
  out << "  \"damagedKept\": " << (state.keepDamaged ? "true" : "false") << ",\n";
  out << "  \"saveFailures\": " << s.saveFailures << ",\n";
  out << "  \"cancelled\": " << (s.cancelled ? "true" : "false") << ",\n";
  out << "  \"stopped\": " << (s.stopped ? "true" : "false") << ",\n";
  out << "  \"interrupted\": " << (interrupted ? "true" : "false") << ",\n";
  out << "  \"sectorsExamined\": " << s.sectorsExamined << ",\n";
  out << "  \"unreadableSectors\": " << s.sectorsUnreadable << ",\n";
  out << "  \"unreadableSectorList\": [";
  std::size_t listed = 0;
  for (std::int64_t sector : state.unreadableSectors) {
    if (listed == kMaxListedSectors) break;
    out << (listed++ == 0 ? "" : ", ") << sector;
  }
  out << "],\n";
  out << "  \"abandoned\": [";
  bool firstAbandoned = true;
  for (const AbandonedCarve& a : s.rejections.abandoned) {
    out << (firstAbandoned ? "\n" : ",\n") << "    {\"startSector\": " << a.startSector << ", \"name\": "
        << jsonString(typeCodeName(a.typeCode)) << ", \"reason\": "
        << (a.unreadableSector >= 0 ? "\"unreadable sector\", \"sector\": " + std::to_string(a.unreadableSector)
                                    : "\"not enough memory\", \"bytes\": " + std::to_string(a.bytesNeeded))
        << "}";
    firstAbandoned = false;
  }
  out << (firstAbandoned ? "],\n" : "\n  ],\n");
  out << "  \"candidates\": " << s.candidatesFound << ",\n";
  out << "  \"candidatesKept\": " << s.candidatesKept << ",\n";
  out << "  \"documentCandidates\": " << s.documentCandidates << ",\n";
  out << "  \"clusterPhase\": " << s.clusterPhase << ",\n";
  out << "  \"estimatedClusterBytes\": ";
  if (s.clusterEstimate)
    out << std::uint64_t{s.clusterEstimate->sectorsPerCluster} * state.geometry.bytesPerSector << ",\n";
  else
    out << "null,\n";
  out << "  \"freeSpaceMarkingFailed\": " << (s.freeSpaceMarkingFailed ? "true" : "false") << ",\n";
  out << "  \"countsByType\": [";
  bool first = true;
  for (std::size_t code = 1; code < s.foundByType.size(); ++code) {
    if (s.foundByType[code] == 0) continue;
    out << (first ? "\n" : ",\n") << "    {\"code\": " << code << ", \"name\": "
        << jsonString(typeCodeName(static_cast<std::uint8_t>(code))) << ", \"count\": " << s.foundByType[code] << "}";
    first = false;
  }
  out << (first ? "],\n" : "\n  ],\n");
  out << "  \"rejections\": [";
  first = true;
  for (const auto& [key, count] : s.rejections.counts) {
    out << (first ? "\n" : ",\n") << "    {\"code\": " << unsigned{key.first} << ", \"name\": "
        << jsonString(typeCodeName(key.first)) << ", \"reason\": " << jsonString(key.second) << ", \"count\": " << count
        << "}";
    first = false;
  }
  out << (first ? "],\n" : "\n  ],\n");
  out << "  \"documentRejections\": [";
  first = true;
  for (const CandidateRejection& r : s.rejections.documents) {
    out << (first ? "\n" : ",\n") << "    {\"startSector\": " << r.startSector << ", \"name\": "
        << jsonString(typeCodeName(r.typeCode)) << ", \"reason\": " << jsonString(r.reason) << "}";
    first = false;
  }
  out << (first ? "],\n" : "\n  ],\n");
  out << "  \"files\": [";
  first = true;
  for (const RecoveredFile& f : state.recoveredFiles) {
    const auto slash = f.path.find_last_of('/');
    const std::string name = slash == std::string::npos ? f.path : f.path.substr(slash + 1);
    out << (first ? "\n" : ",\n") << "    {\"name\": " << jsonString(name) << ", \"path\": " << jsonString(f.path)
        << ", \"size\": " << f.sizeBytes << ", \"startSector\": " << f.startSector
        << ", \"type\": " << static_cast<int>(f.typeCode) << describedFields(f) << "}";
    first = false;
  }
  out << (first ? "]\n" : "\n  ]\n") << "}\n";
}

// Why document starts gave no document: one line each, then the counts of every kind of
// candidate turned down, on stderr.
void printRejections(const ScanSummary& s) {
  std::ostream& err = std::cerr;
  for (const CandidateRejection& r : s.rejections.documents)
    err << "vellumark-cli: no document from the " << typeCodeName(r.typeCode) << " start at sector " << r.startSector
        << ": " << r.reason << "\n";
  for (const auto& [key, count] : s.rejections.counts)
    err << "vellumark-cli: " << count << " " << typeCodeName(key.first) << " candidate(s) turned down: " << key.second
        << "\n";
}

void printSummary(const ScanState& state, const ScanSummary& s, bool keepDamaged) {
  if (s.clusterEstimate && s.clusterEstimate->sectorsPerCluster > 1)
    std::cout << "Cluster size estimated from the files found: "
              << std::uint64_t{s.clusterEstimate->sectorsPerCluster} * state.geometry.bytesPerSector << " bytes ("
              << s.clusterEstimate->agreeing << " of " << s.clusterEstimate->counted << " start on a cluster boundary)\n";
  std::cout << uiText(27) << s.recovered << "\n";
  if (state.damagedCount > 0)
    std::cout << "Damaged documents: " << state.damagedCount
              << (keepDamaged ? " (written into the damaged folder)" : " (not written; --keep-damaged keeps them)") << "\n";
}

// What bad sectors and memory cost: every carve given up for them, one line each.
void warnAbandoned(TerminalFrontEnd& frontEnd, const ScanSummary& s) {
  for (const AbandonedCarve& a : s.rejections.abandoned) {
    const bool document = a.typeCode == kTypeOle2 || a.typeCode == kTypeOoxml;
    const std::string what = document ? "the document" : "the " + std::string(typeCodeName(a.typeCode)) + " file";
    if (a.unreadableSector >= 0)
      frontEnd.warn("gave up " + what + " at sector " + std::to_string(a.startSector) + ": sector " +
                    std::to_string(a.unreadableSector) + " cannot be read");
    else
      frontEnd.warn("not enough memory to assemble " + what + " at sector " + std::to_string(a.startSector) + ", " +
                    std::to_string(a.bytesNeeded) + " bytes");
  }
}

int exitStatusFor(const ScanSummary& s, int interruptedStatus) {
  if (interruptedStatus != 0) return interruptedStatus;
  // A document that could not be held in memory is a rescue left undone.
  for (const AbandonedCarve& a : s.rejections.abandoned)
    if (a.unreadableSector < 0 && (a.typeCode == kTypeOle2 || a.typeCode == kTypeOoxml)) return kExitFailure;
  if (s.stopped || s.saveFailures > 0) return kExitFailure;
  return kExitOk;
}

int runRescue(const RescueOptions& o) {
  auto flags = parseTypes(o.types);
  if (!flags) return refuse("unknown --types '" + o.types + "' (a comma-separated list of doc, xls, ppt)", kExitBadInput);

  ScanState state;
  if (!openForCommand(state, o.source, o.partition)) return kExitFailure;
  state.typeFlags = *flags;
  state.keepDamaged = o.keepDamaged;

  SelectionLists lists = listsAfterOpening(state.detectedGeometry);
  if (int status = applySelections(state, o, lists); status != 0) return status;
  // A whole disk has no file system of its own, but its partitions may.
  if (o.freeSpace && state.detectedGeometry.fsType == kFsUnknown && scanRegions(state).empty())
    return refuse("--free-space needs a recognised file system on the source or in its partitions", kExitBadInput);

  ScanRequest request;
  request.outputFolder = o.outputFolder;
  request.freeSpaceOnly = o.freeSpace;
  request.lists = &lists;
  request.clusterSizeChosen = !o.cluster.empty();
  const auto range = rangeOption(o.range, state.geometry.lastSector);
  if (!range) return refuse(uiText(23), kExitBadInput);
  request.startSector = range->first;
  request.endSector = range->last;

  platform::InterruptCounter interrupts;
  TerminalOptions terminal;
  terminal.showProgress = !o.quiet && stderrIsTerminal();
  terminal.askOnSaveError = ::isatty(STDIN_FILENO) == 1;
  terminal.onSaveError = o.onSaveError == "abort" ? SaveErrorPolicy::Abort : SaveErrorPolicy::Ignore;
  TerminalFrontEnd frontEnd(state, terminal, &interrupts);

  // The thumbnail rules and the marker that switches renaming off live beside the program.
  state.renameByTitle = !o.noRename;
  if (auto folder = platform::programFolder()) {
    ThumbnailSettings settings = loadThumbnailSettings(*folder);
    state.thumbnailRules = std::move(settings.rules);
    for (const std::string& w : settings.warnings) frontEnd.warn(w);
    if (renamingSwitchedOff(*folder)) state.renameByTitle = false;
  }

  ScanSummary summary;
  {
    DisplayTimer timer(state);
    summary = runScan(state, frontEnd, request);
  }
  if (summary.refusal != ScanRefusal::None) {
    frontEnd.showMessage(refusalTextEntry(summary.refusal));
    if (!summary.refusalDetail.empty()) std::cerr << "vellumark-cli: " << summary.refusalDetail << "\n";
    return statusForRefusal(summary.refusal);
  }
  if (summary.freeSpaceMarkingFailed && !frontEnd.interrupted())
    frontEnd.warn("the allocation data could not be read; the whole range was scanned");
  if (summary.sectorsUnreadable > 0) {
    std::string list;
    std::size_t listed = 0;
    for (std::int64_t sector : state.unreadableSectors) {
      if (listed == kMaxListedSectors) {
        list += ", ...";
        break;
      }
      list += (listed++ == 0 ? "" : ", ") + std::to_string(sector);
    }
    frontEnd.warn(std::to_string(summary.sectorsUnreadable) + " sector(s) could not be read and were skipped: " + list);
  }
  warnAbandoned(frontEnd, summary);
  if (frontEnd.interrupted()) frontEnd.warn("the rescue was interrupted; what was found until then is saved");
  if (summary.candidateListFull)
    frontEnd.warn("out of memory for candidates; the search ended early");
  if (summary.saveFailures > 0)
    frontEnd.warn(std::to_string(summary.saveFailures) + " file(s) could not be saved");

  if (o.verbose) printRejections(summary);
  if (o.json)
    printJson(state, request, summary, frontEnd.interrupted());
  else
    printSummary(state, summary, o.keepDamaged);
  return exitStatusFor(summary, frontEnd.interrupted() || interrupts.presses() > 0 ? interrupts.exitStatus() : 0);
}

}  // namespace

void addRescueCommand(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<RescueOptions>();
  auto* cmd = app.add_subcommand("rescue", "Search a disk, volume or image for lost documents and save them to a folder");
  cmd->add_option("source", options->source, "Block device or image file (opened read-only)")->required();
  cmd->add_option("-o,--output", options->outputFolder, "Existing folder to save documents to (not on the source)")
      ->required();
  cmd->add_option("--types", options->types, "Document families: a comma-separated list of doc, xls, ppt")
      ->capture_default_str();
  cmd->add_option("--range", options->range, "Sectors to search, FIRST-LAST inclusive (default: all)");
  cmd->add_flag("--free-space", options->freeSpace, "Search only what the file system says is free");
  cmd->add_option("--reason", options->reason, "How the files were lost: deleted, formatted or repartitioned");
  cmd->add_option("--fs", options->fs, "File system the volume had: fat, fat32, ntfs, exfat, hfs, hfs+, other");
  cmd->add_option("--cluster", options->cluster, "Cluster size the volume had: 0.5K, 1K, 2K, ... 128K");
  cmd->add_option("--on-save-error", options->onSaveError, "When a file cannot be saved and no one can be asked")
      ->check(CLI::IsMember({"abort", "ignore"}))
      ->capture_default_str();
  cmd->add_flag("--keep-damaged", options->keepDamaged,
                "Also write documents that fail their check, into a damaged/ folder of the output folder");
  addPartitionOption(*cmd, options->partition);
  cmd->add_flag("-q,--quiet", options->quiet, "No progress display");
  cmd->add_flag("--json", options->json, "Print the summary as JSON");
  cmd->add_flag("--no-rename", options->noRename,
                "Keep the TEST_ names: do not name documents after their title or first line");
  cmd->add_flag("-v,--verbose", options->verbose, "Say on stderr why each document start gave no document");
  cmd->callback([options, &exitCode] { exitCode = runRescue(*options); });
}

}  // namespace vellumark::cli
