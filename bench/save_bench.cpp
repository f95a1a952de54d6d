// Saving 1,000 recovered documents of 20 KiB each into a folder of the system's temporary
// folder (it must be on a real disk for the figures to mean anything), through the carve
// services as a rescue saves them: in batches that take their names together, and one file
// at a time with a flush each. VELLUMARK_BENCH_DIR names another folder to write in.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/carve_services.h"
#include "scan/front_end.h"

namespace {

using namespace vellumark;
namespace fs = std::filesystem;

constexpr int kDocuments = 1000;
constexpr std::size_t kDocumentBytes = 20 * 1024;

fs::path benchFolder() {
  const char* chosen = std::getenv("VELLUMARK_BENCH_DIR");
  const fs::path base = chosen != nullptr ? fs::path(chosen) : fs::temp_directory_path();
  return base / ("vellumark-save-bench-" + std::to_string(::getpid()));
}

void saveDocuments(benchmark::State& bench, bool batched) {
  const fs::path folder = benchFolder();
  std::vector<std::uint8_t> data(kDocumentBytes, 0x5A);
  for (auto _ : bench) {
    bench.PauseTiming();
    fs::remove_all(folder);
    fs::create_directories(folder);
    ScanState state;
    state.outputFolder = folder.string() + "/";
    SilentFrontEnd frontEnd;
    bench.ResumeTiming();
    {
      ScanCarveServices services(state, frontEnd);
      services.setBatchedSaving(batched);
      for (int i = 0; i < kDocuments; ++i) {
        DocumentToSave doc;
        doc.startOffset = static_cast<std::int64_t>(i) * 4096;
        doc.startSector = doc.startOffset / 512;
        doc.extension = ".DOC";
        data[0] = static_cast<std::uint8_t>(i);
        benchmark::DoNotOptimize(services.save(doc, data));
      }
      services.flushSaved();
    }
    if (state.recoveredCount != kDocuments) bench.SkipWithError("not every document was saved");
  }
  fs::remove_all(folder);
  bench.SetItemsProcessed(bench.iterations() * kDocuments);
}

void BM_Save1000Batched(benchmark::State& bench) { saveDocuments(bench, true); }
void BM_Save1000OneByOne(benchmark::State& bench) { saveDocuments(bench, false); }

BENCHMARK(BM_Save1000Batched)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Save1000OneByOne)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
