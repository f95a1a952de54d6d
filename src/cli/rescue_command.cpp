// vellumark-cli rescue SOURCE -o DIR: the deep scan from the command line.

#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>

#include <nlohmann/json.hpp>

#include "app/refusal_text.h"
#include "app/rescue_checks.h"
#include "app/rescue_report.h"
#include "app/rename_marker.h"
#include "app/text_table.h"
#include "app/thumbnail_settings.h"
#include "cli/cli_support.h"
#include "cli/commands.h"
#include "cli/terminal_front_end.h"
#include "carvers/document_properties.h"
#include "carvers/gap_search.h"
#include "platform/interrupt_signal.h"
#include "platform/program_folder.h"
#include "scan/display_timer.h"
#include "driver/scan_driver.h"
#include "scan/type_codes.h"
#include "source/cluster_selection.h"
#include "source/disk_partitions.h"
#include "source/output_placement.h"
#include "util/unicode.h"

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
  bool force = false;
  bool newFolder = false;
  std::string progress = "auto";
  std::string commandLine;
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

// doc, xls and ppt, also named docx, xlsx, pptx (or word, excel, powerpoint), in any case.
std::optional<std::uint32_t> parseTypes(const std::string& text) {
  std::uint32_t flags = 0;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    std::string name;
    for (char c : item)
      if (c != ' ') name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name == "doc" || name == "docx" || name == "word") flags |= kFamilyDoc;
    else if (name == "xls" || name == "xlsx" || name == "excel") flags |= kFamilyXls;
    else if (name == "ppt" || name == "pptx" || name == "powerpoint") flags |= kFamilyPpt;
    else if (!name.empty()) return std::nullopt;
  }
  return flags;
}

