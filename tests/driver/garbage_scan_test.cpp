// Whole scans over images of garbage sprinkled with the signatures that start the carvers:
// damaged compound files, cut and corrupted ZIP packages, file-system records. Whatever the
// bytes, a scan ends, writes only whole files into the output folder and never crashes (this
// program also runs under AddressSanitizer and UBSan in CI).

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "driver/scan_driver.h"
#include "support/carve_setup.h"
#include "support/compound_writer.h"
#include "support/image_builder.h"
#include "support/recording_front_end.h"
#include "support/test_pictures.h"

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

// One scan of a whole image with the given hooks, as the garbage tests below run it: the
// summary, and how many reads the source was asked for. Clusters of 8 sectors when asked.
struct ImageScan {
  ScanSummary summary;
  std::size_t reads = 0;
  // The document candidates turned down, each with why.
  [[nodiscard]] std::vector<std::pair<std::int64_t, std::string>> rejected() const {
    std::vector<std::pair<std::int64_t, std::string>> out;
    for (const CandidateRejection& r : summary.rejections.documents) out.emplace_back(r.startSector, std::string(summary.rejections.why(r)));
    return out;
  }
};

ImageScan scanImage(const test::ImageBuilder& image, const ScanHooks& hooks, bool clusters8, std::int64_t badSector = -1) {
  test::TempDir out;
  ScanState state;
  std::unique_ptr<MemorySource> source = image.source();
  if (badSector >= 0) source->failReadsIn(static_cast<std::uint64_t>(badSector) * 512, 512);
  const MemorySource* reads = source.get();
  openScanSource(state, std::move(source), "image");
  if (clusters8) {
    state.geometry.sectorsPerCluster = 8;
    state.geometry.clusterOffset = 0;
  }
  test::RecordingFrontEnd frontEnd;
  ScanRequest request;
  request.outputFolder = out.path().string();
  request.endSector = state.geometry.lastSector;
  request.folderOnSource = [](const std::string&) { return false; };
  ImageScan result;
  result.summary = runScan(state, frontEnd, request, hooks);
  result.reads = reads->readCalls();
  return result;
}

// The program's hooks, less the pass for whole files or less what the first pass notes.
ScanHooks hooksWith(bool wholeFilePass, bool notes) {
  ScanHooks hooks = defaultScanHooks();
  if (!wholeFilePass) hooks.confirmedPassCarver = nullptr;
  if (!notes) hooks.candidateNote = nullptr;
  return hooks;
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
// without reading them all again. Alone, it turns them down from what the first pass noted
// of each header and kept of the bytes where each first record ends; so does the pass for
// whole packages, where the note also says that the first record's data fails.
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
  // The same with a package whose records do follow one another, its end record broken: the
  // ordinary walk has to follow it to learn that.
  test::ImageBuilder withPackage = img;
  std::vector<std::uint8_t> package =
      test::makeZip({{"[Content_Types].xml", std::string(1500, 't')}, {"word/document.xml", std::string(3000, 'x')}});
  package[package.size() - 10] ^= 0x5A;
  withPackage.putBytes(64 * kClusterBytes, package);
  // Alone and without what the first pass noted, the ordinary walk reads each candidate once.
  const ImageScan alone = scanImage(img, hooksWith(false, false), false);
  const ImageScan both = scanImage(img, hooksWith(true, true), false);
  const ImageScan noted = scanImage(img, hooksWith(false, true), false);
  EXPECT_EQ(alone.rejected().size(), kSectors * 512 / kClusterBytes);
  EXPECT_EQ(both.rejected(), alone.rejected());
  EXPECT_EQ(noted.rejected(), alone.rejected());
  EXPECT_LT(noted.reads, alone.reads / 2) << "reads with the notes: " << noted.reads << ", without: " << alone.reads;
  const ImageScan packageAlone = scanImage(withPackage, hooksWith(false, false), false);
  EXPECT_EQ(packageAlone.rejected().size(), kSectors * 512 / kClusterBytes - 2);
  EXPECT_EQ(scanImage(withPackage, hooksWith(false, true), false).rejected(), packageAlone.rejected());
  EXPECT_EQ(scanImage(withPackage, hooksWith(true, true), false).rejected(), packageAlone.rejected());
  // Nearly every header's deflate data fails within its first sector: the pass for whole
  // packages turns those down from the notes too, unread.
  EXPECT_LT(both.reads, alone.reads / 2) << "reads with both passes and the notes: " << both.reads << ", alone: " << alone.reads;
}

