// What checking a document before it is written costs: per megabyte of package (inflate
// every entry and compare CRC-32 and sizes) and of compound file (FAT, directory and chain
// checks), and the whole rescue of a page-cached 1 GiB image of documents and noise, with
// the document carvers as they are and with carvers that walk and save the same documents
// without checking them.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "driver/carve_services.h"
#include "carvers/carver_framework.h"
#include "carvers/compound_file.h"
#include "carvers/ooxml_carver.h"
#include "carvers/zip_walk.h"
#include "driver/scan_driver.h"
#include "scan/scan_state.h"
#include "scan/type_codes.h"

namespace vellumark {
namespace {

namespace fs = std::filesystem;

std::vector<std::vector<std::uint8_t>> corpusFiles(std::uint32_t magic) {
  const fs::path corpus = fs::path(__FILE__).parent_path().parent_path() / "tests" / "data" / "corpus";
  std::vector<std::vector<std::uint8_t>> docs;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::vector<std::uint8_t> doc{std::istreambuf_iterator<char>(in), {}};
    if (le32(doc, 0) == magic) docs.push_back(std::move(doc));
  }
  return docs;
}

// A package walked once through a carve over it alone.
zip::Archive walked(const std::vector<std::uint8_t>& package) {
  ScanState state;
  std::vector<std::uint8_t> image = package;
  image.resize((image.size() + 511) / 512 * 512 + 512, 0);
  openScanSource(state, std::make_unique<MemorySource>(std::move(image)), "package");
  state.scanEndSector = state.geometry.lastSector;
  if (!state.usedSectorMap.allocate(state.geometry.lastSector)) return {};
  SilentFrontEnd frontEnd;
  ScanCarveServices services(state, frontEnd);
  CarveContext& ctx = services.context();
  Carve carve(ctx, 0);
  return zip::walkArchive(carve).archive;
}

void BM_PackageCheckPerMegabyte(benchmark::State& bm) {
  const auto packages = corpusFiles(zip::kLocalHeader);
  std::vector<zip::Archive> archives;
  for (const auto& p : packages) archives.push_back(walked(p));
  std::int64_t bytes = 0;
  for (auto _ : bm) {
    for (std::size_t i = 0; i < packages.size(); ++i) {
      const std::string problem = zip::checkArchive(packages[i], archives[i]);
      if (!problem.empty()) bm.SkipWithError(problem.c_str());
      bytes += static_cast<std::int64_t>(packages[i].size());
    }
  }
  bm.SetBytesProcessed(bytes);
}
BENCHMARK(BM_PackageCheckPerMegabyte)->Unit(benchmark::kMillisecond);

void BM_CompoundCheckPerMegabyte(benchmark::State& bm) {
  const auto files = corpusFiles(0xE011CFD0);
  std::int64_t bytes = 0;
  for (auto _ : bm) {
    for (const auto& f : files) {
      const auto header = cfb::readHeader(f);
      cfb::WholeFile whole(f);
      cfb::Fat fat;
      std::vector<std::uint8_t> dir;
      if (!header || !cfb::collectFat(whole, *header, fat).empty()) continue;
      const std::int64_t length = cfb::describedLength(*header, fat);
      (void)cfb::collectDirectory(whole, *header, fat, length / header->sectorBytes - 2, dir);
      benchmark::DoNotOptimize(cfb::checkStructure(f, length, *header, fat, cfb::parseDirectory(dir)));
      bytes += static_cast<std::int64_t>(f.size());
    }
  }
  bm.SetBytesProcessed(bytes);
}
BENCHMARK(BM_CompoundCheckPerMegabyte)->Unit(benchmark::kMillisecond);

// --- The whole rescue ------------------------------------------------------------------

// The carvers without their checks: the same walk, and every document written as found.
class CarveSupply final : public cfb::ByteSupply {
 public:
  explicit CarveSupply(Carve& carve) : carve_(carve) {}
  bool ensure(std::int64_t end) override { return carve_.fetchUpTo(end); }
  Bytes bytes() const override { return carve_.bytes(); }

