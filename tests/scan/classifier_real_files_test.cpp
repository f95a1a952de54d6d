// The classifier on files written by real programs (ImageMagick, ffmpeg, zip, 7z, gcab,
// mkfs.vfat, mkntfs) and on the real documents of the corpus.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "scan/sector_classifier.h"
#include "scan/type_codes.h"
#include "util/byte_reader.h"
#include "support/image_builder.h"

namespace vellumark {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

constexpr std::uint32_t kSector = 512;

// The first sector of a file as a scan sees it when the file starts on a sector boundary:
// padded with zero bytes when the file is shorter.
std::vector<std::uint8_t> firstSector(const fs::path& path) {
  std::vector<std::uint8_t> bytes = test::readFileBytes(path);
  bytes.resize(std::max<std::size_t>(kSector, (bytes.size() + kSector - 1) / kSector * kSector), 0);
  bytes.resize(kSector);
  return bytes;
}

std::uint8_t classifyFile(const fs::path& path) { return classifySector(firstSector(path)); }

bool run(const std::string& command) { return test::runCommand(command) == 0; }

const std::string kFfmpeg = "ffmpeg -hide_banner -loglevel error -y -nostdin ";

// ---- pictures ------------------------------------------------------------------------------

TEST(ClassifierRealFiles, ImageMagickPictures) {
  if (!test::haveProgram("convert")) GTEST_SKIP() << "convert is not installed";
  TempDir dir;
  const std::string base = "convert -size 64x64 xc:red ";
  ASSERT_TRUE(run(base + (dir / "a.jpg").string()));
  ASSERT_TRUE(run(base + (dir / "a.png").string()));
  ASSERT_TRUE(run(base + (dir / "a.gif").string()));
  ASSERT_TRUE(run(base + (dir / "a.bmp").string()));
  ASSERT_TRUE(run(base + (dir / "a.tif").string()));
  EXPECT_EQ(classifyFile(dir / "a.jpg"), kTypeJpegApp);
  EXPECT_EQ(classifyFile(dir / "a.png"), kTypePng);
  EXPECT_EQ(classifyFile(dir / "a.gif"), kTypeGif);
  EXPECT_EQ(classifyFile(dir / "a.bmp"), kTypeBmp);
  EXPECT_EQ(classifyFile(dir / "a.tif"), kTypeTiff);
}

TEST(ClassifierRealFiles, JpegWithoutApplicationMarker) {
  if (!test::haveProgram("convert")) GTEST_SKIP() << "convert is not installed";
  TempDir dir;
  ASSERT_TRUE(run("convert -size 64x64 xc:red -strip " + (dir / "a.jpg").string()));
  // The JFIF APP0 segment is optional; drop it so the first marker is DQT.
  std::vector<std::uint8_t> jpeg = test::readFileBytes(dir / "a.jpg");
  ASSERT_EQ(jpeg[3], 0xE0);
  const std::size_t app0Length = be16(jpeg, 4);
  std::vector<std::uint8_t> bare{0xFF, 0xD8};
  bare.insert(bare.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(4 + app0Length), jpeg.end());
  test::writeFileBytes(dir / "bare.jpg", bare);
  ASSERT_TRUE(run("identify " + (dir / "bare.jpg").string() + " >/dev/null")) << "the stripped JPEG must still decode";
  ASSERT_NE(bare[3], 0xE0);
  ASSERT_NE(bare[3], 0xE1);
  EXPECT_EQ(classifyFile(dir / "bare.jpg"), kTypeJpegOther);
}

// ---- archives and PDF ----------------------------------------------------------------------

TEST(ClassifierRealFiles, ZipPackagesByFirstEntry) {
  if (!test::haveProgram("zip")) GTEST_SKIP() << "zip is not installed";
  TempDir dir;
  fs::create_directories(dir / "pkg" / "content");
  test::writeFileBytes(dir / "pkg" / "[Content_Types].xml", std::vector<std::uint8_t>(100, 'x'));
  test::writeFileBytes(dir / "pkg" / "content" / "riffData.cdr", std::vector<std::uint8_t>(100, 'y'));
  test::writeFileBytes(dir / "pkg" / "notes.txt", std::vector<std::uint8_t>(100, 'z'));
  const std::string cd = "cd '" + (dir / "pkg").string() + "' && zip -q -X ";
  ASSERT_TRUE(run(cd + "../plain.zip notes.txt"));
  ASSERT_TRUE(run(cd + "../ooxml.zip '[Content_Types].xml' notes.txt"));
  ASSERT_TRUE(run(cd + "../corel.zip content/riffData.cdr notes.txt"));
  EXPECT_EQ(classifyFile(dir / "plain.zip"), kTypeZip);
  EXPECT_EQ(classifyFile(dir / "ooxml.zip"), kTypeOoxml);
  EXPECT_EQ(classifyFile(dir / "corel.zip"), kTypeCdrZip);
}

TEST(ClassifierRealFiles, SevenZipArchiveByFormatVersion) {
  if (!test::haveProgram("7z")) GTEST_SKIP() << "7z is not installed";
  TempDir dir;
  test::writeFileBytes(dir / "data.txt", std::vector<std::uint8_t>(5000, 'q'));
  ASSERT_TRUE(run("7z a -bd -bso0 -bsp0 '" + (dir / "a.7z").string() + "' '" + (dir / "data.txt").string() + "'"));
  std::vector<std::uint8_t> sector = firstSector(dir / "a.7z");
  ASSERT_TRUE(bytesEqual(sector, 0, "7z\xBC\xAF\x27\x1C"));
  // Format versions 0.2 to 0.4 are traced; current 7-Zip writes 0.4.
  EXPECT_EQ(classifySector(sector), kType7z);
  sector[7] = 5;
  EXPECT_EQ(classifySector(sector), kTypeNone);
}

TEST(ClassifierRealFiles, Cabinet) {
  if (!test::haveProgram("gcab")) GTEST_SKIP() << "gcab is not installed";
  TempDir dir;
  test::writeFileBytes(dir / "data.txt", std::vector<std::uint8_t>(5000, 'q'));
  ASSERT_TRUE(run("cd '" + dir.path().string() + "' && gcab -c a.cab data.txt"));
  EXPECT_EQ(classifyFile(dir / "a.cab"), kTypeCab);
}

TEST(ClassifierRealFiles, HandWrittenPdf) {
  TempDir dir;
  const std::string pdf =
      "%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
      "2 0 obj << /Type /Pages /Kids [] /Count 0 >> endobj\n"
      "trailer << /Root 1 0 R >>\n%%EOF\n";
  test::writeFileBytes(dir / "a.pdf", std::vector<std::uint8_t>(pdf.begin(), pdf.end()));
  EXPECT_EQ(classifyFile(dir / "a.pdf"), kTypePdf);
}

// ---- documents ----------------------------------------------------------------------------

TEST(ClassifierRealFiles, CorpusDocuments) {
  int ole2 = 0, ooxml = 0;
  for (const test::CorpusDocument& doc : test::corpusDocuments()) {
    const std::uint8_t code = classifyFile(doc.path);
    const bool compound = doc.ext == "doc" || doc.ext == "xls" || doc.ext == "ppt" || doc.hasNote("encrypted-ooxml");
    if (compound) {
      EXPECT_EQ(code, kTypeOle2) << doc.name;
      ++ole2;
      continue;
    }
    // The package's first entry, from its local file header.
    const std::vector<std::uint8_t> sector = firstSector(doc.path);
    ASSERT_EQ(le32(sector, 0), 0x04034B50u) << doc.name;
    const std::size_t nameLength = std::min<std::size_t>(le16(sector, 26), kSector - 30);
    const std::string firstName(sector.begin() + 30, sector.begin() + 30 + static_cast<std::ptrdiff_t>(nameLength));
    if (firstName == "[Content_Types].xml") {
      EXPECT_FALSE(doc.hasNote("content-types-not-first")) << doc.name;
      EXPECT_EQ(code, kTypeOoxml) << doc.name;
      ++ooxml;
    } else {
      EXPECT_EQ(code, kTypeZip) << doc.name << " begins with " << firstName;
    }
  }
  EXPECT_GT(ole2, 10);
  EXPECT_GT(ooxml, 10);
}

// ---- sound and video -----------------------------------------------------------------------

class ClassifierMedia : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::haveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  }
  fs::path make(const std::string& name, const std::string& args) {
    fs::path out = dir_ / name;
    EXPECT_TRUE(run(kFfmpeg + args + " '" + out.string() + "'")) << name;
    return out;
  }
  static constexpr const char* kVideo = "-f lavfi -i testsrc=d=0.4:s=64x64:r=25 ";
  static constexpr const char* kSound = "-f lavfi -i sine=d=0.1 ";
  TempDir dir_;
};

