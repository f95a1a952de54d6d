#pragma once
// What a rescue leaves in its output folder beside the documents: report.xml, in Digital
// Forensics XML (a <fileobject> per recovered file with its size, the byte runs it was read
// from and its SHA-256, as fiwalk and PhotoRec write them), and rescue.log, one line per
// document candidate that gave no document, with the reason.

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "driver/scan_driver.h"
#include "platform/os_error.h"
#include "scan/scan_state.h"

namespace vellumark {

// What the report says of the run besides what the scan state holds.
struct RescueRunFacts {
  std::string program = "vellumark";
  std::string commandLine;
  std::vector<std::pair<std::string, std::string>> options;  // name, value as given
  std::chrono::system_clock::time_point started;
  std::chrono::system_clock::time_point finished;
  std::string imagePath;         // the image or device opened (the source name when empty)
  std::int64_t imageOffset = 0;  // where the scanned volume starts in it (a partition), bytes
  std::uint64_t sourceBytes = 0; // size of the scanned volume
};

// The DFXML text of a finished rescue.
[[nodiscard]] std::string rescueReportXml(const ScanState& state, const ScanSummary& summary, const RescueRunFacts& run);

// The rescue log: a heading line, then one line per document candidate turned down and per
// carve given up for an unreadable sector or for memory.
[[nodiscard]] std::string rescueLogText(const ScanSummary& summary, const RescueRunFacts& run);

// Where the report and log went.
struct RescueReportPaths {
  std::string report;
  std::string log;
};

// Writes both into state.outputFolder as report.xml and rescue.log; a file of that name
// from an earlier rescue is never replaced (the new one is then report-2.xml and so on).
[[nodiscard]] platform::Expected<RescueReportPaths> writeRescueReport(const ScanState& state, const ScanSummary& summary,
                                                                      const RescueRunFacts& run);

// An ISO 8601 UTC time with seconds, e.g. 2024-05-01T12:00:00Z.
[[nodiscard]] std::string isoUtc(std::chrono::system_clock::time_point when);

// The family a recovered file's extension names: "Word", "Excel", "PowerPoint" or "other".
[[nodiscard]] std::string_view documentFamilyOf(const std::string& path);

}  // namespace vellumark
