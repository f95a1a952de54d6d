// markAllocatedSpace over a large exFAT allocation bitmap: 4 MiB of bitmap for 32 Mi
// clusters of 8 sectors (a 128 GiB volume), held in memory; the rest of the volume reads
// as zeros. Mixed content (runs of full and empty bytes, some partial bytes) and a full
// volume.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "scan/allocated_space.h"

namespace {

using namespace vellumark;

constexpr std::uint64_t kHeapSector = 2048;
constexpr std::uint64_t kBitmapBytes = 4u << 20;
constexpr std::uint32_t kClusters = kBitmapBytes * 8;
constexpr std::uint32_t kSpcShift = 3;
constexpr std::uint64_t kVolumeSectors = kHeapSector + (std::uint64_t{kClusters} << kSpcShift);

// A volume whose first bytes are in memory and whose remainder reads as zeros.
class LargeVolume final : public SectorSource {
 public:
  explicit LargeVolume(std::vector<std::uint8_t> head) : head_(std::move(head)) {}
  platform::Expected<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
    std::fill(buffer.begin(), buffer.end(), std::uint8_t{0});
    if (offset < head_.size()) {
      const std::size_t n = std::min<std::uint64_t>(buffer.size(), head_.size() - offset);
      std::copy_n(head_.begin() + static_cast<std::ptrdiff_t>(offset), n, buffer.begin());
    }
    return std::min<std::uint64_t>(buffer.size(), sizeBytes() - std::min(offset, sizeBytes()));
  }
  std::uint64_t sizeBytes() const override { return kVolumeSectors * 512; }
  std::uint32_t logicalSectorSize() const override { return 512; }
  SourceKind kind() const override { return SourceKind::ImageFile; }

 private:
  std::vector<std::uint8_t> head_;
};

void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v, int width = 4) {
  for (int i = 0; i < width; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::vector<std::uint8_t> volumeHead(bool full) {
  const std::uint64_t clusterBytes = 512u << kSpcShift;
  const std::uint64_t bitmapClusters = kBitmapBytes / clusterBytes;
  const std::uint64_t rootCluster = 2 + bitmapClusters;
  const std::uint64_t rootOffset = (kHeapSector + bitmapClusters * (1u << kSpcShift)) * 512;
  std::vector<std::uint8_t> b(rootOffset + 512, 0);
  std::copy_n("EXFAT   ", 8, b.begin() + 3);
  put32(b, 88, kHeapSector);
  put32(b, 92, kClusters);
  put32(b, 96, rootCluster);
  b[108] = 9;
  b[109] = kSpcShift;
  b[510] = 0x55;
  b[511] = 0xAA;
  b[rootOffset] = 0x83;
  b[rootOffset + 32] = 0x81;
  put32(b, rootOffset + 32 + 20, 2);
  put32(b, rootOffset + 32 + 24, kBitmapBytes, 8);
  std::mt19937 rng(5);
  std::uint8_t run = 0xFF;
  for (std::uint64_t i = 0; i < kBitmapBytes; ++i) {
    if (!full && rng() % 64 == 0) run = static_cast<std::uint8_t>(rng() % 3 == 0 ? rng() : (run ^ 0xFF));
    b[kHeapSector * 512 + i] = full ? 0xFF : run;
  }
  return b;
}

void markVolume(benchmark::State& bench, bool full) {
  ScanState state;
  openScanSource(state, std::make_unique<LargeVolume>(volumeHead(full)), "large volume");
  if (state.detectedGeometry.fsType != kFsExfat) {
    bench.SkipWithError("volume not detected as exFAT");
    return;
  }
  if (!state.usedSectorMap.allocate(state.detectedGeometry.lastSector)) {
    bench.SkipWithError("no memory for the map");
    return;
  }
  SilentFrontEnd frontEnd;
  for (auto _ : bench) {
    AllocatedSpaceResult r = markAllocatedSpace(state, frontEnd);
    if (!r.ok) bench.SkipWithError("marking failed");
    benchmark::DoNotOptimize(state.usedSectorMap.bytes().data());
  }
  bench.SetBytesProcessed(static_cast<std::int64_t>(bench.iterations() * kBitmapBytes));
  bench.counters["sectors/s"] =
      benchmark::Counter(static_cast<double>(bench.iterations() * kVolumeSectors), benchmark::Counter::kIsRate);
}

void BM_MarkMixedBitmap(benchmark::State& bench) { markVolume(bench, false); }
void BM_MarkFullBitmap(benchmark::State& bench) { markVolume(bench, true); }

BENCHMARK(BM_MarkMixedBitmap)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MarkFullBitmap)->Unit(benchmark::kMillisecond);

}  // namespace