TEST_F(ClassifierMedia, RiffAndIsoMedia) {
  EXPECT_EQ(classifyFile(make("a.wav", kSound)), kTypeWave);
  EXPECT_EQ(classifyFile(make("a.avi", std::string(kVideo) + "-c:v mpeg4")), kTypeAvi);
  EXPECT_EQ(classifyFile(make("a.mp4", std::string(kVideo) + "-c:v mpeg4 -brand mp42")), kTypeIsoMp4);
  EXPECT_EQ(classifyFile(make("b.mp4", std::string(kVideo) + "-c:v mpeg4 -brand isom")), kTypeIsoOther);
  EXPECT_EQ(classifyFile(make("a.3gp", std::string(kVideo) + "-c:v mpeg4 -f 3gp")), kTypeIso3gp);
}

TEST_F(ClassifierMedia, AsfAndId3) {
  EXPECT_EQ(classifyFile(make("a.asf", std::string(kSound) + "-f asf")), kTypeAsfDeclared);
  EXPECT_EQ(classifyFile(make("a.mp3", std::string(kSound) + "-f mp3 -write_id3v2 1")), kTypeMp3Id3);
}

// What the pack header at the start of a program stream calls for, decoded here bit by bit
// from the standard layout (MPEG-2: '01' then the clock in 3+15+15 bits, each part followed
// by a marker bit; MPEG-1: '0010' then the same).
std::uint8_t expectedPackCode(const std::vector<std::uint8_t>& s) {
  if (be32(s, 0) != 0x000001BA) return kTypeNone;
  const std::uint64_t v = be64(s, 4);
  auto bit = [v](unsigned n) { return (v >> n) & 1; };
  auto field = [v](unsigned hi, unsigned lo) { return (v >> lo) & ((std::uint64_t{1} << (hi - lo + 1)) - 1); };
  if (field(63, 62) == 1) {
    if (!bit(58) || !bit(42) || !bit(26)) return kTypeNone;
    const std::uint64_t clock = (field(61, 59) << 30) | (field(57, 43) << 15) | field(41, 27);
    if (clock >= 320000) return kTypeNone;
    return clock == 0 ? kTypeMpeg2PackZero : kTypeMpeg2PackEarly;
  }
  if (field(63, 61) == 1) {
    if (!bit(56) || !bit(40) || !bit(24)) return kTypeNone;
    const std::uint64_t clock = (field(60, 57) << 30) | (field(55, 41) << 15) | field(39, 25);
    return clock == 0 ? kTypeMpeg1PackZero : kTypeMpeg1PackLater;
  }
  return kTypeNone;
}