// Stored ZIP entries named `name` chained cluster to cluster over noise, each reaching the
// next cluster's header, but for a cluster of noise halfway: the lower half's chain runs into
// it, the upper half's past the end of the range. Their sizes agree, or are at odds.
test::ImageBuilder chainedStoredHeaders(std::string_view name, bool sizesAgree, std::uint32_t seed) {
  constexpr std::uint64_t kClusterBytes = 4096;
  test::ImageBuilder img(kSectors);
  img.fillRandom(0, kSectors * 512, seed);
  const auto size = static_cast<std::uint32_t>(kClusterBytes - 30 - name.size());
  for (std::uint64_t at = 0; at < kSectors * 512; at += kClusterBytes) {
    if (at == kSectors * 512 / 2) continue;
    img.putLe32(at, 0x04034B50).putLe16(at + 4, 20).putLe16(at + 6, 0).putLe16(at + 8, 0);
    img.putLe32(at + 18, size).putLe32(at + 22, sizesAgree ? size : 7);
    img.putLe16(at + 26, static_cast<std::uint16_t>(name.size())).putLe16(at + 28, 0).putText(at + 30, name);
  }
  return img;
}

// Stored ZIP entries chained cluster to cluster, the lower half up to a cluster of noise, the
// upper half up to the end of the range: the archive tracer takes and turns down what it does
// when it walks alone, and after the pass for whole packages it reads them no more than then.
TEST(GarbageScan, ChainedArchiveHeadersAreTracedAsWhenTracedAlone) {
  const test::ImageBuilder img = chainedStoredHeaders("part.bin", true, 9);
  const ImageScan alone = scanImage(img, hooksWith(false, true), true);
  const ImageScan both = scanImage(img, hooksWith(true, true), true);
  EXPECT_FALSE(alone.summary.rejections.counts.empty());
  EXPECT_EQ(both.summary.rejections.counts, alone.summary.rejections.counts);
  EXPECT_EQ(both.summary.recovered, alone.summary.recovered);
  EXPECT_LE(both.reads, alone.reads * 11 / 10) << "reads with the pass for whole packages: " << both.reads << ", without: " << alone.reads;
}

// Package headers chained cluster to cluster, their stored sizes at odds (so that no search
// can take them), the lower half up to a cluster of noise, the upper half up to the end of the
// range. Each is turned down as its walks would turn it down, and, below the first few of
// each chain, from what the first pass noted and what the walks above learnt, unread.
TEST(GarbageScan, ChainedPackageHeadersAreToldByTheWalksAboveThem) {
  constexpr std::uint64_t kClusterBytes = 4096;
  const test::ImageBuilder img = chainedStoredHeaders("[Content_Types].xml", false, 12);
  const ImageScan plain = scanImage(img, hooksWith(true, false), false);
  const ImageScan noted = scanImage(img, hooksWith(true, true), false);
  std::set<std::string> why;
  for (const auto& [sector, reason] : plain.rejected()) why.insert(reason);
  EXPECT_EQ(plain.rejected().size(), kSectors * 512 / kClusterBytes - 1);
  EXPECT_EQ(why.size(), 2u);
  EXPECT_EQ(noted.rejected(), plain.rejected());
  EXPECT_LT(noted.reads, plain.reads / 2) << "reads with the notes: " << noted.reads << ", without: " << plain.reads;
  // A sector inside an entry of the lower chain that cannot be read: the walks that would
  // read it are run, and meet it as they do without the notes.
  const ImageScan plainBad = scanImage(img, hooksWith(true, false), false, 1003);
  const ImageScan notedBad = scanImage(img, hooksWith(true, true), false, 1003);
  EXPECT_EQ(plainBad.summary.sectorsUnreadable, 1);
  EXPECT_EQ(notedBad.summary.sectorsUnreadable, plainBad.summary.sectorsUnreadable);
  EXPECT_EQ(notedBad.rejected(), plainBad.rejected());
  EXPECT_EQ(notedBad.summary.rejections.abandoned.size(), plainBad.summary.rejections.abandoned.size());
}

