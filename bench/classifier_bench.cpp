// classifySector per sector on the data a scan meets most: random (compressed or encrypted
// content), zero (never-written space) and FAT directory sectors.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "scan/sector_classifier.h"

namespace {

constexpr std::size_t kSectors = 4096;

// kSectors sectors of `size` bytes, back to back.
std::vector<std::uint8_t> randomSectors(std::size_t size) {
  std::vector<std::uint8_t> bytes(kSectors * size);
  std::mt19937 rng(12345);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
  return bytes;
}

std::vector<std::uint8_t> fatDirectorySectors() {
  std::vector<std::uint8_t> bytes(kSectors * 512, 0);
  for (std::size_t s = 0; s < kSectors; ++s) {
    for (std::size_t e = 0; e < 12; ++e) {
      std::uint8_t* entry = bytes.data() + s * 512 + e * 32;
      for (int i = 0; i < 11; ++i) entry[i] = static_cast<std::uint8_t>('A' + (s + e + i) % 26);
      entry[11] = 0x20;
      const std::uint16_t date = (30 << 9) | (6 << 5) | 15;
      entry[24] = static_cast<std::uint8_t>(date);
      entry[25] = static_cast<std::uint8_t>(date >> 8);
    }
  }
  return bytes;
}

void classifyAll(benchmark::State& state, const std::vector<std::uint8_t>& bytes, std::size_t size) {
  std::span<const std::uint8_t> all(bytes);
  for (auto _ : state) {
    unsigned sum = 0;
    for (std::size_t s = 0; s < kSectors; ++s) sum += vellumark::classifySector(all.subspan(s * size, size));
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kSectors));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSectors * size));
}

void BM_ClassifyRandom(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  classifyAll(state, randomSectors(size), size);
}
BENCHMARK(BM_ClassifyRandom)->Arg(512)->Arg(4096);

void BM_ClassifyZero(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  classifyAll(state, std::vector<std::uint8_t>(kSectors * size, 0), size);
}
BENCHMARK(BM_ClassifyZero)->Arg(512)->Arg(4096);

void BM_ClassifyFatDirectory(benchmark::State& state) { classifyAll(state, fatDirectorySectors(), 512); }
BENCHMARK(BM_ClassifyFatDirectory);

}  // namespace
