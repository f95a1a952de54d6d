// The first pass's reading: a file read front to back in chunks on a reader thread while
// each 512-byte sector is classified where it lies, for chunk sizes of 64 KiB, 256 KiB and
// 1 MiB. The file is VELLUMARK_BENCH_IMAGE when set (page-cache it first), else 256 MiB of
// random bytes written to a temporary file.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "scan/prefetch_reader.h"
#include "scan/sector_classifier.h"
#include "source/sector_source.h"

namespace {

std::string benchImage() {
  if (const char* path = std::getenv("VELLUMARK_BENCH_IMAGE")) return path;
  static const std::string made = [] {
    std::string path = "/tmp/vellumark-prefetch-bench.img";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::mt19937_64 rng(7);
    std::vector<std::uint64_t> block(1 << 17);
    for (int i = 0; i < 256; ++i) {
      for (auto& w : block) w = rng();
      std::fwrite(block.data(), sizeof(std::uint64_t), block.size(), f);
    }
    std::fclose(f);
    return path;
  }();
  return made;
}

void readAndClassify(benchmark::State& state) {
  auto opened = vellumark::openFileSource(benchImage());
  if (!opened) {
    state.SkipWithError("cannot open the image");
    return;
  }
  vellumark::SectorSource& source = **opened;
  const auto size = static_cast<std::int64_t>(source.sizeBytes());
  std::uint64_t found = 0;
  for (auto _ : state) {
    vellumark::PrefetchOptions options;
    options.chunkBytes = static_cast<std::size_t>(state.range(0));
    vellumark::PrefetchReader reader(source, 0, size, options);
    while (const vellumark::PrefetchChunk* chunk = reader.next()) {
      for (std::size_t at = 0; at + 512 <= chunk->bytes.size(); at += 512)
        found += vellumark::classifySector(chunk->bytes.subspan(at, 512)) != 0;
    }
  }
  benchmark::DoNotOptimize(found);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * size);
}

}  // namespace

BENCHMARK(readAndClassify)->Arg(64 << 10)->Arg(256 << 10)->Arg(1 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();
