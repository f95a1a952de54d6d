// The tracing carvers of video and sound files: real files from ffmpeg traced to the sector
// holding their last byte, the window walk's corner cases on built streams, and hostile
// sizes that must neither hang nor crash.

#include <gtest/gtest.h>

#include <array>

#include "carvers/asf_carvers.h"
#include "carvers/carver_registry.h"
#include "carvers/iso_media_carver.h"
#include "carvers/mpeg_carvers.h"
#include "carvers/riff_carver.h"
#include "scan/sector_classifier.h"
#include "scan/type_codes.h"
#include "support/carve_setup.h"
#include "support/image_builder.h"
#include "support/media_files.h"

namespace vellumark {
namespace {

using test::CarveSetup;
using test::ImageBuilder;

constexpr std::uint64_t kStart = 8;  // sector where every built file begins

std::vector<std::int64_t> usedSectors(const ScanState& state) {
  std::vector<std::int64_t> used;
  for (std::int64_t s = 0; s < state.usedSectorMap.sectorCount(); ++s)
    if (state.usedSectorMap.isSectorUsed(s)) used.push_back(s);
  return used;
}

std::vector<std::int64_t> sectorRun(std::int64_t first, std::int64_t count) {
  std::vector<std::int64_t> r;
  for (std::int64_t i = 0; i < count; ++i) r.push_back(first + i);
  return r;
}

std::int64_t sectorsFor(std::uint64_t bytes, std::uint32_t bps) { return static_cast<std::int64_t>((bytes + bps - 1) / bps); }

// The file at sector kStart of an image with unrelated bytes after it.
CarveSetup setupWith(const std::vector<std::uint8_t>& file, std::uint32_t bps, std::uint64_t trailingBytes = 65536) {
  ImageBuilder image(kStart + static_cast<std::uint64_t>(sectorsFor(file.size() + trailingBytes, bps)), bps);
  image.fillRandom(0, image.bytes().size(), 7).putBytes(kStart * bps, file);
  return CarveSetup(image.bytes(), bps, "");
}

void carveAt(CarveSetup& setup, CarverFn carver) { carver(setup.ctx, static_cast<std::int64_t>(kStart) * setup.state.geometry.bytesPerSector); }

// ---- real files --------------------------------------------------------------------------

class RealMedia : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(RealMedia, EachFileIsTracedToTheSectorHoldingItsLastByte) {
  const auto& files = test::ffmpegMediaFiles();
  if (files.empty()) GTEST_SKIP() << "ffmpeg is not installed (scripts/install-deps.sh)";
  ASSERT_EQ(files.size(), 12u) << "an ffmpeg recipe failed";
  const std::uint32_t bps = GetParam();
  for (const test::MediaFile& f : files) {
    SCOPED_TRACE(f.name);
    for (std::uint32_t spc : {1u, 8u}) {
      CarveSetup setup = setupWith(f.bytes, bps);
      setup.state.geometry.sectorsPerCluster = spc;
      const std::uint8_t code = classifySector(std::span(setup.source->bytes()).subspan(kStart * bps, bps));
      ASSERT_EQ(code, f.typeCode);
      ASSERT_NE(mainPassCarver(code), nullptr);
      carveAt(setup, mainPassCarver(code));
      const std::int64_t sectors = sectorsFor(f.bytes.size(), bps);
      const std::int64_t withSlack = (sectors + spc - 1) / spc * spc;  // kStart is cluster-aligned
      EXPECT_EQ(usedSectors(setup.state), sectorRun(kStart, withSlack)) << spc << " sectors per cluster";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, RealMedia, ::testing::Values(512u, 4096u));

TEST(MediaCarvers, AClaimedStartSectorLeavesTheMapAsItWas) {
  const std::vector<std::uint8_t> riff{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
  for (CarverFn carver : {carveIsoMedia, carveRiff, carveMpegProgram, carveMpegTransport, carveAsfDeclared, carveAsfObjects}) {
    CarveSetup setup = setupWith(riff, 512);
    setup.state.usedSectorMap.markSector(kStart);
    const std::size_t reads = setup.source->readCalls();
    carveAt(setup, carver);
    EXPECT_EQ(setup.source->readCalls(), reads);
    EXPECT_EQ(usedSectors(setup.state), std::vector<std::int64_t>{kStart});
  }
}

// ---- ISO media ---------------------------------------------------------------------------

struct Box {
  std::string type;
  std::uint64_t size;
  bool large = false;  // 64-bit size form
};

std::vector<std::uint8_t> isoFile(const std::vector<Box>& boxes, std::uint64_t materialise = 1 << 20) {
  ImageBuilder b(0);
  std::uint64_t at = 0;
  b.putBe32(0, 24).putText(4, "ftypmp42");
  at = 24;
  for (const Box& box : boxes) {
    b.putBe32(at, box.large ? 1 : static_cast<std::uint32_t>(box.size)).putText(at + 4, box.type);
    if (box.large) b.putBe32(at + 8, static_cast<std::uint32_t>(box.size >> 32)).putBe32(at + 12, static_cast<std::uint32_t>(box.size));
    if (box.size > materialise || box.size < 16) break;
    b.fill(at + 16, box.size - 16, 0x55);  // a body that reads as no header
    at += box.size;
  }
  return b.bytes();
}

TEST(IsoMediaCarver, LargeBoxesAreClaimedUnreadAndTheWalkFollowsEveryHeader) {
  // ftyp, moov, a 10 MB mdat: only the headers' sectors are read.
  CarveSetup large = setupWith(isoFile({{"moov", 600}, {"mdat", 10'000'000}}), 512, 10'100'000);
  carveAt(large, carveIsoMedia);
  EXPECT_EQ(usedSectors(large.state), sectorRun(kStart, sectorsFor(24 + 600 + 10'000'000, 512)));
  EXPECT_LT(large.source->readCalls(), 8u);  // a few 64 KiB read-ahead windows

  // The 64-bit mdat header straddles sectors 1 and 2, so most of a sector of its body is
  // already held when the rest is claimed unread. Counting the body to claim from the box
  // start instead of from what is held would claim one sector too many and read the moov
  // header two bytes out of place.
  CarveSetup straddling = setupWith(isoFile({{"free", 996}, {"mdat", 1538, true}, {"moov", 100}}), 512);
  carveAt(straddling, carveIsoMedia);
  EXPECT_EQ(usedSectors(straddling.state), sectorRun(kStart, sectorsFor(24 + 996 + 1538 + 100, 512)));
}

TEST(IsoMediaCarver, BadSizesFailTheCarveOrEndTheWalkWithoutMovingBack) {
  auto bigFtyp = isoFile({{"moov", 600}});
  bigFtyp[2] = 1, bigFtyp[3] = 0;  // a file-type box of 256 bytes
  const std::uint64_t past = (std::uint64_t{1} << 63) - 1;
  const std::pair<std::vector<std::uint8_t>, std::int64_t> cases[] = {
      {bigFtyp, 0},
      {isoFile({{"mdat", 0xFFFFFFFF}}), 0},                  // runs past the scan range
      {isoFile({{"mdat", past, true}}), 0},                  // also, without overflowing
      {isoFile({{"moov", 600}, {"mdat", 1 << 20}}, 1000), 0},  // its tail is beyond the range
      {isoFile({{"moov", 1000}, {"mdat", 0, true}}), 2},     // 0, 2^63 and more end the file
      {isoFile({{"moov", 1000}, {"mdat", std::uint64_t{1} << 63, true}}), 2},
      {isoFile({{"moov", 1000}, {"mdat", ~std::uint64_t{0}, true}}), 2},
  };
  for (const auto& [file, sectors] : cases) {
    CarveSetup setup = setupWith(file, 512, 4096);
    carveAt(setup, carveIsoMedia);
    EXPECT_EQ(usedSectors(setup.state), sectorRun(kStart, sectors));
  }
}

// ---- RIFF --------------------------------------------------------------------------------

void putChunk(ImageBuilder& b, std::uint64_t at, std::string_view id, std::uint32_t size) { b.putText(at, id).putLe32(at + 4, size); }

TEST(RiffCarver, ChunksAreWalkedAndWhatWasReadBeyondIsGivenBack) {
  ImageBuilder b(0);
  b.putText(0, "RIFF").putLe32(4, 0).putText(8, "WAVE");
  putChunk(b, 12, "fmt ", 16);
  putChunk(b, 36, "data", 1'000'000);
  b.fill(36 + 1'000'007, 1, 0x11);
  CarveSetup setup = setupWith(b.bytes(), 512);
  carveAt(setup, carveRiff);
  EXPECT_EQ(usedSectors(setup.state), sectorRun(kStart, sectorsFor(12 + 24 + 1'000'008, 512)));
}

TEST(RiffCarver, ContinuationHeadersAndPadBytesAreFollowed) {
  ImageBuilder b(0);
  b.putText(0, "RIFF").putLe32(4, 0).putText(8, "AVI ");
  putChunk(b, 12, "JUNK", 1001);  // odd: a zero pad byte follows
  putChunk(b, 1022, "LIST", 3);    // odd, written without its pad
  b.putText(1033, "RIFF").putLe32(1037, 0).putText(1041, "AVIX");
  putChunk(b, 1045, "idx1", 2000);
  b.fill(3052, 1, 0x11);
  CarveSetup setup = setupWith(b.bytes(), 512);
  carveAt(setup, carveRiff);
  EXPECT_EQ(usedSectors(setup.state), sectorRun(kStart, sectorsFor(1045 + 2008, 512)));
}

TEST(RiffCarver, ChunksBeyondTheScanRangeFailAndHugeSizesNeverStall) {
  for (std::uint32_t size : {0xFFFFFFF8u, 0xFFFFFFFFu, 60'000u}) {
    ImageBuilder b(0);
    b.putText(0, "RIFF").putLe32(4, 0).putText(8, "AVI ");
    putChunk(b, 12, "LIST", size);
    CarveSetup setup = setupWith(b.bytes(), 512, 4096);
    carveAt(setup, carveRiff);
    EXPECT_TRUE(usedSectors(setup.state).empty()) << size;
  }
  // The last chunk ends 8 bytes before the end of the range: the next header cannot be read.
  ImageBuilder b(0);
  b.putText(0, "RIFF").putLe32(4, 0).putText(8, "WAVE");
  putChunk(b, 12, "data", 1024 - 12 - 8 - 8);
  b.fill(1015, 1, 0x11);
  CarveSetup setup = setupWith(b.bytes(), 512, 0);
  carveAt(setup, carveRiff);
  EXPECT_TRUE(usedSectors(setup.state).empty());
}

// ---- MPEG program stream ------------------------------------------------------------------

// An MPEG-1 pack header with the given clock (markers set).
void putPack(ImageBuilder& b, std::uint64_t at, std::uint64_t clock) {
  const std::uint8_t bytes[12] = {0, 0, 1, 0xBA,
                                  static_cast<std::uint8_t>(0x21 | ((clock >> 29) & 0x0E)),
                                  static_cast<std::uint8_t>(clock >> 22),
                                  static_cast<std::uint8_t>(((clock >> 14) & 0xFE) | 1),
                                  static_cast<std::uint8_t>(clock >> 7),
                                  static_cast<std::uint8_t>(((clock << 1) & 0xFE) | 1),
                                  0x80, 0x00, 0x01};
  b.putBytes(at, bytes);
}

// A packet of `length` bytes in all at `at`.
void putPacket(ImageBuilder& b, std::uint64_t at, std::uint16_t length) {
  b.putBe32(at, 0x000001E0).putBe16(at + 4, static_cast<std::uint16_t>(length - 6)).fill(at + 6, length - 6, 0xAA);
}

// Packs every 2048 bytes (a pack and one packet), clocks as given.
std::vector<std::uint8_t> programStream(const std::vector<std::uint64_t>& clocks) {
  ImageBuilder b(0);
  for (std::size_t i = 0; i < clocks.size(); ++i) {
    putPack(b, 2048 * i, clocks[i]);
    putPacket(b, 2048 * i + 12, 2036);
  }
  return b.bytes();
}

TEST(MpegProgramCarver, AClockThatDoesNotMoveOnAtAClusterBoundaryEndsTheStream) {
  // Eight-sector clusters: packs 0, 2, 4 start on cluster boundaries. A repeated clock, or
  // one that jumps too far, is accepted inside a cluster and ends the stream on a boundary.
  for (const std::vector<std::uint64_t>& clocks : {std::vector<std::uint64_t>{0, 0, 100, 100, 100, 200},
                                                   std::vector<std::uint64_t>{0, 900'100, 900'200, 900'300, 1'800'000, 1'800'100}}) {
    CarveSetup setup = setupWith(programStream(clocks), 512);
    setup.state.geometry.sectorsPerCluster = 8;
    carveAt(setup, carveMpegProgram);
    EXPECT_EQ(usedSectors(setup.state), sectorRun(kStart, 16));  // ends before pack 4
  }
}

TEST(MpegProgramCarver, EndCodeEndsTheStreamAndAnMpeg2PackFailsIt) {
  ImageBuilder b(0);
  b.putBytes(0, programStream({0, 100}));
  b.putBe32(4096, 0x000001B9).fill(4100, 4, 0x77);  // a "length" after the end code is not one
  CarveSetup setup = setupWith(b.bytes(), 512);
  carveAt(setup, carveMpegProgram);
  EXPECT_EQ(usedSectors(setup.state), sectorRun(kStart, 9));

  auto mixed = programStream({0, 100, 200});
  mixed[4096 + 4] = 0x44;  // MPEG-2 pack fields
  CarveSetup failing = setupWith(mixed, 512);
  carveAt(failing, carveMpegProgram);
  EXPECT_TRUE(usedSectors(failing.state).empty());
}

// ---- transport stream --------------------------------------------------------------------

std::vector<std::uint8_t> transportStream(std::size_t units, std::uint32_t firstStamp, std::uint32_t step) {
  ImageBuilder b(0);
  for (std::size_t i = 0; i < units; ++i) {
    const std::uint32_t stamp = i == 0 ? 0 : (firstStamp + static_cast<std::uint32_t>(i) * step) & 0x3FFFFFFF;
    b.putBe32(192 * i, stamp).fill(192 * i + 4, 1, 0x47).fill(192 * i + 5, 187, 0x1F);
  }
  return b.bytes();
}

TEST(MpegTransportCarver, StampsWrapAcrossClusterBoundariesAndTheRangeEndKeepsWholeUnits) {
  // Unit 104 starts a cluster, and its stamp has wrapped past 3FFFFFFF.
  CarveSetup setup = setupWith(transportStream(400, 0x3FFFFFFF - 103 * 5000 - 10, 5000), 512);
  setup.state.geometry.sectorsPerCluster = 3;  // 1536 bytes: every 8th unit starts a cluster
  setup.state.clusterPhase = kStart % 3;
  carveAt(setup, carveMpegTransport);
  EXPECT_EQ(usedSectors(setup.state), sectorRun(kStart, 150));

  CarveSetup cut = setupWith(transportStream(400, 5000, 5000), 512, 0);
  cut.state.scanEndSector = kStart + 99;  // 51,200 bytes: 266 whole units
  carveAt(cut, carveMpegTransport);
  EXPECT_EQ(usedSectors(cut.state), sectorRun(kStart, sectorsFor(266 * 192, 512)));

  auto broken = transportStream(10, 5000, 5000);
  broken[196] = 0;
  CarveSetup failing = setupWith(broken, 512);
  carveAt(failing, carveMpegTransport);
  EXPECT_TRUE(usedSectors(failing.state).empty());
}

// ---- ASF ---------------------------------------------------------------------------------

constexpr std::uint8_t kHeaderGuid[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr std::uint8_t kFilePropertiesGuid[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11, 0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};

std::vector<std::uint8_t> declaredAsf(std::uint64_t fileSize) {
  ImageBuilder b(0);
  b.putBytes(0, kHeaderGuid).putBytes(30, kFilePropertiesGuid).putLe64(70, fileSize);
  return b.bytes();
}

TEST(AsfDeclaredCarver, ClaimsTheDeclaredSizeUpToTheBound) {
  CarveSetup setup = setupWith(declaredAsf(10'000'000), 512, 10'100'000);
  carveAt(setup, carveAsfDeclared);
  EXPECT_EQ(usedSectors(setup.state), sectorRun(kStart, 19'532));

  const std::uint64_t bound = 21'474'836'480;
  CarveSetup atBound = setupWith(declaredAsf(bound), 512);  // cut short by the range: kept
  carveAt(atBound, carveAsfDeclared);
  EXPECT_EQ(usedSectors(atBound.state).size(), static_cast<std::size_t>(atBound.state.scanEndSector + 1 - kStart));
  for (std::uint64_t size : {bound + 1, ~std::uint64_t{0}}) {
    CarveSetup beyond = setupWith(declaredAsf(size), 512);
    carveAt(beyond, carveAsfDeclared);
    EXPECT_TRUE(usedSectors(beyond.state).empty());
  }
}

// A Header Object of 100 bytes and a Data Object (or, when foreign, an object of no known
// family) of dataSize bytes.
std::vector<std::uint8_t> walkedAsf(std::uint64_t dataSize, bool foreign = false) {
  ImageBuilder b(0);
  b.putBytes(0, kHeaderGuid).putLe64(16, 100);
  b.putBytes(100, kHeaderGuid).fill(100, 1, 0x36).fill(101, 1, foreign ? 0 : 0x26).putLe64(116, dataSize);
  if (dataSize < 200'000) b.fill(100 + dataSize - 1, 1, 0x11);
  return b.bytes();
}

TEST(AsfObjectsCarver, WalksToTheEndOfTheDataObjectAndItsIndex) {
  auto file = walkedAsf(100'000);
  const std::uint8_t simpleIndex[16] = {0x90, 0x08, 0x00, 0x33, 0xB1, 0xE5, 0xCF, 0x11, 0x89, 0xF4, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xCB};
  ImageBuilder withIndex(0);
  withIndex.putBytes(0, file).putBytes(100'100, simpleIndex).putLe64(100'116, 3000).fill(103'099, 1, 0x11);
  CarveSetup setup = setupWith(withIndex.bytes(), 512);
  carveAt(setup, carveAsfObjects);
  EXPECT_EQ(usedSectors(setup.state), sectorRun(kStart, sectorsFor(103'100, 512)));

  for (const auto& bad : {walkedAsf(24), walkedAsf(~std::uint64_t{0}), walkedAsf(1 << 20), walkedAsf(1000, true)}) {
    auto failing = setupWith(bad, 512, 4096);
    failing.state.usedSectorMap.markSector(0);
    carveAt(failing, carveAsfObjects);
    EXPECT_EQ(usedSectors(failing.state), std::vector<std::int64_t>{0});
  }
}

// Every size field of every carver set to each hostile value: the carve ends, and either
// releases everything or keeps a trace no longer than the image.
TEST(MediaCarvers, HostileSizesNeitherHangNorCrash) {
  const std::uint64_t sizes[] = {0, 1, 0xFFFFFFFF, std::uint64_t{1} << 63, ~std::uint64_t{0}};
  for (const std::uint64_t size : sizes) {
    SCOPED_TRACE(size);
    const std::uint32_t low = static_cast<std::uint32_t>(size);
    ImageBuilder iso(0), riff(0), asf(0), declared(0), mpeg(0);
    iso.putBe32(0, low).putText(4, "ftypmp42").putBe32(8, static_cast<std::uint32_t>(size >> 32)).putBe32(12, low);
    riff.putText(0, "RIFFxxxxAVI LIST").putLe32(16, low);
    asf.putBytes(0, kHeaderGuid).putLe64(16, size);
    declared.putBytes(0, kHeaderGuid).putBytes(30, kFilePropertiesGuid).putLe64(70, size);
    mpeg.putBe32(0, 0x000001BA).putBe32(4, 0x21000100).putBe32(12, 0x000001E0).putBe16(16, static_cast<std::uint16_t>(low));
    for (const auto& [carver, image] : std::vector<std::pair<CarverFn, ImageBuilder*>>{
             {carveIsoMedia, &iso}, {carveRiff, &riff}, {carveAsfObjects, &asf}, {carveAsfDeclared, &declared}, {carveMpegProgram, &mpeg}}) {
      CarveSetup setup = setupWith(image->bytes(), 512, 8192);
      carveAt(setup, carver);
      EXPECT_LE(usedSectors(setup.state).size(), 18u);
    }
  }
}

}  // namespace
}  // namespace vellumark
