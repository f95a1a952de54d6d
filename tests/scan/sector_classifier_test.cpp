#include "scan/sector_classifier.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "scan/type_codes.h"
#include "support/image_builder.h"

namespace vellumark {
namespace {

using test::ImageBuilder;

// One zeroed sector to write fields into.
struct Sector {
  explicit Sector(std::uint32_t size = 512) : b(1, size) {}
  ImageBuilder b;
  Sector& text(std::uint64_t off, std::string_view t) { b.putText(off, t); return *this; }
  Sector& bytes(std::uint64_t off, std::initializer_list<std::uint8_t> v) {
    b.putBytes(off, std::vector<std::uint8_t>(v));
    return *this;
  }
  Sector& le16(std::uint64_t off, std::uint16_t v) { b.putLe16(off, v); return *this; }
  Sector& le32(std::uint64_t off, std::uint32_t v) { b.putLe32(off, v); return *this; }
  Sector& be32(std::uint64_t off, std::uint32_t v) { b.putBe32(off, v); return *this; }
  Sector& be64(std::uint64_t off, std::uint64_t v) {
    b.putBe32(off, static_cast<std::uint32_t>(v >> 32));
    b.putBe32(off + 4, static_cast<std::uint32_t>(v));
    return *this;
  }
  [[nodiscard]] std::span<const std::uint8_t> span() { return std::span<const std::uint8_t>(b.bytes()); }
  [[nodiscard]] std::uint8_t code() { return classifySector(span()); }
};

// Pack-header words (bytes 4..11) with a clock and the marker bits set.
std::uint64_t mpeg2PackWord(std::uint64_t clock, bool markers = true) {
  std::uint64_t v = std::uint64_t{1} << 62;  // '01'
  v |= ((clock >> 30) & 0x7) << 59;
  v |= ((clock >> 15) & 0x7FFF) << 43;
  v |= (clock & 0x7FFF) << 27;
  if (markers) v |= (std::uint64_t{1} << 58) | (std::uint64_t{1} << 42) | (std::uint64_t{1} << 26) | (1u << 16);
  return v;
}
std::uint64_t mpeg1PackWord(std::uint64_t clock, bool markers = true) {
  std::uint64_t v = std::uint64_t{2} << 60;  // '0010'
  v |= ((clock >> 30) & 0x7) << 57;
  v |= ((clock >> 15) & 0x7FFF) << 41;
  v |= (clock & 0x7FFF) << 25;
  if (markers) v |= (std::uint64_t{1} << 56) | (std::uint64_t{1} << 40) | (std::uint64_t{1} << 24) | (1u << 0);
  return v;
}
Sector mpeg2Pack(std::uint64_t clock, bool markers = true) {
  Sector s;
  s.be32(0, 0x000001BA).be64(4, mpeg2PackWord(clock, markers));
  return s;
}
Sector mpeg1Pack(std::uint64_t clock, bool markers = true) {
  Sector s;
  s.be32(0, 0x000001BA).be64(4, mpeg1PackWord(clock, markers));
  return s;
}

// Sync bytes and time stamps of three 192-byte transport packets.
void putTs192(Sector& s, std::uint32_t t0, std::uint32_t t1, std::uint32_t t2) {
  s.be32(0, t0).be32(192, t1).be32(384, t2).bytes(4, {0x47}).bytes(196, {0x47}).bytes(388, {0x47});
}

// A FAT short-name entry at `off` dated 2000-01-01.
void putFatEntry(Sector& s, std::uint64_t off, std::string_view name11 = "README  TXT", std::uint8_t attr = 0x20,
                 std::uint16_t date = (20 << 9) | (1 << 5) | 1, std::uint32_t size = 1234) {
  s.text(off, name11).bytes(off + 11, {attr}).le16(off + 24, date).le32(off + 28, size);
}

constexpr std::uint16_t fatDate(unsigned yearsSince1980, unsigned month, unsigned day) {
  return static_cast<std::uint16_t>((yearsSince1980 << 9) | (month << 5) | day);
}

// The NTFS FILE record of the edge cases: update sequence at 48 (3 entries), first
// attribute at `firstAttr`, of type 16 and length 96.
Sector ntfsFileRecord(std::uint16_t firstAttr = 56) {
  Sector s;
  s.text(0, "FILE").le16(4, 48).le16(6, 3).le16(20, firstAttr).le32(24, 416).le32(28, 1024);
  s.le32(firstAttr, 16).le32(firstAttr + 4u, 96);
  return s;
}

// ---- one code per test ---------------------------------------------------------------------

TEST(SectorClassifier, ZeroSectorIsNothing) {
  EXPECT_EQ(Sector().code(), kTypeNone);
  EXPECT_EQ(Sector(4096).code(), kTypeNone);
}

TEST(SectorClassifier, JpegByFirstMarker) {
  Sector app0, app1, other, broken;
  app0.bytes(0, {0xFF, 0xD8, 0xFF, 0xE0});
  app1.bytes(0, {0xFF, 0xD8, 0xFF, 0xE1});
  other.bytes(0, {0xFF, 0xD8, 0xFF, 0xDB});
  broken.bytes(0, {0xFF, 0xD8, 0x00, 0xE0});
  EXPECT_EQ(app0.code(), kTypeJpegApp);
  EXPECT_EQ(app1.code(), kTypeJpegApp);
  EXPECT_EQ(other.code(), kTypeJpegOther);
  EXPECT_EQ(broken.code(), kTypeNone);
}

TEST(SectorClassifier, GifOnly89a) {
  EXPECT_EQ(Sector().text(0, "GIF89a").code(), kTypeGif);
  EXPECT_EQ(Sector().text(0, "GIF87a").code(), kTypeNone);
}

TEST(SectorClassifier, BitmapNeedsZeroReservedWords) {
  EXPECT_EQ(Sector().text(0, "BM").le32(2, 123456).code(), kTypeBmp);
  EXPECT_EQ(Sector().text(0, "BM").le16(8, 1).code(), kTypeNone);
}

TEST(SectorClassifier, BitmapWithReservedWordsEndsAtOnceEvenOnADirectorySector) {
  Sector dir;
  putFatEntry(dir, 0, "CMAAAAAAAAA");
  putFatEntry(dir, 32);
  ASSERT_EQ(dir.code(), kTypeFsMetadata);
  Sector bm;
  putFatEntry(bm, 0, "BMAAAAAAAAA");  // reserved words = "AAAA"
  putFatEntry(bm, 32);
  EXPECT_EQ(bm.code(), kTypeNone);
}

TEST(SectorClassifier, Ole2AndJet) {
  EXPECT_EQ(Sector().bytes(0, {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1}).code(), kTypeOle2);
  EXPECT_EQ(Sector().bytes(0, {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE0}).code(), kTypeNone);
  EXPECT_EQ(Sector().bytes(0, {0x00, 0x01, 0x00, 0x00}).text(4, "Standard Jet DB").code(), kTypeJet);
  EXPECT_EQ(Sector().text(4, "Standard Jet D").code(), kTypeNone);
}

TEST(SectorClassifier, RiffByFormType) {
  auto riff = [](std::string_view form) { return Sector().text(0, "RIFF").le32(4, 1000).text(8, form).code(); };
  EXPECT_EQ(riff("AVI "), kTypeAvi);
  EXPECT_EQ(riff("CDXA"), kTypeCdxa);
  EXPECT_EQ(riff("WAVE"), kTypeWave);
  EXPECT_EQ(riff("ACON"), kTypeAcon);
  EXPECT_EQ(riff("CDR9"), kTypeCdrRiff);
  EXPECT_EQ(riff("cdr5"), kTypeCdrRiff);
  EXPECT_EQ(riff("cDrX"), kTypeCdrRiff);
  EXPECT_EQ(riff("RMID"), kTypeNone);
  EXPECT_EQ(riff("AVI"), kTypeNone);  // "AVI" followed by a zero byte
  EXPECT_EQ(riff("wave"), kTypeNone);
}

TEST(SectorClassifier, UnknownRiffEndsAtOnceBeforeLaterTests) {
  Sector s;
  putTs192(s, 0, 100, 200);  // would be a transport stream...
  s.text(0, "RIFF").text(8, "RMID");
  EXPECT_EQ(s.code(), kTypeNone);
}

TEST(SectorClassifier, AsfByFirstHeaderObject) {
  const std::initializer_list<std::uint8_t> header{0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                                   0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
  Sector declared, other;
  declared.bytes(0, header).bytes(30, {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11, 0x8E, 0xE4, 0x00, 0xC0, 0x0C,
                                      0x20, 0x53, 0x65});
  other.bytes(0, header).bytes(30, {0xB5, 0x03, 0xBF, 0x5F});
  EXPECT_EQ(declared.code(), kTypeAsfDeclared);
  EXPECT_EQ(other.code(), kTypeAsfObjects);
}

TEST(SectorClassifier, IsoMediaByBrand) {
  auto iso = [](std::string_view brand) { return Sector().be32(0, 0x20).text(4, "ftyp").text(8, brand).code(); };
  EXPECT_EQ(iso("3gp4"), kTypeIso3gp);
  EXPECT_EQ(iso("mp42"), kTypeIsoMp4);
  EXPECT_EQ(iso("isom"), kTypeIsoOther);
  EXPECT_EQ(iso("qt  "), kTypeIsoOther);
  EXPECT_EQ(Sector().be32(0, 0x01000020).text(4, "ftyp").code(), kTypeNone);  // box over 16 MiB: not tested for
}

TEST(SectorClassifier, OtherSignatures) {
  EXPECT_EQ(Sector().bytes(0, {0x89, 'P', 'N', 'G', 0x0D, 0x0A}).code(), kTypePng);
  EXPECT_EQ(Sector().text(0, "ID3").code(), kTypeMp3Id3);
  for (std::uint32_t magic : {0x49492A00u, 0x4D4D002Au, 0x4949524Fu, 0x4D4D4F52u, 0x49495500u, 0x4D4D0055u})
    EXPECT_EQ(Sector().be32(0, magic).code(), kTypeTiff) << std::hex << magic;
  EXPECT_EQ(Sector().be32(0, 0x49492B00).code(), kTypeNone);  // BigTIFF is not listed
  EXPECT_EQ(Sector().text(0, "FOVb").code(), kTypeX3f);
  EXPECT_EQ(Sector().text(0, "FUJIFILMCCD-RAW 0201").code(), kTypeRaf);
  EXPECT_EQ(Sector().text(0, "FUJIFILMCCD-RAW").code(), kTypeNone);  // the space belongs to it
  EXPECT_EQ(Sector().bytes(0, {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00}).code(), kTypeRar);
  EXPECT_EQ(Sector().bytes(0, {'R', 'a', 'r', '!', 0x1A, 0x07, 0x01}).code(), kTypeNone);  // RAR 5 is not listed
  EXPECT_EQ(Sector().text(0, "MSCF").le16(24, 0x0103).code(), kTypeCab);
  EXPECT_EQ(Sector().text(0, "MSCF").le16(24, 0x0104).code(), kTypeNone);
  EXPECT_EQ(Sector().bytes(0, {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0x00, 0x03}).code(), kType7z);
  EXPECT_EQ(Sector().bytes(0, {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0x00, 0x04}).code(), kType7z);  // current 7-Zip
  EXPECT_EQ(Sector().bytes(0, {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0x00, 0x02}).code(), kType7z);
  EXPECT_EQ(Sector().bytes(0, {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0x00, 0x05}).code(), kTypeNone);
  EXPECT_EQ(Sector().bytes(0, {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0x01, 0x03}).code(), kTypeNone);
  EXPECT_EQ(Sector().text(0, "%PDF-1.7").code(), kTypePdf);
  EXPECT_EQ(Sector().text(0, "%PDF1.7").code(), kTypeNone);
}

TEST(SectorClassifier, ZipByFirstName) {
  auto zip = [](std::string_view name) {
    return Sector().bytes(0, {'P', 'K', 3, 4, 20, 0}).le16(26, static_cast<std::uint16_t>(name.size())).text(30, name).code();
  };
  EXPECT_EQ(zip("[Content_Types].xml"), kTypeOoxml);
  EXPECT_EQ(zip("content/riffData.cdr"), kTypeCdrZip);
  EXPECT_EQ(zip("word/document.xml"), kTypeZip);
  EXPECT_EQ(zip("[content_types].xml"), kTypeZip);
  EXPECT_EQ(Sector().bytes(0, {'P', 'K', 1, 2}).code(), kTypeNone);  // central directory header
}

// ---- MPEG program stream ------------------------------------------------------------------

TEST(SectorClassifier, Mpeg2PackByClock) {
  EXPECT_EQ(mpeg2Pack(0).code(), kTypeMpeg2PackZero);
  EXPECT_EQ(mpeg2Pack(1).code(), kTypeMpeg2PackEarly);
  EXPECT_EQ(mpeg2Pack(319999).code(), kTypeMpeg2PackEarly);
  EXPECT_EQ(mpeg2Pack(320000).code(), kTypeNone);
  EXPECT_EQ(mpeg2Pack(400000).code(), kTypeNone);
}

TEST(SectorClassifier, Mpeg1PackByClock) {
  EXPECT_EQ(mpeg1Pack(0).code(), kTypeMpeg1PackZero);
  EXPECT_EQ(mpeg1Pack(400000).code(), kTypeMpeg1PackLater);
  EXPECT_EQ(mpeg1Pack((std::uint64_t{1} << 33) - 1).code(), kTypeMpeg1PackLater);
}

TEST(SectorClassifier, PackHeaderWithoutMarkerBitsIsNotAStream) {
  EXPECT_EQ(mpeg2Pack(0, false).code(), kTypeNone);
  EXPECT_EQ(mpeg1Pack(0, false).code(), kTypeNone);
  EXPECT_EQ(mpeg1Pack(400000, false).code(), kTypeNone);
  // The all-zero clock with no markers is the likeliest false match: start code then zeros.
  EXPECT_EQ(Sector().be32(0, 0x000001BA).bytes(4, {0x44}).code(), kTypeNone);
  EXPECT_EQ(Sector().be32(0, 0x000001BA).bytes(4, {0x21}).code(), kTypeNone);
}

TEST(SectorClassifier, OtherPackVersionsAreNotMpeg) {
  EXPECT_EQ(Sector().be32(0, 0x000001BA).be64(4, mpeg2PackWord(0) | (std::uint64_t{1} << 63)).code(), kTypeNone);
  EXPECT_EQ(Sector().be32(0, 0x000001BB).be64(4, mpeg2PackWord(0)).code(), kTypeNone);
}

TEST(SectorClassifier, PackHeaderKeepsItsCodeThroughLaterTests) {
  // Free FAT entries follow (all zero): the FAT walk must leave the tentative code.
  Sector s = mpeg1Pack(0);
  EXPECT_EQ(s.code(), kTypeMpeg1PackZero);
  // A pack header that also carries 192-byte transport sync bytes: test 10 overrides it.
  Sector ts;
  ts.be32(0, 0x000001BA).be64(4, mpeg2PackWord(0));
  ts.bytes(4, {0x47}).be32(192, 0x000001BA + 1000).bytes(196, {0x47}).be32(384, 0x000001BA + 2000).bytes(388, {0x47});
  EXPECT_EQ(ts.code(), kTypeTs192Later);
}

TEST(SectorClassifier, PackClocksDecodeEveryBit) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 1000; ++i) {
    const std::uint64_t clock = rng() & ((std::uint64_t{1} << 33) - 1);
    EXPECT_EQ(mpeg2PackClock(mpeg2Pack(clock).span()), static_cast<std::int64_t>(clock));
    EXPECT_EQ(mpeg1PackClock(mpeg1Pack(clock).span()), static_cast<std::int64_t>(clock));
  }
}

TEST(SectorClassifier, PackClocksNeedAllThreeMarkers) {
  const std::uint64_t word2 = mpeg2PackWord(90000);
  for (unsigned bit : {58u, 42u, 26u}) {
    Sector s;
    s.be32(0, 0x000001BA).be64(4, word2 & ~(std::uint64_t{1} << bit));
    EXPECT_EQ(mpeg2PackClock(s.span()), -1) << bit;
  }
  const std::uint64_t word1 = mpeg1PackWord(90000);
  for (unsigned bit : {56u, 40u, 24u}) {
    Sector s;
    s.be32(0, 0x000001BA).be64(4, word1 & ~(std::uint64_t{1} << bit));
    EXPECT_EQ(mpeg1PackClock(s.span()), -1) << bit;
  }
}

// ---- transport streams --------------------------------------------------------------------

TEST(SectorClassifier, Ts192ByTimeStamps) {
  auto ts = [](std::uint32_t t0, std::uint32_t t1, std::uint32_t t2) {
    Sector s;
    putTs192(s, t0, t1, t2);
    return s.code();
  };
  EXPECT_EQ(ts(0, 1, 2), kTypeTs192Zero);
  EXPECT_EQ(ts(5, 1005, 2005), kTypeTs192Later);
  EXPECT_EQ(ts(0, 3200000, 6400000), kTypeTs192Zero);
  EXPECT_EQ(ts(0, 3200001, 3200002), kTypeNone);
  EXPECT_EQ(ts(0, 0, 1), kTypeNone);          // no step
  EXPECT_EQ(ts(100, 50, 60), kTypeNone);      // backwards (a huge step mod 2^30)
  EXPECT_EQ(ts(0xFFFFFF00u, 0x100, 0x200), kTypeTs192Later);  // wraps around 2^32
  // The top two bits (copy permission) do not take part in the step.
  EXPECT_EQ(ts(0xC0000000u, 0x00000010u, 0x40000020u), kTypeTs192Later);
  EXPECT_EQ(ts(0x40000000u, 0x40000010u, 0x40000020u), kTypeTs192Later);
}

TEST(SectorClassifier, Ts188BySyncBytes) {
  Sector s;
  s.bytes(0, {0x47, 0x40, 0x00, 0x10}).bytes(188, {0x47, 0x01}).bytes(376, {0x47, 0x01});
  EXPECT_EQ(s.code(), kTypeTs188);
  Sector doubled = s;
  doubled.bytes(189, {0x47});
  EXPECT_EQ(doubled.code(), kTypeNone);
  Sector missing = s;
  missing.bytes(376, {0x48});
  EXPECT_EQ(missing.code(), kTypeNone);
}

// ---- order of the tests ------------------------------------------------------------------

TEST(SectorClassifier, EarlierTestsWin) {
  Sector jetRiff;
  jetRiff.text(0, "RIFF").text(4, "Standard Jet DB");
  EXPECT_EQ(jetRiff.code(), kTypeJet);

  Sector jpegTs;
  putTs192(jpegTs, 0xFFD8FFE0u, 0xFFD8FFE0u + 10, 0xFFD8FFE0u + 20);
  EXPECT_EQ(jpegTs.code(), kTypeJpegApp);

  Sector asfTs;
  asfTs.bytes(0, {0x30, 0x26, 0xB2, 0x75, 0x47, 0x66, 0xCF, 0x11}).bytes(196, {0x47}).bytes(388, {0x47});
  asfTs.be32(192, 0x3026B275u + 10).be32(384, 0x3026B275u + 20);
  EXPECT_EQ(asfTs.code(), kTypeTs192Later);  // not ASF: byte 4 breaks the GUID
  asfTs.bytes(4, {0x8E}).bytes(8, {0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C});
  EXPECT_EQ(asfTs.code(), kTypeAsfObjects);

  // Test 10 comes before every signature from PNG on.
  Sector zipTs;
  putTs192(zipTs, 0x504B0304u, 0x504B0304u + 10, 0x504B0304u + 20);
  EXPECT_EQ(zipTs.code(), kTypeTs192Later);
  Sector fileTs = ntfsFileRecord();
  putTs192(fileTs, 0x46494C45u, 0x46494C45u + 10, 0x46494C45u + 20);
  EXPECT_EQ(fileTs.code(), kTypeTs192Later);
}

// ---- NTFS records ----------------------------------------------------------------------------

TEST(SectorClassifier, NtfsFileRecord) {
  EXPECT_EQ(ntfsFileRecord(56).code(), kTypeFsMetadata);
  Sector end = ntfsFileRecord(56);
  end.le32(56, 0xFFFFFFFF);
  EXPECT_EQ(end.code(), kTypeFsMetadata);
  Sector badType = ntfsFileRecord(56);
  badType.le32(56, 513);
  EXPECT_EQ(badType.code(), kTypeNone);
  Sector badLength = ntfsFileRecord(56);
  badLength.le32(60, 4097);
  EXPECT_EQ(badLength.code(), kTypeNone);
  Sector overlap = ntfsFileRecord(56);
  overlap.le16(6, 9);  // 48 + 9 > 56
  EXPECT_EQ(overlap.code(), kTypeNone);
  Sector inUse = ntfsFileRecord(56);
  inUse.le32(24, 1025);
  EXPECT_EQ(inUse.code(), kTypeNone);
  Sector notSectors = ntfsFileRecord(56);
  notSectors.le32(28, 1000);
  EXPECT_EQ(notSectors.code(), kTypeNone);
  EXPECT_EQ(ntfsFileRecord(40).code(), kTypeNone);
  EXPECT_EQ(ntfsFileRecord(98).code(), kTypeNone);
}

// A FILE header whose bytes also form a FAT directory: entry 0 is skipped as a long-name
// entry (byte 11 = 0x0F) and entry 1 is a valid short-name entry.
Sector fileRecordOverDirectory(std::uint16_t firstAttr) {
  Sector s;
  s.text(0, "FILE").le16(4, 48).le16(6, 3).bytes(11, {0x0F}).le16(20, firstAttr).le32(24, 416).le32(28, 1024);
  putFatEntry(s, 32, "README  TXT", 0x20, fatDate(20, 1, 1), 0);
  return s;
}

TEST(SectorClassifier, FileRecordThatFailsItsTestStillGetsTheLaterTests) {
  // First attribute at 40: not a FILE record, so the FAT walk runs and finds a directory.
  EXPECT_EQ(fileRecordOverDirectory(40).code(), kTypeFsMetadata);
  // First attribute at 56 (inside entry 1, where the date makes a type above 512): the FILE
  // test decides, with the tentative result, and the FAT walk is never run.
  EXPECT_EQ(fileRecordOverDirectory(56).code(), kTypeNone);
}

TEST(SectorClassifier, NtfsIndexRecord) {
  auto indx = [](std::uint32_t used, std::uint32_t allocated) {
    return Sector().text(0, "INDX").le16(4, 40).le16(6, 9).le32(28, used).le32(32, allocated).code();
  };
  EXPECT_EQ(indx(100, 4072), kTypeFsMetadata);
  EXPECT_EQ(indx(4072, 4072), kTypeFsMetadata);
  EXPECT_EQ(indx(100, 488), kTypeFsMetadata);
  EXPECT_EQ(indx(100, 4000), kTypeNone);
  EXPECT_EQ(indx(4073, 4072), kTypeNone);
  EXPECT_EQ(indx(0, 0), kTypeNone);
  EXPECT_EQ(Sector().text(0, "INDX").le16(4, 39).le16(6, 9).le32(28, 100).le32(32, 4072).code(), kTypeNone);
}

// ---- FAT directory sectors ----------------------------------------------------------------

TEST(SectorClassifier, FatDirectoryScores) {
  Sector one;
  putFatEntry(one, 0);
  EXPECT_EQ(one.code(), kTypeFsMetadata);

  Sector deletedOnly;
  deletedOnly.bytes(0, {0xE5});
  EXPECT_EQ(deletedOnly.code(), kTypeNone);

  Sector twoDeleted;
  twoDeleted.bytes(0, {0xE5}).bytes(32, {0xE5});
  EXPECT_EQ(twoDeleted.code(), kTypeFsMetadata);

  Sector longNameOnly;
  longNameOnly.bytes(0, {0x41, 'a', 0}).bytes(11, {0x0F});
  EXPECT_EQ(longNameOnly.code(), kTypeNone);

  Sector longAndShort;
  longAndShort.bytes(0, {0x41, 'r', 0, 'e', 0}).bytes(11, {0x0F});
  putFatEntry(longAndShort, 32);
  EXPECT_EQ(longAndShort.code(), kTypeFsMetadata);

  Sector dots;
  putFatEntry(dots, 0, ".          ", 0x10, fatDate(30, 6, 15), 0);
  putFatEntry(dots, 32, "..         ", 0x10, fatDate(30, 6, 15), 0);
  EXPECT_EQ(dots.code(), kTypeFsMetadata);
}

TEST(SectorClassifier, FatEntryRejections) {
  auto withEntry = [](std::string_view name, std::uint8_t attr, std::uint16_t date, std::uint32_t size) {
    Sector s;
    putFatEntry(s, 0);
    putFatEntry(s, 32, name, attr, date, size);
    return s.code();
  };
  const std::uint16_t good = fatDate(20, 1, 1);
  EXPECT_EQ(withEntry("NOTES   TXT", 0x20, good, 10), kTypeFsMetadata);
  EXPECT_EQ(withEntry("NOTES   TXT", 0x20, fatDate(4, 1, 1), 10), kTypeNone);  // 1984
  EXPECT_EQ(withEntry("NOTES   TXT", 0x20, fatDate(5, 1, 1), 10), kTypeFsMetadata);
  EXPECT_EQ(withEntry("NOTES   TXT", 0x20, fatDate(20, 0, 1), 10), kTypeNone);
  EXPECT_EQ(withEntry("NOTES   TXT", 0x20, fatDate(20, 13, 1), 10), kTypeNone);
  EXPECT_EQ(withEntry("NOTES   TXT", 0x20, fatDate(20, 12, 0), 10), kTypeNone);
  EXPECT_EQ(withEntry("NOTES   TXT", 0x40, good, 10), kTypeNone);   // attr high nibble above 3
  EXPECT_EQ(withEntry("NOTES   TXT", 0x30, good, 0), kTypeFsMetadata);
  EXPECT_EQ(withEntry("SUBDIR     ", 0x10, good, 512), kTypeNone);  // directory with a size
  EXPECT_EQ(withEntry(" OTES   TXT", 0x20, good, 10), kTypeNone);   // first byte <= 0x20
  EXPECT_EQ(withEntry("NO*ES   TXT", 0x20, good, 10), kTypeNone);
  EXPECT_EQ(withEntry("NOTES   TX|", 0x20, good, 10), kTypeNone);
  EXPECT_EQ(withEntry("N\x01TES   TXT", 0x20, good, 10), kTypeNone);
}

TEST(SectorClassifier, FreeEntryMustEndTheDirectory) {
  Sector s;
  putFatEntry(s, 0);
  putFatEntry(s, 32);
  EXPECT_EQ(s.code(), kTypeFsMetadata);
  Sector gap = s;
  putFatEntry(gap, 96);  // entry 2 (offset 64) is free
  EXPECT_EQ(gap.code(), kTypeNone);
  Sector lastEntry = s;
  lastEntry.bytes(480, {0x01});
  EXPECT_EQ(lastEntry.code(), kTypeNone);
  Sector notFirstByte = s;
  notFirstByte.bytes(481, {0x01});  // only first bytes of free entries are looked at
  EXPECT_EQ(notFirstByte.code(), kTypeFsMetadata);
}

TEST(SectorClassifier, FatWalkCoversTheWholeSectorAndNoMore) {
  Sector big(4096);
  putFatEntry(big, 0);
  EXPECT_EQ(big.code(), kTypeFsMetadata);
  big.bytes(4064, {0x01});  // last entry of a 4096-byte sector
  EXPECT_EQ(big.code(), kTypeNone);

  // The same bytes seen as a 512-byte sector: what lies past it is never read.
  EXPECT_EQ(classifySector(big.span().first(512)), kTypeFsMetadata);
}

TEST(SectorClassifier, ShortBufferReadsAsZeroPadded) {
  Sector s;
  putFatEntry(s, 0);
  EXPECT_EQ(classifySector(s.span().first(32)), kTypeFsMetadata);
  EXPECT_EQ(classifySector(s.span().first(0)), kTypeNone);
  Sector gif;
  gif.text(0, "GIF89a");
  EXPECT_EQ(classifySector(gif.span().first(6)), kTypeGif);
  EXPECT_EQ(classifySector(gif.span().first(5)), kTypeNone);
}

// ---- garbage -------------------------------------------------------------------------------

TEST(SectorClassifier, RandomSectorsAreAlmostNeverRecognised) {
  std::mt19937 rng(42);
  std::vector<std::uint8_t> buf(4096);
  int recognised = 0;
  for (int i = 0; i < 20000; ++i) {
    for (auto& b : buf) b = static_cast<std::uint8_t>(rng());
    const std::uint32_t size = 512u << (i % 4);  // 512, 1024, 2048, 4096
    if (classifySector(std::span<const std::uint8_t>(buf).first(size)) != kTypeNone) ++recognised;
  }
  EXPECT_LT(recognised, 5);
}

TEST(SectorClassifier, NameCharacters) {
  const std::string_view forbidden = "\\/:*?\"<>|";
  for (unsigned c = 0; c < 256; ++c) {
    const bool expected = c >= 0x20 && c != 0xFF && forbidden.find(static_cast<char>(c)) == std::string_view::npos;
    EXPECT_EQ(isNameChar(static_cast<std::uint8_t>(c)), expected) << c;
  }
  EXPECT_TRUE(isNameChar(' '));
  EXPECT_TRUE(isNameChar(0xE5));
}

}  // namespace
}  // namespace vellumark
