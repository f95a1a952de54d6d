// vellumark-cli map SOURCE [--summary]: the sectors the file system of SOURCE says are
// allocated, as inclusive FIRST-LAST runs, then the totals.

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/cli_support.h"
#include "cli/commands.h"
#include "driver/scan_regions.h"
#include "scan/allocated_space.h"

namespace vellumark::cli {

namespace {

struct MapOptions {
  std::string source;
  bool summary = false;
  bool json = false;
  int partition = 0;
};

// Collects output and writes it to stdout in large pieces.
class BufferedOut {
 public:
  ~BufferedOut() { flush(); }
  void append(const std::string& text) {
    buffer_ += text;
    if (buffer_.size() >= kFlushBytes) flush();
  }
  void flush() {
    if (!buffer_.empty()) std::fwrite(buffer_.data(), 1, buffer_.size(), stdout);
    buffer_.clear();
  }

 private:
  static constexpr std::size_t kFlushBytes = 1 << 16;
  std::string buffer_;
};

// Calls emit(first, last) for every run of marked sectors, in ascending order. Whole
// 0x00 and 0xFF bytes are passed over without looking at their bits.
template <typename Emit>
void forEachMarkedRun(const UsedSectorMap& map, Emit&& emit) {
  const std::int64_t sectors = map.sectorCount();
  const auto& bytes = map.bytes();
  std::int64_t runStart = -1;
  auto visit = [&](std::int64_t s, bool used) {
    if (used && runStart < 0) runStart = s;
    if (!used && runStart >= 0) {
      emit(runStart, s - 1);
      runStart = -1;
    }
  };
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::uint8_t b = bytes[i];
    const auto base = static_cast<std::int64_t>(i) * 8;
    if ((b == 0x00 && runStart < 0) || (b == 0xFF && runStart >= 0 && base + 8 <= sectors)) continue;
    for (std::int64_t s = base; s < base + 8 && s < sectors; ++s) visit(s, (b >> (s - base)) & 1u);
  }
  if (runStart >= 0) emit(runStart, sectors - 1);
}

int runMap(const MapOptions& opt) {
  ScanState state;
  if (!openForCommand(state, opt.source, opt.partition)) return kExitFailure;
  const VolumeGeometry& geo = state.detectedGeometry;
  if (geo.lastSector < 0) {
    std::cerr << "vellumark-cli: " << opt.source << " holds no whole sector\n";
    return kExitFailure;
  }
  if (!state.usedSectorMap.allocate(geo.lastSector)) {
    std::cerr << "vellumark-cli: not enough memory for the sector map of " << opt.source << "\n";
    return kExitFailure;
  }
  SilentFrontEnd frontEnd;
  // A whole disk without a file system of its own: the allocation data of its partitions.
  const std::vector<ScanRegion> regions = scanRegions(state);
  AllocatedSpaceResult result =
      regions.empty() ? markAllocatedSpace(state, frontEnd) : markAllocatedRegions(state, frontEnd, regions);
  if (result.cancelled) return kExitInterrupted;
  if (!result.ok) {
    std::cerr << "vellumark-cli: cannot read the allocation data of " << opt.source << " ("
              << fsTypeName(geo.fsType) << "): " << result.failure << "\n";
    return kExitFailure;
  }

  BufferedOut out;
  const std::int64_t total = geo.lastSector + 1;
  const std::int64_t used = state.usedSectorMap.countUsed();
  if (opt.json) {
    // Streamed: a large volume has millions of runs. Each run is [first, last].
    out.append("{\"source\": " + jsonString(opt.source) + ", \"fileSystem\": " + jsonString(fsTypeName(geo.fsType)) +
               ", \"bytesPerSector\": " + std::to_string(geo.bytesPerSector) + ", \"allocated\": " +
               std::to_string(used) + ", \"free\": " + std::to_string(total - used) + ", \"total\": " +
               std::to_string(total));
    if (!opt.summary) {
      out.append(", \"runs\": [");
      bool first = true;
      forEachMarkedRun(state.usedSectorMap, [&out, &first](std::int64_t a, std::int64_t b) {
        out.append(std::string(first ? "" : ", ") + nlohmann::json::array({a, b}).dump());
        first = false;
      });
      out.append("]");
    }
    out.append("}\n");
  } else {
    if (!opt.summary) {
      forEachMarkedRun(state.usedSectorMap, [&out](std::int64_t first, std::int64_t last) {
        out.append(std::to_string(first) + "-" + std::to_string(last) + "\n");
      });
    }
    out.append("allocated " + std::to_string(used) + ", free " + std::to_string(total - used) + ", total " +
               std::to_string(total) + " sectors\n");
  }
  out.flush();
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

}  // namespace

void addMapCommand(CLI::App& app, int& exitCode) {
  auto opt = std::make_shared<MapOptions>();
  auto* cmd = app.add_subcommand(
      "map", "List the sectors of SOURCE that its file system says are allocated (FIRST-LAST runs, then totals)");
  cmd->add_option("source", opt->source, "Block device or image file")->required();
  cmd->add_flag("--summary", opt->summary, "Print the totals only");
  cmd->add_flag("--json", opt->json, "Print the runs and totals as one JSON object");
  addPartitionOption(*cmd, opt->partition);
  cmd->callback([opt, &exitCode] { exitCode = runMap(*opt); });
}

}  // namespace vellumark::cli