// Package headers at every cluster of 8 sectors but where a picture lies. Below it, each first
// record ends 2 KiB into a cluster of noise, or, for those that reach past the picture, once
// the walk steps over the picture's clusters, where a second header stands 2 KiB into each
// cluster above it. Above it, records run past the range. Each is turned down as its walks
// would turn it down, the lower ones looking where the walk would look, not where the first
// pass saw the record end; with a sector below the picture unreadable too.
TEST(GarbageScan, PackageHeadersReachingPastAPictureLookWhereTheirWalksWould) {
  constexpr std::uint64_t kClusterBytes = 4096;
  constexpr std::uint64_t kPictureAt = 100 * kClusterBytes;
  test::ImageBuilder img(kSectors);
  img.fillRandom(0, kSectors * 512, 8);
  std::vector<std::uint8_t> png{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  for (const auto& chunk : {test::pngChunk("IHDR", std::vector<std::uint8_t>(13, 1)),
                            test::pngChunk("IDAT", std::vector<std::uint8_t>(20 * 512 - 57, 7)), test::pngChunk("IEND", {})})
    png.insert(png.end(), chunk.begin(), chunk.end());
  img.putBytes(kPictureAt, png);
  const auto header = [&img](std::uint64_t at, std::uint32_t record, std::uint32_t crc) {
    img.putLe32(at, 0x04034B50).putLe16(at + 4, 20).putLe16(at + 6, 0).putLe16(at + 8, 8);
    img.putLe32(at + 18, record - 49).putLe32(at + 22, crc).putLe16(at + 26, 19).putLe16(at + 28, 0);
    img.putText(at + 30, "[Content_Types].xml");
  };
  std::mt19937 rng(8);
  for (std::uint64_t at = 0; at < kPictureAt; at += kClusterBytes)
    header(at, static_cast<std::uint32_t>((20 + rng() % 20) * kClusterBytes + 2048), rng());
  for (std::uint64_t at = kPictureAt + 3 * kClusterBytes; at < kSectors * 512; at += kClusterBytes) {
    header(at, 8 << 20, rng());
    header(at + 2048, 8 << 20, rng());
  }
  const ImageScan plain = scanImage(img, hooksWith(true, false), false);
  const ImageScan noted = scanImage(img, hooksWith(true, true), false);
  std::set<std::string> why;
  for (const auto& [sector, reason] : plain.rejected())
    if (sector < static_cast<std::int64_t>(kPictureAt / 512)) why.insert(reason);
  EXPECT_EQ(why.size(), 2u);
  EXPECT_EQ(noted.rejected(), plain.rejected());
  EXPECT_LT(noted.reads, plain.reads) << "reads with the notes: " << noted.reads << ", without: " << plain.reads;
  const std::int64_t bad = kPictureAt / 512 - 3;
  const ImageScan plainBad = scanImage(img, hooksWith(true, false), false, bad);
  const ImageScan notedBad = scanImage(img, hooksWith(true, true), false, bad);
  EXPECT_EQ(notedBad.summary.sectorsUnreadable, plainBad.summary.sectorsUnreadable);
  EXPECT_EQ(notedBad.rejected(), plainBad.rejected());
}

// A compound-file header at every cluster but where a whole document lies, each listing one
// FAT sector: far ahead within the range, past its end, or past the sector limit. The
// document claims its sectors when it is carved, so the FAT sectors of some headers below it
// drop out of reach. The headers the scan noted are turned down as the carve of each would
// turn them down, and most without being read again.
TEST(GarbageScan, CompoundHeadersWhoseFatIsOutOfReachAreTurnedDownUnread) {
  constexpr std::uint64_t kClusterBytes = 4096;
  const auto doc = test::makeCompoundFile({"Root Entry", "WordDocument", "1Table"}, 12);
  const std::uint64_t docAt = kSectors * 512 / 2;
  const std::uint64_t docEnd = (docAt + doc.size() + kClusterBytes - 1) / kClusterBytes * kClusterBytes;
  test::ImageBuilder img(kSectors);
  img.fillRandom(0, kSectors * 512, 3);
  img.putBytes(docAt, doc);
  std::mt19937 rng(3);
  for (std::uint64_t at = 0; at < kSectors * 512; at += kClusterBytes) {
    if (at >= docAt && at < docEnd) continue;
    const auto dir = static_cast<std::uint32_t>(1 + rng() % 64);
    const std::uint64_t left = (kSectors * 512 - at) / 512;
    const std::uint32_t pick = rng() % 8;
    img.putBytes(at, test::compoundHeader(static_cast<std::uint32_t>(pick == 0 ? 500'000 : pick < 7 ? left - 2 + rng() % 4 : rng() % left), dir));
  }
  const ImageScan plain = scanImage(img, hooksWith(true, false), true);
  const ImageScan noted = scanImage(img, hooksWith(true, true), true);
  EXPECT_EQ(plain.summary.recovered, 1u);
  EXPECT_EQ(noted.rejected(), plain.rejected());
  EXPECT_EQ(noted.summary.recovered, plain.summary.recovered);
  EXPECT_LT(noted.reads, plain.reads) << "reads with the notes: " << noted.reads << ", without: " << plain.reads;
}

// A compound-file header at every cluster but where a whole document lies, each listing one
// FAT sector within reach, of noise, so that its first directory link leaves the file. The
// FAT sectors of the headers just below the document are placed so that, once the carve
// steps over the document's sectors, they land on a FAT whose chains all end: those headers
// are traced as files of no application, and their sectors taken. Each header is taken or
// turned down as its carve decides, looking where the carve would look (one, above the
// document, at a FAT that ends its first directory sector's chain); with one header's first
// directory sector unreadable too.
TEST(GarbageScan, CompoundHeadersWhoseFatIsNoiseAreTurnedDownAsTheirCarvesWould) {
  constexpr std::uint64_t kClusterBytes = 4096;
  const auto doc = test::makeCompoundFile({"Root Entry", "WordDocument", "1Table"}, 12);
  const std::uint64_t docAt = 200 * kClusterBytes;
  const std::uint64_t docEnd = docAt + 2 * kClusterBytes;
  // The FAT of ended chains, and the sector that many below it where a carve that did not
  // step over the document would look instead.
  const std::uint64_t endedFat = 300 * 8 + 3;
  const std::uint64_t docSectors = (docEnd - docAt) / 512;
  const std::uint64_t kBadDirectoryAt = 400 * kClusterBytes;
  // One whose FAT, of noise, ends the first directory sector's chain.
  const std::uint64_t kEndedLinkAt = 450 * kClusterBytes;
  test::ImageBuilder img(kSectors);
  img.fillRandom(0, kSectors * 512, 6);
  img.putBytes(docAt, doc);
  std::vector<std::uint8_t> ended(512, 0xFF);
  for (std::size_t i = 0; i < ended.size(); i += 4) ended[i] = 0xFE;
  img.putBytes(endedFat * 512, ended);
  std::mt19937 rng(6);
  std::size_t headers = 0;
  for (std::uint64_t at = 0; at < kSectors * 512; at += kClusterBytes) {
    if (at >= docAt && at < docEnd) continue;
    const std::uint64_t s = at / 512;
    const std::uint64_t left = kSectors - s;
    // Compound sector n lies at s + 1 + n, and docSectors further once the document is taken.
    const auto fat = static_cast<std::uint32_t>(at < docAt && at + 4 * kClusterBytes >= docAt ? endedFat - docSectors - s - 1
                                                                                              : rng() % (left - 2));
    const auto dir = static_cast<std::uint32_t>(1 + rng() % 63);
    // One whose first directory sector is to be unreadable.
    img.putBytes(at, at == kBadDirectoryAt ? test::compoundHeader(100, 5) : at == kEndedLinkAt ? test::compoundHeader(102, 7) : test::compoundHeader(fat, dir));
    ++headers;
  }
  img.putLe32((kEndedLinkAt / 512 + 1 + 102) * 512 + 4 * 7, 0xFFFFFFFE);
  const ImageScan plain = scanImage(img, hooksWith(true, false), false);
  const ImageScan noted = scanImage(img, hooksWith(true, true), false);
  std::set<std::string> why;
  for (const auto& [sector, reason] : plain.rejected()) why.insert(reason);
  EXPECT_EQ(plain.summary.recovered, 1u);
  for (const auto& [sector, reason] : plain.rejected()) EXPECT_NE(sector, static_cast<std::int64_t>(kEndedLinkAt / 512)) << reason;
  EXPECT_TRUE(why.count("directory sector beyond the file"));
  EXPECT_LT(plain.rejected().size(), headers);  // some are traced
  EXPECT_EQ(noted.rejected(), plain.rejected());
  EXPECT_EQ(noted.summary.recovered, plain.summary.recovered);
  EXPECT_LT(noted.reads, plain.reads) << "reads with the notes: " << noted.reads << ", without: " << plain.reads;
  const auto bad = static_cast<std::int64_t>(kBadDirectoryAt / 512 + 1 + 5);
  const ImageScan plainBad = scanImage(img, hooksWith(true, false), false, bad);
  const ImageScan notedBad = scanImage(img, hooksWith(true, true), false, bad);
  EXPECT_EQ(plainBad.summary.rejections.abandoned.size(), 1u);
  EXPECT_EQ(plainBad.summary.rejections.abandoned.size(), 1u);
  EXPECT_EQ(notedBad.rejected(), plainBad.rejected());
  EXPECT_EQ(notedBad.summary.rejections.abandoned.size(), plainBad.summary.rejections.abandoned.size());
}

// JPEG and PNG signatures at every cluster, their first structures broken within the first
// sector, with a whole picture of each kind among them: each is taken or turned down as its
// carve decides, and the broken ones without being read again.
TEST(GarbageScan, PictureHeadersBrokenInTheirFirstSectorAreTurnedDownUnread) {
  constexpr std::uint64_t kClusterBytes = 4096;
  test::ImageBuilder img(kSectors);
  img.fillRandom(0, kSectors * 512, 4);
  const std::vector<std::uint8_t> jfif{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00};
  const std::vector<std::uint8_t> pngHead{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
  for (std::uint64_t at = 0; at < kSectors * 512; at += kClusterBytes) img.putBytes(at, (at / kClusterBytes) % 2 ? jfif : pngHead);
  std::vector<std::uint8_t> png(pngHead.begin(), pngHead.begin() + 8);
  for (const auto& chunk : {test::pngChunk("IHDR", std::vector<std::uint8_t>(13, 1)), test::pngChunk("IDAT", std::vector<std::uint8_t>(700, 7)),
                            test::pngChunk("IEND", {})})
    png.insert(png.end(), chunk.begin(), chunk.end());
  img.putBytes(40 * kClusterBytes, png);
  const std::vector<std::uint8_t> jpeg{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0x00, 0x00, 0xFF, 0xDA, 0x00, 0x04, 0x00, 0x00, 0x12, 0x34, 0xFF, 0xD9};
  img.putBytes(81 * kClusterBytes, jpeg);
  const ImageScan plain = scanImage(img, hooksWith(true, false), true);
  const ImageScan noted = scanImage(img, hooksWith(true, true), true);
  std::uint64_t turnedDown = 0;
  for (const auto& [what, count] : plain.summary.rejections.counts) turnedDown += count;
  EXPECT_EQ(turnedDown, kSectors * 512 / kClusterBytes - 2);
  EXPECT_EQ(noted.summary.rejections.counts, plain.summary.rejections.counts);
  EXPECT_LT(noted.reads, plain.reads / 2);
}

}  // namespace
}  // namespace vellumark
