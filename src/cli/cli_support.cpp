#include "cli/cli_support.h"

#include "source/disk_partitions.h"
#include "util/unicode.h"

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <iostream>

namespace vellumark::cli {

bool openForCommand(ScanState& state, const std::string& path, int partition) {
  auto opened = openScanSource(state, path);
  if (!opened) {
    std::cerr << "vellumark-cli: cannot open " << path << ": " << opened.error().message() << "\n";
    return false;
  }
  if (partition <= 0) return true;
  auto narrowed = openPartition(state, partition);
  state.readWindow.invalidate();
  if (narrowed) return true;
  std::cerr << "vellumark-cli: " << narrowed.error().message() << "\n";
  return false;
}

void addPartitionOption(CLI::App& command, int& partition) {
  command.add_option("--partition", partition, "Use partition N of the source's partition table as a volume")
      ->check(CLI::PositiveNumber);
}

std::optional<SectorRange> rangeOption(std::string_view text, std::int64_t lastSector) {
  if (text.empty()) return SectorRange{0, lastSector};
  return parseSectorRange(text);
}

std::optional<SectorRange> parseSectorRange(std::string_view text) {
  auto dash = text.find('-', 1);
  if (dash == std::string_view::npos) return std::nullopt;
  SectorRange r{parseSectorNumber(text.substr(0, dash)), parseSectorNumber(text.substr(dash + 1))};
  if (r.first < 0 || r.last < 0) return std::nullopt;
  return r;
}

std::string jsonString(std::string_view text) { return nlohmann::json(displayUtf8(text)).dump(); }

void addProgressOption(CLI::App& command, std::string& choice) {
  command
      .add_option("--progress", choice,
                  "Progress on stderr: auto (a live line on a terminal, nothing otherwise), json (one JSON object "
                  "a line) or none")
      ->check(CLI::IsMember({"auto", "json", "none"}))
      ->capture_default_str();
}

bool stderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

}  // namespace vellumark::cli