// One line on stderr for a problem found before the scan: the text-table message when
// there is one, then what was found and what to do. The exit status follows its kind.
int refuseProblem(const RescueProblem& p) {
  std::string text = p.textEntry != 0 ? std::string(uiText(p.textEntry)) : std::string();
  if (!text.empty() && !p.detail.empty()) text += " ";
  return refuse(text + p.detail, p.kind == ProblemKind::Usage ? kExitBadInput : kExitFailure);
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

using Json = nlohmann::ordered_json;

// Text for JSON: always valid UTF-8 (bytes of other encodings taken as Latin-1).
Json text(std::string_view bytes) { return Json(displayUtf8(bytes)); }

Json fileJson(const RecoveredFile& f) {
  const auto slash = f.path.find_last_of('/');
  Json j;
  j["name"] = text(slash == std::string::npos ? f.path : f.path.substr(slash + 1));
  j["path"] = text(f.path);
  j["size"] = f.sizeBytes;
  j["startSector"] = f.startSector;
  j["type"] = f.typeCode;
  j["family"] = documentFamilyOf(f.path);
  j["sha256"] = f.sha256;
  if (!f.title.empty()) j["title"] = text(f.title);
  if (f.lastSaved) j["lastSaved"] = w3cDateOfUnixTime(*f.lastSaved);
  if (!f.author.empty()) j["author"] = text(f.author);
  Json runs = Json::array();
  for (const ByteRun& r : f.byteRuns) runs.push_back({{"offset", r.offset}, {"length", r.length}});
  j["byteRuns"] = std::move(runs);
  return j;
}

struct RunOutcome {
  bool interrupted = false;
  double seconds = 0;
  std::optional<RescueReportPaths> report;
};

void printJson(const ScanState& state, const ScanRequest& request, const ScanSummary& s, const RunOutcome& run) {
  Json out;
  out["source"] = text(state.sourceName);
  out["outputFolder"] = text(state.outputFolder);
  out["range"] = {{"first", request.startSector}, {"last", request.endSector}};
  out["recovered"] = s.recovered;
  out["damaged"] = state.damagedCount;
  out["damagedKept"] = state.keepDamaged;
  out["saveFailures"] = s.saveFailures;
  out["cancelled"] = s.cancelled;
  out["stopped"] = s.stopped;
  out["interrupted"] = run.interrupted;
  out["seconds"] = run.seconds;
  out["sectorsExamined"] = s.sectorsExamined;
  out["unreadableSectors"] = s.sectorsUnreadable;
  Json unreadable = Json::array();
  for (std::int64_t sector : state.unreadableSectors) {
    if (unreadable.size() == kMaxListedSectors) break;
    unreadable.push_back(sector);
  }
  out["unreadableSectorList"] = std::move(unreadable);
  Json abandoned = Json::array();
  for (const AbandonedCarve& a : s.rejections.abandoned) {
    Json j{{"startSector", a.startSector}, {"name", typeCodeName(a.typeCode)}};
    if (a.unreadableSector >= 0) {
      j["reason"] = "unreadable sector";
      j["sector"] = a.unreadableSector;
    } else {
      j["reason"] = "not enough memory";
      j["bytes"] = a.bytesNeeded;
    }
    abandoned.push_back(std::move(j));
  }
  out["abandoned"] = std::move(abandoned);
  out["candidates"] = s.candidatesFound;
  out["candidatesKept"] = s.candidatesKept;
  out["documentCandidates"] = s.documentCandidates;
  out["clusterPhase"] = s.clusterPhase;
  out["estimatedClusterBytes"] =
      s.clusterEstimate ? Json(std::uint64_t{s.clusterEstimate->sectorsPerCluster} * state.geometry.bytesPerSector) : Json();
  out["freeSpaceMarkingFailed"] = s.freeSpaceMarkingFailed;
  Json counts = Json::array();
  for (std::size_t code = 1; code < s.foundByType.size(); ++code) {
    if (s.foundByType[code] == 0) continue;
    counts.push_back({{"code", code}, {"name", typeCodeName(static_cast<std::uint8_t>(code))}, {"count", s.foundByType[code]}});
  }
  out["countsByType"] = std::move(counts);
  Json rejections = Json::array();
  for (const auto& [key, count] : s.rejections.counts)
    rejections.push_back({{"code", key.first}, {"name", typeCodeName(key.first)}, {"reason", text(key.second)}, {"count", count}});
  out["rejections"] = std::move(rejections);
  Json documents = Json::array();
  for (const CandidateRejection& r : s.rejections.documents)
    documents.push_back({{"startSector", r.startSector}, {"name", typeCodeName(r.typeCode)}, {"reason", text(s.rejections.why(r))}});
  out["documentRejections"] = std::move(documents);
  Json files = Json::array();
  for (const RecoveredFile& f : state.recoveredFiles) files.push_back(fileJson(f));
  out["files"] = std::move(files);
  out["report"] = run.report ? text(run.report->report) : Json();
  out["log"] = run.report ? text(run.report->log) : Json();
  std::cout << out.dump(2) << "\n";
}

// Why document starts gave no document: one line each, then the counts of every kind of
// candidate turned down, on stderr.
void printRejections(const ScanSummary& s) {
  std::ostream& err = std::cerr;
  for (const CandidateRejection& r : s.rejections.documents)
    err << "vellumark-cli: no document from the " << typeCodeName(r.typeCode) << " start at sector " << r.startSector
        << ": " << s.rejections.why(r) << "\n";
  for (const auto& [key, count] : s.rejections.counts)
    err << "vellumark-cli: " << count << " " << typeCodeName(key.first) << " candidate(s) turned down: " << key.second
        << "\n";
}

// The work of the fragment searches, for judging what fragmented documents cost.
void printFragmentSearchWork() {
  const GapSearchTotals t = gapSearchTotals();
  if (t.searches == 0) return;
  std::cerr << "vellumark-cli: fragment search: " << t.searches << " document(s) searched, " << t.found
            << " found, " << t.clustersTried << " cluster(s) tried, " << t.decodedBytes << " byte(s) decoded\n";
}

std::string mebibytes(double bytes) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.1f MiB", bytes / (1024.0 * 1024.0));
  return buf;
}

std::string duration(double seconds) {
  char buf[48];
  if (seconds < 60) std::snprintf(buf, sizeof buf, "%.1f s", seconds);
  else std::snprintf(buf, sizeof buf, "%d min %02d s", static_cast<int>(seconds) / 60, static_cast<int>(seconds) % 60);
  return buf;
}

