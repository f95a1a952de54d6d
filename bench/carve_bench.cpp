// Cost of the second pass per recovered megabyte: an in-memory image packed with the real
// documents of the test corpus, carved from the highest candidate down, as the scan does,
// with every document written to a folder under /tmp.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "carvers/carver_registry.h"
#include "driver/carve_services.h"
#include "scan/scan_state.h"
#include "scan/type_codes.h"
#include "util/byte_reader.h"

namespace vellumark {
namespace {

namespace fs = std::filesystem;

struct Candidate {
  std::int64_t sector;
  std::uint8_t code;
};

struct PackedImage {
  std::vector<std::uint8_t> bytes;
  std::vector<Candidate> candidates;  // ascending
};

// The corpus documents the carvers recover, repeated until the image holds about targetBytes.
PackedImage packCorpus(std::size_t targetBytes) {
  const fs::path corpus = fs::path(__FILE__).parent_path().parent_path() / "tests" / "data" / "corpus";
  std::vector<std::pair<std::vector<std::uint8_t>, std::uint8_t>> docs;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::vector<std::uint8_t> doc{std::istreambuf_iterator<char>(in), {}};
    if (le32(doc, 0) == 0xE011CFD0) docs.emplace_back(std::move(doc), kTypeOle2);
    else if (le32(doc, 0) == 0x04034B50) docs.emplace_back(std::move(doc), kTypeOoxml);
  }
  PackedImage image;
  while (image.bytes.size() < targetBytes && !docs.empty()) {
    for (const auto& [doc, code] : docs) {
      image.candidates.push_back({static_cast<std::int64_t>(image.bytes.size() / 512), code});
      image.bytes.insert(image.bytes.end(), doc.begin(), doc.end());
      image.bytes.resize((image.bytes.size() + 4095) / 4096 * 4096, 0);  // next document on a fresh cluster
    }
  }
  return image;
}

// typeFlags 0: every document is traced and claimed but none is written, which isolates the
// carving from the file system.
void runSecondPass(benchmark::State& bm, std::uint32_t typeFlags) {
  static const PackedImage image = packCorpus(32u << 20);
  char folderTemplate[] = "/tmp/vellumark-carve-bench-XXXXXX";
  const std::string folder = ::mkdtemp(folderTemplate);

  ScanState state;
  openScanSource(state, std::make_unique<MemorySource>(image.bytes), "corpus image");
  state.geometry.sectorsPerCluster = 8;
  state.clusterPhase = 0;
  state.scanEndSector = state.geometry.lastSector;
  state.outputFolder = folder + "/";
  state.typeFlags = typeFlags;
  SilentFrontEnd frontEnd;
  ScanCarveServices services(state, frontEnd);
  CarveContext& ctx = services.context();

  std::uint64_t recoveredBytes = 0;
  std::uint64_t documentBytes = 0;
  for (auto _ : bm) {
    bm.PauseTiming();
    if (!state.usedSectorMap.allocate(state.geometry.lastSector)) bm.SkipWithError("no memory for the map");
    state.recoveredFiles.clear();
    state.recoveredCount = 0;
    state.readWindow.invalidate();
    bm.ResumeTiming();
    for (auto it = image.candidates.rbegin(); it != image.candidates.rend(); ++it) {
      if (CarverFn carve = mainPassCarver(it->code)) carve(ctx, it->sector * 512);
    }
    bm.PauseTiming();
    for (std::int64_t s = 0; s <= state.geometry.lastSector; ++s) documentBytes += state.usedSectorMap.isSectorUsed(s) ? 512 : 0;
    for (const RecoveredFile& f : state.recoveredFiles) {
      recoveredBytes += f.sizeBytes;
      fs::remove(f.path);
    }
    bm.ResumeTiming();
  }
  // Bytes of documents recovered when they are written, of sectors traced otherwise.
  bm.SetBytesProcessed(static_cast<std::int64_t>(typeFlags != 0 ? recoveredBytes : documentBytes));
  bm.counters["documents"] = static_cast<double>(state.recoveredCount);
  fs::remove_all(folder);
}
void BM_SecondPassWritingDocuments(benchmark::State& bm) { runSecondPass(bm, kAllFamilies); }
void BM_SecondPassTracingOnly(benchmark::State& bm) { runSecondPass(bm, 0); }
BENCHMARK(BM_SecondPassWritingDocuments)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SecondPassTracingOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace vellumark
