// Whole scans over images of garbage sprinkled with the signatures that start the carvers:
// damaged compound files, cut and corrupted ZIP packages, file-system records. Whatever the
// bytes, a scan ends, writes only whole files into the output folder and never crashes (this
// program also runs under AddressSanitizer and UBSan in CI).

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>

#include "driver/scan_driver.h"
#include "support/carve_setup.h"
#include "support/image_builder.h"
#include "support/recording_front_end.h"

namespace vellumark {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kSectors = 4096;  // 2 MiB

// Copies `doc` into the image at a random sector and damages a few of its bytes.
void plantDamaged(test::ImageBuilder& img, const std::vector<std::uint8_t>& doc, std::mt19937& rng) {
  const std::uint64_t sectors = (doc.size() + 511) / 512;
  const std::uint64_t at = rng() % (kSectors - sectors);
  img.putBytes(at * 512, doc);
  const int hits = static_cast<int>(rng() % 6);
  for (int i = 0; i < hits; ++i) {
    // Keep the signature so that the carver is called; damage the structures behind it.
    const std::size_t pos = 8 + rng() % (doc.size() - 8);
    img.bytes()[at * 512 + pos] = static_cast<std::uint8_t>(rng());
  }
}

test::ImageBuilder garbageImage(std::uint32_t seed) {
  std::mt19937 rng(seed);
  test::ImageBuilder img(kSectors);
  img.fillRandom(0, kSectors * 512, seed);
  const auto ole = test::makeCompoundFile({"Root Entry", "WordDocument", "1Table"}, 12);
  const auto zip = test::makeZip({{"[Content_Types].xml", "<Types/>"}, {"word/document.xml", std::string(3000, 'x')}});
  for (int i = 0; i < 12; ++i) plantDamaged(img, ole, rng);
  for (int i = 0; i < 12; ++i) plantDamaged(img, zip, rng);
  // Bare signatures with random bytes behind them.
  const std::array<std::string_view, 5> heads{"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", "PK\x03\x04", "FILE", "INDX", "RIFF"};
  for (int i = 0; i < 40; ++i) {
    const std::string_view head = heads[rng() % heads.size()];
    img.putText((rng() % kSectors) * 512, head);
  }
  return img;
}

TEST(GarbageScan, ScansEndAndWriteOnlyWholeFiles) {
  std::size_t written = 0;
  for (std::uint32_t seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    test::TempDir out;
    test::ImageBuilder img = garbageImage(seed);
    ScanState state;
    openScanSource(state, img.source(), "garbage");
    test::RecordingFrontEnd frontEnd;
    ScanRequest request;
    request.outputFolder = out.path().string();
    request.startSector = 0;
    request.endSector = state.geometry.lastSector;
    request.folderOnSource = [](const std::string&) { return false; };
    const ScanSummary summary = runScan(state, frontEnd, request);
    ASSERT_EQ(summary.refusal, ScanRefusal::None);

    // Every file written is listed, complete, and nothing else is in the folder.
    std::size_t onDisk = 0;
    for (const auto& entry : fs::directory_iterator(out.path())) {
      ++onDisk;
      EXPECT_EQ(entry.path().filename().string().rfind("TEST_", 0), 0u) << entry.path();
    }
    EXPECT_EQ(onDisk, state.recoveredFiles.size());
    EXPECT_EQ(summary.recovered, state.recoveredFiles.size());
    for (const RecoveredFile& f : state.recoveredFiles) {
      ASSERT_TRUE(fs::exists(f.path)) << f.path;
      EXPECT_EQ(fs::file_size(f.path), f.sizeBytes) << f.path;
    }
    written += state.recoveredFiles.size();
  }
  // Some planted documents come through undamaged: the writing path is exercised too.
  EXPECT_GT(written, 0u);
}

// A ZIP local header at every cluster, its sizes random: most records claim to end past the
// scan range, the rest where no record begins. The pass for whole packages walks each of them
// first; the ordinary pass turns each down for the same reason as when it walks alone, and
// without reading them all again.
TEST(GarbageScan, HeadersAtEveryClusterAreTurnedDownOnceReadOnce) {
  constexpr std::uint64_t kClusterBytes = 4096;
  test::ImageBuilder img(kSectors);
  img.fillRandom(0, kSectors * 512, 5);
  std::mt19937 rng(5);
  for (std::uint64_t at = 0; at < kSectors * 512; at += kClusterBytes) {
    img.putLe32(at, 0x04034B50).putLe16(at + 4, 20).putLe16(at + 6, 0).putLe16(at + 8, 8);
    img.putLe32(at + 18, static_cast<std::uint32_t>(rng() % (4 * kSectors * 512)));
    img.putLe32(at + 22, rng()).putLe16(at + 26, 19).putLe16(at + 28, 0).putText(at + 30, "[Content_Types].xml");
  }
  struct Outcome {
    std::vector<std::pair<std::int64_t, std::string>> rejected;
    std::size_t reads = 0;
  };
  auto scan = [&](bool wholeFilePass) {
    test::TempDir out;
    ScanState state;
    std::unique_ptr<MemorySource> source = img.source();
    const MemorySource* reads = source.get();
    openScanSource(state, std::move(source), "headers");
    test::RecordingFrontEnd frontEnd;
    ScanRequest request;
    request.outputFolder = out.path().string();
    request.endSector = state.geometry.lastSector;
    request.folderOnSource = [](const std::string&) { return false; };
    ScanHooks hooks = defaultScanHooks();
    if (!wholeFilePass) hooks.confirmedPassCarver = nullptr;
    const ScanSummary summary = runScan(state, frontEnd, request, hooks);
    Outcome o;
    for (const CandidateRejection& r : summary.rejections.documents) o.rejected.emplace_back(r.startSector, std::string(summary.rejections.why(r)));
    o.reads = reads->readCalls();
    return o;
  };
  const Outcome alone = scan(false);
  const Outcome both = scan(true);
  EXPECT_EQ(alone.rejected.size(), kSectors * 512 / kClusterBytes);
  EXPECT_EQ(both.rejected, alone.rejected);
  EXPECT_LE(both.reads, alone.reads * 11 / 10) << "reads with the pass for whole packages: " << both.reads << ", without: " << alone.reads;
}

// Stored ZIP entries chained cluster to cluster, the lower half up to a cluster of noise, the
// upper half up to the end of the range: the archive tracer takes and turns down what it does
// when it walks alone, and after the pass for whole packages it reads them no more than then.
TEST(GarbageScan, ChainedArchiveHeadersAreTracedAsWhenTracedAlone) {
  constexpr std::uint64_t kClusterBytes = 4096;
  constexpr std::uint64_t kBreak = kSectors * 512 / 2;
  test::ImageBuilder img(kSectors);
  img.fillRandom(0, kSectors * 512, 9);
  for (std::uint64_t at = 0; at < kSectors * 512; at += kClusterBytes) {
    if (at == kBreak) continue;
    img.putLe32(at, 0x04034B50).putLe16(at + 4, 20).putLe16(at + 6, 0).putLe16(at + 8, 0);
    img.putLe32(at + 18, kClusterBytes - 38).putLe32(at + 22, kClusterBytes - 38).putLe16(at + 26, 8).putLe16(at + 28, 0);
    img.putText(at + 30, "part.bin");
  }
  struct Outcome {
    std::map<std::pair<std::uint8_t, std::string>, std::uint64_t> counts;
    std::uint32_t recovered = 0;
    std::size_t reads = 0;
  };
  auto scan = [&](bool wholeFilePass) {
    test::TempDir out;
    ScanState state;
    std::unique_ptr<MemorySource> source = img.source();
    const MemorySource* reads = source.get();
    openScanSource(state, std::move(source), "chain");
    state.geometry.sectorsPerCluster = 8;
    state.geometry.clusterOffset = 0;
    test::RecordingFrontEnd frontEnd;
    ScanRequest request;
    request.outputFolder = out.path().string();
    request.endSector = state.geometry.lastSector;
    request.folderOnSource = [](const std::string&) { return false; };
    ScanHooks hooks = defaultScanHooks();
    if (!wholeFilePass) hooks.confirmedPassCarver = nullptr;
    const ScanSummary summary = runScan(state, frontEnd, request, hooks);
    return Outcome{summary.rejections.counts, summary.recovered, reads->readCalls()};
  };
  const Outcome alone = scan(false);
  const Outcome both = scan(true);
  EXPECT_FALSE(alone.counts.empty());
  EXPECT_EQ(both.counts, alone.counts);
  EXPECT_EQ(both.recovered, alone.recovered);
  EXPECT_LE(both.reads, alone.reads * 11 / 10) << "reads with the pass for whole packages: " << both.reads << ", without: " << alone.reads;
}

}  // namespace
}  // namespace vellumark