void printSummary(const ScanState& state, const ScanSummary& s, const RunOutcome& run, bool keepDamaged) {
  std::ostream& out = std::cout;
  if (s.clusterEstimate && s.clusterEstimate->sectorsPerCluster > 1)
    out << "Cluster size estimated from the files found: "
        << std::uint64_t{s.clusterEstimate->sectorsPerCluster} * state.geometry.bytesPerSector << " bytes ("
        << s.clusterEstimate->agreeing << " of " << s.clusterEstimate->counted << " start on a cluster boundary)\n";
  out << uiText(27) << s.recovered << "\n";
  std::map<std::string_view, int> byFamily;
  for (const RecoveredFile& f : state.recoveredFiles) ++byFamily[documentFamilyOf(f.path)];
  if (!byFamily.empty()) {
    out << "  ";
    bool first = true;
    for (std::string_view family : {"Word", "Excel", "PowerPoint", "other"}) {
      if (byFamily[family] == 0) continue;
      out << (first ? "" : ", ") << family << " " << byFamily[family];
      first = false;
    }
    out << "\n";
  }
  if (state.damagedCount > 0)
    out << "Damaged documents: " << state.damagedCount
        << (keepDamaged ? " (written into the damaged folder)" : " (not written; --keep-damaged keeps them)") << "\n";
  out << "Turned down: " << s.rejections.documents.size() << " document candidate(s)";
  if (run.report && !s.rejections.documents.empty()) out << " (the reasons are in " << displayUtf8(run.report->log) << ")";
  out << "\n";
  out << "Unreadable sectors: " << s.sectorsUnreadable << "\n";
  const double bytes = static_cast<double>(state.scanLength) * state.geometry.bytesPerSector;
  if (s.cancelled || s.candidateListFull) {
    // The search ended early: what was looked at, not the whole range.
    out << "Search ended early: " << s.sectorsExamined << " of " << state.scanLength << " sectors examined in "
        << duration(run.seconds) << "\n";
  } else {
    out << "Searched " << state.scanLength << " sectors (" << mebibytes(bytes) << ") in " << duration(run.seconds);
    if (run.seconds > 0.05) out << ", " << mebibytes(bytes / run.seconds) << "/s";
    out << "\n";
  }
  if (s.recovered > 0 || state.damagedCount > 0) out << "Files: " << displayUtf8(state.outputFolder) << "\n";
  if (run.report) out << "Report: " << displayUtf8(run.report->report) << "\n";
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

// Reads a sector at each end of the range: a source that gives neither is not readable (a
// disk gone or refusing every read), while a few bad sectors are left to the scan.
std::optional<RescueProblem> checkReadable(ScanState& state, std::int64_t first, std::int64_t last) {
  std::vector<std::uint8_t> sector(state.geometry.bytesPerSector);
  std::string why;
  for (std::int64_t s : {first, last}) {
    auto got = state.sourceHandle->readAt(static_cast<std::uint64_t>(s) * state.geometry.bytesPerSector, sector);
    if (got && *got == sector.size()) return std::nullopt;
    why = got ? "it ends early" : got.error().message();
  }
  return RescueProblem{ProblemKind::Failure, 0,
                       "cannot read " + state.sourceName + ": " + why + "; check the device is connected and readable"};
}

// The output folder checks, and the rule against mixing runs. Sets the folder to write into.
std::optional<RescueProblem> settleOutputFolder(const RescueOptions& o, std::string& folder) {
  folder = o.outputFolder;
  if (auto problem = checkOutputFolderUsable(folder)) return problem;
  if (o.newFolder) {
    NewRunFolder made = makeNewRunFolder(folder);
    if (made.problem) return made.problem;
    folder = made.path;
    return std::nullopt;
  }
  if (!o.force && holdsRescuedFiles(folder)) return mixedRunsProblem(folder);
  return std::nullopt;
}

RescueRunFacts runFacts(const ScanState& state, const RescueOptions& o, std::int64_t imageOffset) {
  RescueRunFacts run;
  run.program = "vellumark-cli";
  run.commandLine = o.commandLine;
  run.imagePath = o.source;
  run.imageOffset = imageOffset;
  run.sourceBytes = state.sourceHandle->sizeBytes();
  run.options = {{"types", o.types}, {"range", o.range.empty() ? "all" : o.range}, {"free-space", o.freeSpace ? "yes" : "no"},
                 {"reason", o.reason}, {"fs", o.fs}, {"cluster", o.cluster}, {"keep-damaged", o.keepDamaged ? "yes" : "no"},
                 {"rename", o.noRename ? "no" : "yes"}, {"partition", std::to_string(o.partition)}};
  return run;
}

int runRescue(const RescueOptions& o) {
  auto flags = parseTypes(o.types);
  if (!flags)
    return refuse("unknown --types '" + o.types + "': give a comma-separated list of doc, xls, ppt (or docx, xlsx, pptx)",
                  kExitBadInput);
  if (o.force && o.newFolder) return refuse("--force and --new-folder exclude each other: give one of them", kExitBadInput);

  ScanState state;
  if (!openForCommand(state, o.source, o.partition)) return kExitFailure;
  state.typeFlags = *flags;
  state.keepDamaged = o.keepDamaged;
  state.keepExistingFiles = true;
  std::int64_t imageOffset = 0;
  if (const auto* slice = dynamic_cast<const SliceSource*>(state.sourceHandle.get()))
    imageOffset = static_cast<std::int64_t>(slice->firstByte());

  SelectionLists lists = listsAfterOpening(state.detectedGeometry);
  if (int status = applySelections(state, o, lists); status != 0) return status;
  // A whole disk has no file system of its own, but its partitions may.
  if (o.freeSpace && state.detectedGeometry.fsType == kFsUnknown && scanRegions(state).empty())
    return refuse("--free-space needs a recognised file system on the source or in its partitions", kExitBadInput);

  ScanRequest request;
  request.freeSpaceOnly = o.freeSpace;
  request.lists = &lists;
  request.clusterSizeChosen = !o.cluster.empty();
  const auto range = rangeOption(o.range, state.geometry.lastSector);
  if (!range) return refuseProblem(*checkSectorRange(-1, -1, state.geometry.lastSector, state.sourceName));
  if (auto problem = checkSectorRange(range->first, range->last, state.geometry.lastSector, state.sourceName))
    return refuseProblem(*problem);
  if (*flags == 0) return refuse(std::string(uiText(20)) + " give --types doc,xls,ppt or a part of it", kExitBadInput);
  if (auto problem = checkReadable(state, range->first, range->last)) return refuseProblem(*problem);
  // Before --new-folder makes anything, the folder must not lie on the source.
  if (auto problem = checkOutputFolderUsable(o.outputFolder)) return refuseProblem(*problem);
  const platform::PlacementCheck placement = checkOutputFolder(*state.sourceHandle, state.sourceName, o.outputFolder);
  if (placement.placement != platform::Placement::Elsewhere)
    return refuse(std::string(uiText(22)) + " " + placement.detail, kExitBadInput);
  if (auto problem = settleOutputFolder(o, request.outputFolder)) return refuseProblem(*problem);
  request.startSector = range->first;
  request.endSector = range->last;

  platform::InterruptCounter interrupts;
  TerminalOptions terminal = terminalOptionsFor(o.quiet, o.progress);
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

  RescueRunFacts facts = runFacts(state, o, imageOffset);
  facts.started = std::chrono::system_clock::now();
  const auto startedSteady = std::chrono::steady_clock::now();
  ScanSummary summary;
  {
    DisplayTimer timer(state);
    summary = runScan(state, frontEnd, request);
  }
  if (summary.refusal != ScanRefusal::None) {
    std::string text(uiText(refusalTextEntry(summary.refusal)));
    if (!summary.refusalDetail.empty()) text += " " + summary.refusalDetail;
    frontEnd.warn(text);
    return statusForRefusal(summary.refusal);
  }
  facts.finished = std::chrono::system_clock::now();
  RunOutcome outcome;
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - startedSteady).count();
  outcome.interrupted = frontEnd.interrupted();
  auto written = writeRescueReport(state, summary, facts);
  if (written) outcome.report = *written;
  else frontEnd.warn("the report could not be written: " + written.error().message());

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

  if (o.verbose) {
    printRejections(summary);
    printFragmentSearchWork();
  }
  if (o.json)
    printJson(state, request, summary, outcome);
  else
    printSummary(state, summary, outcome, o.keepDamaged);
  const int status =
      exitStatusFor(summary, frontEnd.interrupted() || interrupts.presses() > 0 ? interrupts.exitStatus() : 0);
  return status == kExitOk && !written ? kExitFailure : status;
}

}  // namespace

