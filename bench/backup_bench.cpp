// The backup copy loop: 256 MiB held in memory copied into an image file in the system's
// temporary folder, flushed and renamed into place. Bytes per second are of the range.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "backup/image_backup.h"

namespace {

using namespace vellumark;

constexpr std::int64_t kSectors = 512 * 1024;  // 256 MiB

void BM_BackupPlainCopy(benchmark::State& bench) {
  ScanState state;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(kSectors) * 512, 0x6B);
  openScanSource(state, std::make_unique<MemorySource>(std::move(bytes)), "memory");
  const auto image = std::filesystem::temp_directory_path() / ("vellumark-bench-" + std::to_string(::getpid()) + ".img");
  SilentFrontEnd frontEnd;
  BackupRequest request;
  request.imagePath = image.string();
  request.endSector = kSectors - 1;
  request.replaceExisting = true;
  request.folderOnSource = [](const std::string&) { return false; };
  for (auto _ : bench) {
    BackupSummary summary = runBackup(state, frontEnd, request);
    if (!summary.imageKept) bench.SkipWithError("the image was not written");
  }
  std::filesystem::remove(image);
  bench.SetBytesProcessed(static_cast<std::int64_t>(bench.iterations()) * kSectors * 512);
}
BENCHMARK(BM_BackupPlainCopy)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
