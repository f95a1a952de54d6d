// The picture carvers on real pictures made at test time, on the thumbnail rules, and on
// damaged and hostile headers.

#include <gtest/gtest.h>

#include "carvers/carver_registry.h"
#include "carvers/jpeg_validation.h"
#include "scan/sector_classifier.h"
#include "support/carve_setup.h"
#include "support/image_builder.h"
#include "support/test_pictures.h"

namespace vellumark {
namespace {

using test::CarveSetup;
using test::ImageBuilder;
using Picture = std::vector<std::uint8_t>;

constexpr std::uint32_t kSpc = 8;

struct Traced {
  std::int64_t first = -1;   // first and last claimed sector; -1 when nothing was claimed
  std::int64_t last = -1;
  std::int64_t count = 0;
};

// Puts the picture at sector `at` of an image of noise (8 sectors per cluster), carves it
// and reports what was claimed.
Traced trace(const Picture& picture, std::uint32_t bps = 512, std::int64_t at = 8, std::int64_t spare = 64,
             const ThumbnailRules& rules = {}) {
  const std::uint64_t sectors = static_cast<std::uint64_t>(at + spare) + (picture.size() + bps - 1) / bps;
  ImageBuilder image(sectors, bps);
  image.fillRandom(0, sectors * bps, 99).putBytes(static_cast<std::uint64_t>(at) * bps, picture);
  CarveSetup setup(image.bytes(), bps, "");
  setup.state.geometry.sectorsPerCluster = kSpc;
  setup.state.thumbnailRules = rules;
  const std::uint8_t code = classifySector(picture);
  (mainPassCarver(code) ? mainPassCarver(code) : finalSweepCarver(code))(setup.ctx, at * bps);
  Traced t;
  for (std::int64_t s = 0; s < setup.state.usedSectorMap.sectorCount(); ++s) {
    if (!setup.state.usedSectorMap.isSectorUsed(s)) continue;
    if (t.first < 0) t.first = s;
    t.last = s;
    ++t.count;
  }
  return t;
}

// Traced exactly: from its first sector through the sector of its last byte, then the rest
// of that cluster, nothing else.
void expectTracedExactly(const Picture& p, std::uint32_t bps) {
  const Traced t = trace(p, bps);
  const std::int64_t lastByteSector = 8 + static_cast<std::int64_t>((p.size() - 1) / bps);
  const std::int64_t clusterEnd = (lastByteSector / kSpc + 1) * kSpc - 1;
  EXPECT_EQ(t.first, 8);
  EXPECT_EQ(t.last, clusterEnd) << "last byte in sector " << lastByteSector;
  EXPECT_EQ(t.count, clusterEnd - 8 + 1);
}

TEST(PictureCarvers, RealPicturesAreTracedToTheSectorOfTheirLastByte) {
  if (!test::haveConvert()) GTEST_SKIP() << "ImageMagick is not installed";
  test::TempDir dir;
  for (const test::TestPicture& p : test::makeTestPictures(dir.path())) {
    SCOPED_TRACE(p.name);
    ASSERT_GT(p.bytes.size(), 1000u);
    expectTracedExactly(p.bytes, 512);
    expectTracedExactly(p.bytes, 4096);
  }
}

TEST(JpegCarver, ThumbnailsAreReleasedAndUndecodableImagesKeepTheirSectors) {
  if (!test::haveConvert()) GTEST_SKIP() << "ImageMagick is not installed";
  test::TempDir dir;
  const Picture jpeg = test::convertPicture(dir.path(), "-seed 5 -size 160x120 plasma:fractal -quality 90", "small.jpg");
  ThumbnailRules listed;
  listed.pixelCounts = {307200, 160 * 120};
  EXPECT_EQ(trace(jpeg, 512, 8, 64, listed).count, 0) << "a listed size is a thumbnail";
  ThumbnailRules limit;
  limit.pixelLimit = 160 * 120;
  EXPECT_EQ(trace(jpeg, 512, 8, 64, limit).count, 0) << "at the limit is a thumbnail";
  limit.pixelLimit = 160 * 120 - 1;
  EXPECT_GT(trace(jpeg, 512, 8, 64, limit).count, 0);

  // A damaged frame or Huffman table is fatal to the decoder: the sectors stay claimed.
  const auto find = [&](std::uint8_t marker) {
    for (std::size_t i = 2; i + 1 < jpeg.size(); ++i)
      if (jpeg[i] == 0xFF && jpeg[i + 1] == marker) return i;
    return std::size_t{0};
  };
  Picture badTable = jpeg;
  std::fill_n(badTable.begin() + static_cast<std::ptrdiff_t>(find(0xC4) + 5), 16, 0xFF);  // code counts overflow
  Picture badFrame = jpeg;
  badFrame[find(0xC0) + 9] = 7;  // seven components in a frame of three
  for (const Picture& bad : {badTable, badFrame}) {
    EXPECT_FALSE(validateJpeg(bad));
    EXPECT_EQ(trace(bad, 512, 8, 64, listed).count, trace(jpeg).count);
  }

  // A scan cut short before its end marker is tolerated (data ending early is a warning),
  // and bytes that are not JPEG at all fail, without an exit or a throw.
  Picture cut(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(jpeg.size() / 2));
  cut.insert(cut.end(), {0xFF, 0xD9});
  EXPECT_TRUE(validateJpeg(cut));
  EXPECT_GT(trace(cut).count, 0) << "with no thumbnail rules every traced JPEG keeps its sectors";
  EXPECT_FALSE(validateJpeg(Picture(jpeg.begin(), jpeg.begin() + 100)));
  EXPECT_FALSE(validateJpeg(Picture(5000, 0xFF)));
  // A header that declares 65,000 x 65,000 pixels over a few KiB: no minutes of padding.
  Picture huge = jpeg;
  for (std::size_t at : {find(0xC0) + 5, find(0xC0) + 7}) {
    huge[at] = 0xFD;
    huge[at + 1] = 0xE8;
  }
  const auto hugeSize = validateJpeg(huge);
  ASSERT_TRUE(hugeSize);
  EXPECT_EQ(hugeSize->width, 65000u);
  const auto size = validateJpeg(jpeg, JpegDecodeScale::Full);
  ASSERT_TRUE(size);
  EXPECT_EQ(size->width, 160u);
  EXPECT_EQ(size->height, 120u);
}

// SOI, one segment, SOS, then scan bytes ending in `tail`.
Picture jpegWithTail(std::initializer_list<std::uint8_t> tail, std::uint16_t segmentLength = 16) {
  Picture p = {0xFF, 0xD8, 0xFF, 0xE0, static_cast<std::uint8_t>(segmentLength >> 8), static_cast<std::uint8_t>(segmentLength)};
  p.resize(p.size() + (segmentLength > 2 ? segmentLength - 2 : 0), 0x11);
  p.insert(p.end(), {0xFF, 0xDA, 0x00, 0x08});
  p.resize(p.size() + 490, 0x22);
  p.insert(p.end(), tail);
  return p;
}

TEST(JpegCarver, EndMarkerSearch) {
  // An FF at the end of a sector and D9 at the start of the next are found as an end (the
  // picture does not decode, so it keeps its sectors: two plus the cluster's rest).
  Picture across = jpegWithTail({});
  across.resize(1023, 0x33);
  across.insert(across.end(), {0xFF, 0xD9});
  EXPECT_EQ(trace(across).count, 8);
  // FF FF D9 ends the file; FF 00 D9 does not, and with no end before the range ends,
  // nothing stays claimed.
  EXPECT_EQ(trace(jpegWithTail({0xFF, 0xFF, 0xD9})).count, 8);
  EXPECT_EQ(trace(jpegWithTail({0xFF, 0x00, 0xD9}), 512, 8, 3).count, 0);
  // Segment lengths 0, 1 and 2 fail at once and release the start sector.
  for (std::uint16_t length : {0, 1, 2}) EXPECT_EQ(trace(jpegWithTail({0xFF, 0xD9}, length)).count, 0) << length;
}

Picture bmpDeclaring(std::uint32_t size) { return ImageBuilder(1).putText(0, "BM").putLe32(2, size).bytes(); }

TEST(BmpCarver, ClaimsItsDeclaredSizeOrOnlyItsFirstCluster) {
  EXPECT_EQ(trace(bmpDeclaring(1'000'000), 512, 8, 2000).count, 1960);  // 1954 sectors, then to the cluster's end
  EXPECT_EQ(trace(bmpDeclaring(57)).count, 8);
  EXPECT_EQ(trace(bmpDeclaring(104'857'601)).count, 8);
  EXPECT_EQ(trace(bmpDeclaring(1'000'000), 512, 8, 100).count, 101) << "claims up to the end of the range";
}

Picture pngOf(const std::vector<Picture>& chunks) {
  Picture p = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  for (const Picture& c : chunks) p.insert(p.end(), c.begin(), c.end());
  return p;
}

TEST(PngCarver, ChunkTypesCrcsAndLengths) {
  const Picture ihdr = test::pngChunk("IHDR", Picture(13, 1));
  const Picture iend = test::pngChunk("IEND", {});
  EXPECT_EQ(trace(pngOf({ihdr, test::pngChunk("IDAT", Picture(100, 2)), iend})).count, 8);
  EXPECT_EQ(trace(pngOf({ihdr, test::pngChunk("zzAb", Picture(10, 3)), iend})).count, 8) << "any four letters";
  EXPECT_EQ(trace(pngOf({ihdr, test::pngChunk("ab1d", Picture(10, 3)), iend})).count, 0);
  Picture badCrc = pngOf({ihdr, test::pngChunk("IDAT", Picture(100, 2)), iend});
  badCrc[8 + 25 + 8 + 50] ^= 1;
  EXPECT_EQ(trace(badCrc).count, 0);
  // The limit on one chunk counts data and CRC.
  EXPECT_GT(trace(pngOf({ihdr, test::pngChunk("IDAT", Picture(999'996, 4)), iend}), 512, 8, 8).count, 1900);
  EXPECT_EQ(trace(pngOf({ihdr, test::pngChunk("IDAT", Picture(999'997, 4)), iend}), 512, 8, 8).count, 0);
  // Lengths near 2^32 fail, and an IEND whose CRC lies past the range still ends the file.
  Picture huge = pngOf({ihdr, test::pngChunk("IDAT", Picture(10, 2)), iend});
  for (int i = 0; i < 4; ++i) huge[8 + 25 + i] = 0xFF;
  EXPECT_EQ(trace(huge).count, 0);
  // IEND right at the range's end, its CRC beyond it; the filler before it is one chunk.
  const Picture filler = test::pngChunk("ffFF", Picture(512 * 3 - 8 - 33 - 12, 5));
  Picture edge = pngOf({ihdr, filler});
  edge.insert(edge.end(), {0, 0, 0, 0, 'I', 'E', 'N', 'D'});
  ASSERT_EQ(edge.size(), 512u * 3);
  EXPECT_EQ(trace(edge, 512, 8, 0).count, 3);
}

// A little-endian TIFF over the given directory entries (tag, type, count, value), at 8.
Picture tiffOf(const std::vector<std::array<std::uint32_t, 4>>& entries, std::uint32_t next = 0, std::size_t size = 600) {
  ImageBuilder b(0);
  b.putText(0, "II").putLe16(2, 42).putLe32(4, 8).putLe16(8, static_cast<std::uint16_t>(entries.size()));
  std::uint64_t at = 10;
  for (const auto& e : entries) {
    b.putLe16(at, static_cast<std::uint16_t>(e[0])).putLe16(at + 2, static_cast<std::uint16_t>(e[1]));
    b.putLe32(at + 4, e[2]).putLe32(at + 8, e[3]);
    at += 12;
  }
  b.putLe32(at, next);
  Picture p = b.bytes();
  p.resize(std::max(p.size(), size), 0);
  return p;
}

TEST(TiffCarver, StripsTypesAndHostileDirectories) {
  // One strip of 1,000 bytes at offset 2,000: claimed through the strip's last byte.
  EXPECT_EQ(trace(tiffOf({{273, 4, 1, 2000}, {279, 4, 1, 1000}})).last, 8 + 2999 / 512 + 2);
  EXPECT_EQ(trace(tiffOf({{273, 4, 1, 2000}, {279, 4, 1, 1000}, {256, 0, 1, 1}})).count, 0) << "field type 0";
  EXPECT_EQ(trace(tiffOf({{256, 21, 1, 1}})).count, 0) << "field type 21";
  // Loops: the chain back to itself, a sub-directory naming its parent.
  EXPECT_EQ(trace(tiffOf({{256, 3, 1, 1}}, 8)).count, 0);
  EXPECT_EQ(trace(tiffOf({{330, 4, 1, 8}})).count, 0);
  // A chain of 1,001 directories fails; a chain of 3 is fine.
  const auto chain = [](std::uint32_t n) {
    ImageBuilder b(0);
    b.putText(0, "II").putLe16(2, 42).putLe32(4, 8);
    for (std::uint32_t i = 0, at = 8; i < n; ++i, at += 18)   // one entry each: tag 1, SHORT, count 1
      b.putLe16(at, 1).putLe16(at + 2, 1).putLe16(at + 4, 3).putLe32(at + 6, 1).putLe32(at + 14, i + 1 < n ? at + 18 : 0);
    return b.bytes();
  };
  EXPECT_GT(trace(chain(3)).count, 0);
  EXPECT_EQ(trace(chain(1001)).count, 0);
  // A huge strip count, a strip beyond 200 MiB, and tag 280 beyond it.
  EXPECT_EQ(trace(tiffOf({{273, 4, 0x40000000, 100}, {279, 4, 0x40000000, 100}})).count, 0);
  EXPECT_EQ(trace(tiffOf({{273, 4, 1, 209'715'000}, {279, 4, 1, 1000}})).count, 0);
  EXPECT_EQ(trace(tiffOf({{273, 4, 1, 0xFFFFFFFF}, {280, 4, 1, 209'715'201}})).count, 0);
}

TEST(CameraRawCarvers, X3fPointerAndRafBlocks) {
  ImageBuilder x3f(8);
  x3f.putText(0, "FOVb").putText(2000, "SECd").putLe32(2036, 2000);   // 2 entries: the pointer 36 bytes on
  EXPECT_EQ(trace(x3f.bytes()).last, 15) << "sector of the pointer (11), then the cluster's rest";

  ImageBuilder raf(1);
  raf.putText(0, "FUJIFILMCCD-RAW ").putBe32(100, 1000).putBe32(104, 4000);   // raw block ends at 5,000
  raf.putBe32(84, 148).putBe32(128, 6000).putBe32(132, 6000);                  // second block at 12,000
  EXPECT_EQ(trace(raf.bytes()).last, 8 + 23);
  EXPECT_EQ(trace(raf.putBe32(84, 0).bytes()).last, 8 + 15) << "raw block only: file sector 9, then the cluster's rest";
  EXPECT_EQ(trace(raf.putBe32(104, 209'715'200).bytes()).count, 0);
}

}  // namespace
}  // namespace vellumark