TEST_F(ClassifierMedia, MpegProgramStreams) {
  struct Case { const char* name; const char* args; };
  const Case cases[] = {
      {"mpeg1.mpg", "-c:v mpeg1video -f mpeg"},
      {"mpeg2.vob", "-c:v mpeg2video -f vob"},
      {"dvd.vob", "-c:v mpeg2video -f dvd"},
  };
  for (const Case& c : cases) {
    const std::vector<std::uint8_t> sector = firstSector(make(c.name, std::string(kVideo) + c.args));
    const std::uint8_t expected = expectedPackCode(sector);
    EXPECT_NE(expected, kTypeNone) << c.name << ": ffmpeg wrote no pack header the classifier knows";
    EXPECT_EQ(classifySector(sector), expected) << c.name;
  }
  // ffmpeg starts both kinds of stream at clock 0.
  EXPECT_EQ(classifyFile(dir_ / "mpeg1.mpg"), kTypeMpeg1PackZero);
  EXPECT_EQ(classifyFile(dir_ / "mpeg2.vob"), kTypeMpeg2PackZero);
}

TEST_F(ClassifierMedia, TransportStreams) {
  const std::vector<std::uint8_t> ts188 =
      firstSector(make("a.ts", std::string(kVideo) + "-c:v mpeg2video -f mpegts"));
  ASSERT_EQ(ts188[0], 0x47);
  ASSERT_EQ(ts188[188], 0x47);
  ASSERT_EQ(ts188[376], 0x47);
  EXPECT_EQ(classifySector(ts188), kTypeTs188);

  // 192-byte packets: a 4-byte arrival time stamp before each sync byte. A fixed mux rate
  // makes ffmpeg's time stamps advance steadily.
  const std::vector<std::uint8_t> ts192 = firstSector(
      make("a.m2ts", std::string(kVideo) + "-c:v mpeg2video -f mpegts -mpegts_m2ts_mode 1 -muxrate 2000000"));
  ASSERT_EQ(ts192[4], 0x47);
  ASSERT_EQ(ts192[196], 0x47);
  ASSERT_EQ(ts192[388], 0x47);
  const std::uint32_t t0 = be32(ts192, 0);
  const std::uint32_t step1 = (be32(ts192, 192) - t0) & 0x3FFFFFFF;
  const std::uint32_t step2 = (be32(ts192, 384) - be32(ts192, 192)) & 0x3FFFFFFF;
  ASSERT_TRUE(step1 >= 1 && step1 <= 3200000 && step2 >= 1 && step2 <= 3200000);
  EXPECT_EQ(classifySector(ts192), t0 == 0 ? kTypeTs192Zero : kTypeTs192Later);
}