void addRescueCommand(CLI::App& app, int& exitCode, const std::string& commandLine) {
  auto options = std::make_shared<RescueOptions>();
  options->commandLine = commandLine;
  auto* cmd = app.add_subcommand("rescue", "Search a disk, volume or image for lost documents and save them to a folder");
  cmd->add_option("source", options->source, "Block device or image file (opened read-only)")->required();
  cmd->add_option("-o,--output", options->outputFolder, "Existing folder to save documents to (not on the source)")
      ->required();
  cmd->add_option("--types", options->types,
                  "Document families: a comma-separated list of doc, xls, ppt (docx, xlsx, pptx and upper case too)")
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
  cmd->add_flag("--force", options->force,
                "Write into a folder that holds files of an earlier rescue (nothing of it is replaced)");
  cmd->add_flag("--new-folder", options->newFolder,
                "Write into a new folder rescue.1, rescue.2, ... made inside the output folder");
  addPartitionOption(*cmd, options->partition);
  cmd->add_flag("-q,--quiet", options->quiet, "No progress display");
  addProgressOption(*cmd, options->progress);
  cmd->add_flag("--json", options->json, "Print the summary as JSON");
  cmd->add_flag("--no-rename", options->noRename,
                "Keep the TEST_ names: do not name documents after their title or first line");
  cmd->add_flag("-v,--verbose", options->verbose, "Say on stderr why each document start gave no document");
  cmd->footer("Beside the documents the output folder gets report.xml (DFXML: every file with its byte runs on the "
              "source and its SHA-256) and rescue.log (why each document candidate gave no document).");
  cmd->callback([options, &exitCode] { exitCode = runRescue(*options); });
}

}  // namespace vellumark::cli