 private:
  Carve& carve_;
};

void carveOle2Unchecked(CarveContext& ctx, std::int64_t startOffset) {
  Carve carve(ctx, startOffset);
  if (!carve.started()) return;
  const auto header = cfb::readHeader(carve.bytes());
  if (!header) return;
  CarveSupply supply(carve);
  cfb::Fat fat;
  if (!cfb::collectFat(supply, *header, fat).empty()) return;
  const std::int64_t length = cfb::describedLength(*header, fat);
  if (length > ole2::kMaxDocumentBytes || (length > 0 && !carve.fetchUpTo(length))) return;
  std::vector<std::uint8_t> dir;
  if (!cfb::collectDirectory(supply, *header, fat, carve.filled() / header->sectorBytes - 2, dir).empty()) return;
  carve.accept();
  (void)carve.saveDocument(".DOC", kTypeOle2, length);
}

void carveOoxmlUnchecked(CarveContext& ctx, std::int64_t startOffset) {
  Carve carve(ctx, startOffset);
  const zip::WalkResult walk = zip::walkArchive(carve);
  if (walk.stop != zip::WalkStop::End) return;
  carve.accept();
  const std::string_view extension = packageExtension(walk.archive, carve.typeFlags());
  if (!extension.empty()) (void)carve.saveDocument(extension, kTypeOoxml, walk.archive.length);
}

CarverFn uncheckedCarvers(std::uint8_t code) {
  if (code == kTypeOle2) return carveOle2Unchecked;
  if (code == kTypeOoxml || code == kTypeZip) return carveOoxmlUnchecked;
  return defaultScanHooks().mainPassCarver(code);
}

// 1 GiB: noise, with the corpus documents laid out on it again and again (each on a fresh
// 4 KiB boundary after a gap of noise), written once to /tmp (page-cached from then on) and
// removed when the program ends.
struct BenchImage {
  std::string path;
  std::uint64_t documentBytes = 0;
  BenchImage() : path((fs::temp_directory_path() / "vellumark-check-bench.img").string()) {
    auto all = corpusFiles(0xE011CFD0);
    for (auto& z : corpusFiles(zip::kLocalHeader)) all.push_back(std::move(z));
    std::vector<std::uint8_t> image(std::size_t{1} << 30);
    std::mt19937_64 rng(1);
    for (std::size_t i = 0; i + 8 <= image.size(); i += 8) {
      const std::uint64_t v = rng();
      std::memcpy(image.data() + i, &v, 8);
    }
    std::size_t at = 0;
    for (std::size_t n = 0;; ++n) {
      const auto& doc = all[n % all.size()];
      at = (at + 4096 + rng() % 65536) / 4096 * 4096;
      if (at + doc.size() + 4096 > image.size()) break;
      std::memcpy(image.data() + at, doc.data(), doc.size());
      std::memset(image.data() + at + doc.size(), 0, (doc.size() + 4095) / 4096 * 4096 - doc.size());
      at += doc.size();
      documentBytes += doc.size();
    }
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  }
  ~BenchImage() { fs::remove(path); }
};

void runRescue(benchmark::State& bm, bool checked) {
  static const BenchImage image;
  const std::string& path = image.path;
  // Documents go to memory (tmpfs) where there is one, so that the disk does not set the pace.
  const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
  std::string folder = (base / "vellumark-check-bench-XXXXXX").string();
  if (::mkdtemp(folder.data()) == nullptr) bm.SkipWithError("no output folder");
  ScanState state;
  if (!openScanSource(state, path)) bm.SkipWithError("cannot open the image");
  SilentFrontEnd frontEnd;
  ScanRequest request;
  request.outputFolder = folder;
  request.endSector = state.geometry.lastSector;
  request.folderOnSource = [](const std::string&) { return false; };
  ScanHooks hooks = defaultScanHooks();
  if (!checked) hooks.mainPassCarver = uncheckedCarvers;
  std::uint32_t recovered = 0;
  for (auto _ : bm) {
    const ScanSummary summary = runScan(state, frontEnd, request, hooks);
    recovered = summary.recovered;
  }
  fs::remove_all(folder);
  bm.SetBytesProcessed(static_cast<std::int64_t>(bm.iterations()) * static_cast<std::int64_t>(std::int64_t{1} << 30));
  bm.counters["documents"] = recovered;
  bm.counters["documentMiB"] = static_cast<double>(image.documentBytes) / (1 << 20);
}
void BM_RescueOneGiBChecked(benchmark::State& bm) { runRescue(bm, true); }
void BM_RescueOneGiBUnchecked(benchmark::State& bm) { runRescue(bm, false); }
BENCHMARK(BM_RescueOneGiBChecked)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_RescueOneGiBUnchecked)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
}  // namespace vellumark
