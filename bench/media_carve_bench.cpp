// Tracing a 2 GiB MP4 (ftyp, moov, a 64-bit mdat, a closing moov) from a source that holds
// only its box headers: what the ISO-media carver costs per traced gigabyte, how many
// source bytes it reads, and the process's peak resident memory afterwards.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>

#include "driver/carve_services.h"
#include "carvers/iso_media_carver.h"
#include "scan/scan_state.h"

namespace vellumark {
namespace {

constexpr std::uint64_t kFileBytes = std::uint64_t{2} << 30;
constexpr std::uint64_t kTailAt = kFileBytes - 1000;

void putBe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// Zeros except for the headers; counts what is read.
class SparseMp4 final : public SectorSource {
 public:
  SparseMp4() {
    putBe32(head_.data(), 24);
    std::copy_n("ftypmp42", 8, head_.begin() + 4);
    putBe32(head_.data() + 24, 600);
    std::copy_n("moov", 4, head_.begin() + 28);
    putBe32(head_.data() + 624, 1);
    std::copy_n("mdat", 4, head_.begin() + 628);
    putBe32(head_.data() + 632, static_cast<std::uint32_t>((kTailAt - 624) >> 32));
    putBe32(head_.data() + 636, static_cast<std::uint32_t>(kTailAt - 624));
    putBe32(tail_.data(), 1000);
    std::copy_n("moov", 4, tail_.begin() + 4);
  }
  platform::Expected<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
    const std::uint64_t n = std::min<std::uint64_t>(buffer.size(), sizeBytes() - std::min(offset, sizeBytes()));
    std::fill_n(buffer.begin(), n, 0);
    for (std::uint64_t i = 0; i < n; ++i) {
      const std::uint64_t at = offset + i;
      if (at < head_.size()) buffer[i] = head_[at];
      else if (at >= kTailAt && at < kTailAt + tail_.size()) buffer[i] = tail_[at - kTailAt];
    }
    bytesRead += n;
    return static_cast<std::size_t>(n);
  }
  std::uint64_t sizeBytes() const override { return kFileBytes + 65536; }
  std::uint32_t logicalSectorSize() const override { return 512; }
  SourceKind kind() const override { return SourceKind::ImageFile; }
  std::uint64_t bytesRead = 0;

 private:
  std::array<std::uint8_t, 640> head_{};
  std::array<std::uint8_t, 8> tail_{};
};

void BM_TraceSparse2GibMp4(benchmark::State& bm) {
  auto owned = std::make_unique<SparseMp4>();
  SparseMp4* source = owned.get();
  ScanState state;
  openScanSource(state, std::move(owned), "sparse mp4");
  state.geometry.bytesPerSector = 512;
  state.geometry.sectorsPerCluster = 8;
  state.scanEndSector = state.geometry.lastSector;
  SilentFrontEnd frontEnd;
  ScanCarveServices services(state, frontEnd);
  CarveContext& ctx = services.context();
  std::uint64_t read = 0;
  for (auto _ : bm) {
    bm.PauseTiming();
    if (!state.usedSectorMap.allocate(state.geometry.lastSector)) bm.SkipWithError("no memory for the map");
    state.readWindow.invalidate();
    source->bytesRead = 0;
    bm.ResumeTiming();
    carveIsoMedia(ctx, 0);
    read = source->bytesRead;
  }
  if (!state.usedSectorMap.isSectorUsed(static_cast<std::int64_t>(kFileBytes / 512) - 1)) bm.SkipWithError("not traced");
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  bm.SetBytesProcessed(static_cast<std::int64_t>(bm.iterations() * kFileBytes));
  bm.counters["source_bytes_read"] = static_cast<double>(read);
  bm.counters["peak_rss_kib"] = static_cast<double>(usage.ru_maxrss);
}
BENCHMARK(BM_TraceSparse2GibMp4)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace vellumark
