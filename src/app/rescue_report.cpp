#include "app/rescue_report.h"

#include <cctype>
#include <ctime>

#include "app/version.h"
#include "driver/carve_services.h"
#include "platform/output_file.h"
#include "scan/type_codes.h"
#include "util/unicode.h"

namespace vellumark {

namespace {

std::string xmlText(std::string_view bytes) {
  const std::string text = displayUtf8(bytes, true);
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

// Built by appending: GCC 12 misreads "<" + std::string in optimised builds (-Wrestrict).
std::string element(std::string_view name, std::string_view text) {
  std::string out;
  out.append("<").append(name).append(">").append(xmlText(text)).append("</").append(name).append(">");
  return out;
}

std::string baseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string fileObject(const RecoveredFile& f, const RescueRunFacts& run) {
  std::string out = "  <fileobject>\n";
  out += "    " + element("filename", baseName(f.path)) + "\n";
  out += "    " + element("filesize", std::to_string(f.sizeBytes)) + "\n";
  out += "    <byte_runs>\n";
  std::int64_t fileOffset = 0;
  for (const ByteRun& r : f.byteRuns) {
    out += "      <byte_run offset=\"" + std::to_string(fileOffset) + "\" img_offset=\"" +
           std::to_string(run.imageOffset + r.offset) + "\" len=\"" + std::to_string(r.length) + "\"/>\n";
    fileOffset += r.length;
  }
  out += "    </byte_runs>\n";
  if (!f.sha256.empty()) out += "    <hashdigest type=\"sha256\">" + f.sha256 + "</hashdigest>\n";
  out += "    <vm:start_sector>" + std::to_string(f.startSector) + "</vm:start_sector>\n";
  out += "    " + element("vm:type", typeCodeName(f.typeCode)) + "\n";
  if (!f.title.empty()) out += "    " + element("vm:title", f.title) + "\n";
  if (!f.author.empty()) out += "    " + element("vm:author", f.author) + "\n";
  if (f.lastSaved) out += "    " + element("vm:last_saved", isoUtc(std::chrono::system_clock::from_time_t(*f.lastSaved))) + "\n";
  return out + "  </fileobject>\n";
}

std::string creator(const RescueRunFacts& run) {
  std::string out = "  <creator version=\"1.0\">\n";
  out += "    " + element("program", run.program) + "\n";
  out += "    " + element("version", programVersion()) + "\n";
  out += "    <execution_environment>\n";
  out += "      " + element("command_line", run.commandLine) + "\n";
  out += "      " + element("start_time", isoUtc(run.started)) + "\n";
  out += "    </execution_environment>\n";
  out += "  </creator>\n";
  return out;
}

std::string source(const ScanState& state, const RescueRunFacts& run) {
  std::string out = "  <source>\n";
  out += "    " + element("image_filename", run.imagePath.empty() ? state.sourceName : run.imagePath) + "\n";
  out += "    " + element("sectorsize", std::to_string(state.geometry.bytesPerSector)) + "\n";
  out += "    " + element("image_size", std::to_string(run.sourceBytes)) + "\n";
  out += "  </source>\n";
  return out;
}

std::string configuration(const ScanState& state, const ScanSummary& summary, const RescueRunFacts& run) {
  std::string out = "  <vm:configuration>\n";
  for (const auto& [name, value] : run.options)
    out += "    <vm:option name=\"" + xmlText(name) + "\">" + xmlText(value) + "</vm:option>\n";
  out += "    <vm:volume_offset>" + std::to_string(run.imageOffset) + "</vm:volume_offset>\n";
  out += "    " + element("vm:file_system", fsTypeName(state.geometry.fsType)) + "\n";
  out += "    <vm:cluster_bytes>" +
         std::to_string(std::uint64_t{summary.clusterEstimate ? summary.clusterEstimate->sectorsPerCluster
                                                             : state.geometry.sectorsPerCluster} *
                        state.geometry.bytesPerSector) +
         "</vm:cluster_bytes>\n";
  out += "    <vm:first_sector>" + std::to_string(state.scanStartSector) + "</vm:first_sector>\n";
  out += "    <vm:last_sector>" + std::to_string(state.scanEndSector) + "</vm:last_sector>\n";
  out += "  </vm:configuration>\n";
  return out;
}

std::string runStats(const ScanState& state, const ScanSummary& summary, const RescueRunFacts& run) {
  const double seconds = std::chrono::duration<double>(run.finished - run.started).count();
  std::string out = "  <rusage>\n";
  out += "    <clocktime>" + std::to_string(seconds) + "</clocktime>\n";
  out += "    " + element("vm:end_time", isoUtc(run.finished)) + "\n";
  out += "    <vm:sectors_examined>" + std::to_string(summary.sectorsExamined) + "</vm:sectors_examined>\n";
  out += "    <vm:unreadable_sectors>" + std::to_string(summary.sectorsUnreadable) + "</vm:unreadable_sectors>\n";
  out += "    <vm:recovered>" + std::to_string(summary.recovered) + "</vm:recovered>\n";
  out += "    <vm:damaged>" + std::to_string(state.damagedCount) + "</vm:damaged>\n";
  out += "    <vm:rejected>" + std::to_string(summary.rejections.documents.size()) + "</vm:rejected>\n";
  out += "    <vm:save_failures>" + std::to_string(summary.saveFailures) + "</vm:save_failures>\n";
  const char* outcome = summary.cancelled ? "cancelled" : summary.stopped ? "stopped" : "finished";
  out += "    <vm:outcome>" + std::string(outcome) + "</vm:outcome>\n";
  out += "  </rusage>\n";
  return out;
}

// Appended in place: the log may list a hundred thousand candidates.
void appendLogLine(std::string& out, std::int64_t sector, std::uint8_t code, std::string_view what) {
  out += "sector ";
  out += std::to_string(sector);
  out += '\t';
  out += typeCodeName(code);
  out += '\t';
  out += what;
  out += '\n';
}

platform::Expected<bool> writeText(const std::string& path, const std::string& text) {
  return platform::writeWholeFile(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace

std::string isoUtc(std::chrono::system_clock::time_point when) {
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm parts{};
  gmtime_r(&t, &parts);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return buf;
}

std::string_view documentFamilyOf(const std::string& path) {
  const std::size_t dot = path.find_last_of('.');
  if (dot == std::string::npos) return "other";
  std::string ext;
  for (char c : path.substr(dot + 1)) ext += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == "doc" || ext == "docx" || ext == "docm" || ext == "dot" || ext == "dotx") return "Word";
  if (ext == "xls" || ext == "xlsx" || ext == "xlsm" || ext == "xlt" || ext == "xltx") return "Excel";
  if (ext == "ppt" || ext == "pptx" || ext == "pptm" || ext == "pps" || ext == "ppsx") return "PowerPoint";
  return "other";
}

std::string rescueReportXml(const ScanState& state, const ScanSummary& summary, const RescueRunFacts& run) {
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out += "<dfxml xmlns=\"http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML\"\n"
         "       xmlns:dc=\"http://purl.org/dc/elements/1.1/\"\n"
         "       xmlns:vm=\"https://vellumark.org/dfxml\"\n"
         "       version=\"1.0\">\n";
  out += "  <metadata>\n    <dc:type>Carve Report</dc:type>\n  </metadata>\n";
  out += creator(run);
  out += source(state, run);
  out += configuration(state, summary, run);
  for (const RecoveredFile& f : state.recoveredFiles) out += fileObject(f, run);
  out += runStats(state, summary, run);
  return out + "</dfxml>\n";
}

namespace {

// The log, handed over in pieces of about kLogPiece bytes: it may list a hundred thousand
// candidates, and one string of it all would be megabytes of memory taken for a moment.
// `emit` takes each piece (and may empty it); false from it ends the log there.
constexpr std::size_t kLogPiece = 256 * 1024;

template <typename Emit>
bool produceRescueLog(const ScanSummary& summary, const RescueRunFacts& run, Emit&& emit) {
  std::string out = "# " + run.program + " " + std::string(programVersion()) + ", started " + isoUtc(run.started) +
                    ": " + displayUtf8(run.commandLine) + "\n";
  out += "# sector\ttype\twhy no document came of it\n";
  auto line = [&](std::int64_t sector, std::uint8_t code, std::string_view what) {
    appendLogLine(out, sector, code, what);
    if (out.size() < kLogPiece) return true;
    const bool more = emit(out);
    out.clear();
    return more;
  };
  for (const CandidateRejection& r : summary.rejections.documents)
    if (!line(r.startSector, r.typeCode, summary.rejections.why(r))) return false;
  for (const AbandonedCarve& a : summary.rejections.abandoned) {
    const std::string why = a.unreadableSector >= 0
                                ? "given up: sector " + std::to_string(a.unreadableSector) + " cannot be read"
                                : "given up: not enough memory for " + std::to_string(a.bytesNeeded) + " bytes";
    if (!line(a.startSector, a.typeCode, why)) return false;
  }
  if (summary.rejections.documents.size() >= RejectionLog::kMaxListed)
    out += "# only the first " + std::to_string(RejectionLog::kMaxListed) + " document candidates turned down are listed\n";
  return emit(out);
}

platform::Expected<bool> writeRescueLog(const std::string& path, const ScanSummary& summary, const RescueRunFacts& run) {
  auto pending = platform::createPendingOutputFile(path);
  if (!pending) return pending.error();
  platform::Expected<bool> written = true;
  produceRescueLog(summary, run, [&](const std::string& piece) {
    written = pending->write(std::span(reinterpret_cast<const std::uint8_t*>(piece.data()), piece.size()));
    return static_cast<bool>(written);
  });
  if (!written) return written.error();
  return pending->commitAs(path);
}

}  // namespace

std::string rescueLogText(const ScanSummary& summary, const RescueRunFacts& run) {
  std::string text;
  produceRescueLog(summary, run, [&](const std::string& piece) {
    text += piece;
    return true;
  });
  return text;
}

platform::Expected<RescueReportPaths> writeRescueReport(const ScanState& state, const ScanSummary& summary,
                                                        const RescueRunFacts& run) {
  RescueReportPaths paths{unusedName(state.outputFolder + "report.xml"), unusedName(state.outputFolder + "rescue.log")};
  if (auto written = writeText(paths.report, rescueReportXml(state, summary, run)); !written) return written.error();
  if (auto written = writeRescueLog(paths.log, summary, run); !written) return written.error();
  return paths;
}

}  // namespace vellumark