// ---- file-system metadata ------------------------------------------------------------------

TEST(ClassifierRealFiles, FatDirectorySectors) {
  if (!test::haveProgram("mkfs.vfat")) GTEST_SKIP() << "mkfs.vfat is not installed";
  if (!test::haveProgram("mcopy")) GTEST_SKIP() << "mcopy is not installed";
  TempDir dir;
  const std::string img = (dir / "fat.img").string();
  test::writeFileBytes(dir / "hello.txt", std::vector<std::uint8_t>(3000, 'h'));
  ASSERT_TRUE(run("mkfs.vfat -C -F 16 -n VELLUM '" + img + "' 16384 >/dev/null"));
  ASSERT_TRUE(run("mcopy -i '" + img + "' '" + (dir / "hello.txt").string() + "' ::/HELLO.TXT"));
  ASSERT_TRUE(run("mmd -i '" + img + "' ::/SUB"));
  const std::vector<std::uint8_t> bytes = test::readFileBytes(img);
  const Bytes image(bytes);
  const std::uint64_t rootDir = le16(image, 14) + static_cast<std::uint64_t>(u8At(image, 16)) * le16(image, 22);
  EXPECT_EQ(classifySector(image.subspan(rootDir * kSector, kSector)), kTypeFsMetadata);
  // The subdirectory's own sector ("." and "..") is one as well.
  int directories = 0;
  for (std::uint64_t off = 0; off + kSector <= bytes.size(); off += kSector)
    if (classifySector(image.subspan(off, kSector)) == kTypeFsMetadata) ++directories;
  EXPECT_GE(directories, 2);
}

TEST(ClassifierRealFiles, NtfsFileRecords) {
  if (!test::haveProgram("mkntfs")) GTEST_SKIP() << "mkntfs is not installed";
  TempDir dir;
  const std::string img = (dir / "ntfs.img").string();
  ASSERT_TRUE(run("truncate -s 8M '" + img + "'"));
  ASSERT_TRUE(run("mkntfs -F -q -Q -s 512 -c 4096 '" + img + "' >/dev/null 2>&1"));
  const std::vector<std::uint8_t> bytes = test::readFileBytes(img);
  const Bytes image(bytes);
  ASSERT_TRUE(bytesEqual(image, 3, "NTFS    "));
  const std::uint64_t mftSector = le64(image, 48) * u8At(image, 13);
  // The system files: records 0..15, each 1024 bytes, its first sector beginning "FILE".
  for (std::uint64_t record = 0; record < 12; ++record) {
    const std::uint64_t off = mftSector * kSector + record * 1024;
    ASSERT_LE(off + kSector, bytes.size());
    ASSERT_TRUE(bytesEqual(image, off, "FILE")) << record;
    EXPECT_EQ(classifySector(image.subspan(off, kSector)), kTypeFsMetadata) << "MFT record " << record;
  }
}

}  // namespace
}  // namespace vellumark
