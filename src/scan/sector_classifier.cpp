#include "scan/sector_classifier.h"

#include <array>
#include <cstddef>

#include "scan/type_codes.h"
#include "formats/asf.h"
#include "formats/bmp.h"
#include "formats/cab.h"
#include "formats/iso_media.h"
#include "formats/jpeg.h"
#include "formats/mpeg.h"
#include "formats/ole2.h"
#include "formats/pdf.h"
#include "formats/png.h"
#include "formats/raf.h"
#include "formats/rar.h"
#include "formats/riff.h"
#include "formats/sevenzip.h"
#include "formats/tiff.h"
#include "formats/x3f.h"
#include "formats/zip.h"
#include "util/byte_reader.h"

// The tests run in one fixed order; the first that decides ends the classification. Most
// tests depend on the first byte, so they are grouped by it: within one first byte the
// order is kept, and tests for different first bytes can never both match, so grouping
// gives the same answer as running the list top to bottom. Only the Jet test (offset 4),
// the 192-byte transport-stream test (bytes 4, 196, 388) and the FAT directory walk look
// elsewhere; they sit at their place in the order.

namespace vellumark {

namespace {

constexpr std::size_t kFatEntryBytes = 32;

constexpr std::uint32_t kFatEndMarker = 0xFFFFFFFF;

template <std::size_t N>
[[nodiscard]] constexpr bool magicAt(Bytes s, std::size_t off, const std::array<std::uint8_t, N>& magic) {
  if (!fits(s, off, N)) return false;
  for (std::size_t i = 0; i < N; ++i)
    if (s[off + i] != magic[i]) return false;
  return true;
}

[[nodiscard]] constexpr std::uint64_t bitsOf(std::uint64_t v, unsigned high, unsigned low) {
  return (v >> low) & ((std::uint64_t{1} << (high - low + 1)) - 1);
}

[[nodiscard]] constexpr bool bitSet(std::uint64_t v, unsigned bit) { return ((v >> bit) & 1u) != 0; }

// ---- tests 1..4: JPEG, GIF, bitmap, OLE2 -------------------------------------------------

// Returns true when one of the first tests decided; the code is in `code`.
[[nodiscard]] bool classifyLeadingSignatures(Bytes s, std::uint8_t& code) {
  switch (u8At(s, 0)) {
    case 0xFF:
      if (magicAt(s, 0, jpeg::kSignature)) {
        const std::uint8_t marker = u8At(s, jpeg::kFirstMarkerCodeOffset);
        code = (marker == jpeg::kMarkerApp0 || marker == jpeg::kMarkerApp1) ? kTypeJpegApp : kTypeJpegOther;
        return true;
      }
      return false;
    case 'G':
      if (bytesEqual(s, 0, "GIF89a")) {
        code = kTypeGif;
        return true;
      }
      return false;
    case 'B':
      if (bytesEqual(s, 0, bmp::kSignature)) {
        code = le32(s, bmp::kReservedOffset) == 0 ? kTypeBmp : kTypeNone;
        return true;
      }
      return false;
    case 0xD0:
      if (magicAt(s, 0, ole2::kSignature)) {
        code = kTypeOle2;
        return true;
      }
      return false;
    default:
      return false;
  }
}

// ---- tests 6..9: RIFF, ASF, ISO media, MPEG pack header ---------------------------------

[[nodiscard]] std::uint8_t riffFormCode(Bytes s) {
  using namespace riff;
  if (bytesEqual(s, kFormTypeOffset, kFormAvi)) return kTypeAvi;
  if (bytesEqual(s, kFormTypeOffset, kFormCdxa)) return kTypeCdxa;
  if (bytesEqual(s, kFormTypeOffset, kFormWave)) return kTypeWave;
  if (bytesEqual(s, kFormTypeOffset, kFormAcon)) return kTypeAcon;
  if (bytesEqualNoCase(s, kFormTypeOffset, kFormCdr)) return kTypeCdrRiff;
  return kTypeNone;
}

[[nodiscard]] std::uint8_t isoMediaCode(Bytes s) {
  if (bytesEqual(s, iso_media::kMajorBrandOffset, iso_media::kBrand3gp)) return kTypeIso3gp;
  if (bytesEqual(s, iso_media::kMajorBrandOffset, iso_media::kBrandMp4)) return kTypeIsoMp4;
  return kTypeIsoOther;
}

// Code of an MPEG program-stream pack header at offset 0, or 0. Never decides on its own.
[[nodiscard]] std::uint8_t mpegPackCode(Bytes s) {
  if (be32(s, 0) != mpeg::kPackStartCode) return kTypeNone;
  const std::uint8_t b4 = u8At(s, mpeg::kPackFieldsOffset);
  if (mpeg::isMpeg2PackByte(b4)) {
    const std::int64_t c = mpeg2PackClock(s);
    if (c < 0 || c >= mpeg::kMpeg2EarlyClockLimit) return kTypeNone;
    return c == 0 ? kTypeMpeg2PackZero : kTypeMpeg2PackEarly;
  }
  if (mpeg::isMpeg1PackByte(b4)) {
    const std::int64_t c = mpeg1PackClock(s);
    if (c < 0) return kTypeNone;
    return c == 0 ? kTypeMpeg1PackZero : kTypeMpeg1PackLater;
  }
  return kTypeNone;
}

// Returns true when one of the tests decided (code in `code`); otherwise `tentative` may
// have been set by the MPEG pack test.
[[nodiscard]] bool classifyContainers(Bytes s, std::uint8_t& code, std::uint8_t& tentative) {
  switch (u8At(s, 0)) {
    case 'R':
      if (bytesEqual(s, 0, riff::kRiffId)) {
        code = riffFormCode(s);
        return true;
      }
      return false;
    case 0x30:
      if (magicAt(s, 0, asf::kHeaderObject)) {
        code = magicAt(s, asf::kFilePropertiesOffset, asf::kFilePropertiesObject) ? kTypeAsfDeclared : kTypeAsfObjects;
        return true;
      }
      return false;
    case 0x00:
      if (u8At(s, 1) == 0 && bytesEqual(s, iso_media::kTypeOffset, iso_media::kFileTypeBox)) {
        code = isoMediaCode(s);
        return true;
      }
      tentative = mpegPackCode(s);
      return false;
    default:
      return false;
  }
}

// ---- test 10: transport stream in 192-byte packets ---------------------------------------

[[nodiscard]] bool isTsStep(std::uint32_t from, std::uint32_t to) {
  const std::uint32_t d = (to - from) & mpeg::kArrivalTimeMask;
  return d >= 1 && d <= mpeg::kMaxArrivalStep;
}

[[nodiscard]] bool classifyTs192(Bytes s, std::uint8_t& code) {
  using namespace mpeg;
  constexpr std::size_t kUnit = kTimestampedUnitBytes;
  if (u8At(s, kUnitSyncOffset) != kSyncByte || u8At(s, kUnit + kUnitSyncOffset) != kSyncByte ||
      u8At(s, 2 * kUnit + kUnitSyncOffset) != kSyncByte)
    return false;
  const std::uint32_t t0 = be32(s, 0);
  const std::uint32_t t1 = be32(s, kUnit);
  const std::uint32_t t2 = be32(s, 2 * kUnit);
  if (!isTsStep(t0, t1) || !isTsStep(t1, t2)) return false;
  code = t0 == 0 ? kTypeTs192Zero : kTypeTs192Later;
  return true;
}

// ---- tests 22..23: NTFS FILE and INDX records --------------------------------------------

[[nodiscard]] constexpr bool inRange(std::uint32_t v, std::uint32_t lo, std::uint32_t hi) { return v >= lo && v <= hi; }

// Returns true when the FILE record test decided (code in `code`).
[[nodiscard]] bool classifyNtfsFileRecord(Bytes s, std::uint8_t tentative, std::uint8_t& code) {
  if (!bytesEqual(s, 0, "FILE")) return false;
  const std::uint16_t usaOffset = le16(s, 4);
  const std::uint16_t usaCount = le16(s, 6);
  const std::uint16_t firstAttr = le16(s, 20);
  const std::uint32_t bytesInUse = le32(s, 24);
  const std::uint32_t bytesAllocated = le32(s, 28);
  if (!inRange(usaOffset, 40, 96) || !inRange(usaCount, 1, 96) || !inRange(firstAttr, 48, 96) ||
      bytesInUse > bytesAllocated || bytesAllocated == 0 || bytesAllocated % 512 != 0)
    return false;
  code = tentative;
  if (static_cast<std::uint32_t>(usaOffset) + usaCount > firstAttr) return true;
  const std::uint32_t attrType = le32(s, firstAttr);
  if (attrType == kFatEndMarker) {
    code = kTypeFsMetadata;
  } else if (inRange(attrType, 16, 512) && inRange(le32(s, firstAttr + 4u), 8, 4096)) {
    code = kTypeFsMetadata;
  }
  return true;
}

[[nodiscard]] bool isNtfsIndexRecord(Bytes s) {
  if (!bytesEqual(s, 0, "INDX")) return false;
  const std::uint32_t entriesEnd = le32(s, 28);
  const std::uint32_t allocated = le32(s, 32);
  return inRange(le16(s, 4), 40, 96) && inRange(le16(s, 6), 1, 96) && entriesEnd <= allocated && allocated != 0 &&
         (static_cast<std::uint64_t>(allocated) + 24) % 512 == 0;
}

// ---- tests 11..23, grouped by first byte -------------------------------------------------

[[nodiscard]] bool isTiffMagic(Bytes s) {
  const std::uint32_t m = be32(s, 0);
  for (std::uint32_t magic : tiff::kLittleEndianMagics)
    if (m == magic) return true;
  for (std::uint32_t magic : tiff::kBigEndianMagics)
    if (m == magic) return true;
  return false;
}

// Returns true when a test decided (code in `code`).
[[nodiscard]] bool classifyByFirstByte(Bytes s, std::uint8_t tentative, std::uint8_t& code) {
  auto decide = [&code](std::uint8_t c) {
    code = c;
    return true;
  };
  switch (u8At(s, 0)) {
    case mpeg::kSyncByte: {
      constexpr std::size_t kPacket = mpeg::kPacketBytes;
      constexpr std::uint8_t kSync = mpeg::kSyncByte;
      if (u8At(s, kPacket) == kSync && u8At(s, 2 * kPacket) == kSync && u8At(s, 1) != kSync &&
          u8At(s, kPacket + 1) != kSync && u8At(s, 2 * kPacket + 1) != kSync)
        return decide(kTypeTs188);
      return false;
    }
    case 0x89:
      return be32(s, 0) == png::kMagic && decide(kTypePng);
    case 'I':
      if (bytesEqual(s, 0, "ID3")) return decide(kTypeMp3Id3);
      if (isTiffMagic(s)) return decide(kTypeTiff);
      return isNtfsIndexRecord(s) && decide(kTypeFsMetadata);
    case 'M':
      if (isTiffMagic(s)) return decide(kTypeTiff);
      return bytesEqual(s, 0, cab::kSignature) && le16(s, cab::kVersionOffset) == cab::kVersion && decide(kTypeCab);
    case 'F':
      if (bytesEqual(s, 0, x3f::kSignature)) return decide(kTypeX3f);
      if (bytesEqual(s, 0, raf::kSignature)) return decide(kTypeRaf);
      return classifyNtfsFileRecord(s, tentative, code);
    case 'R':
      return magicAt(s, 0, rar::kMarker) && decide(kTypeRar);
    case 'P':
      if (le32(s, 0) != zip::kLocalHeader) return false;
      if (bytesEqual(s, zip::kLocalNameOffset, zip::kOoxmlFirstEntry)) return decide(kTypeOoxml);
      if (bytesEqual(s, zip::kLocalNameOffset, zip::kCdrFirstEntry)) return decide(kTypeCdrZip);
      return decide(kTypeZip);
    case '7':
      return sevenzip::isSignatureHeader(s) && decide(kType7z);
    case '%':
      return bytesEqual(s, 0, pdf::kHeader) && decide(kTypePdf);
    default:
      return false;
  }
}

// ---- test 24: FAT directory sector -------------------------------------------------------

enum class EntryVerdict : std::uint8_t { Reject, Skip, Deleted, Valid };

[[nodiscard]] EntryVerdict judgeFatEntry(Bytes s, std::size_t at) {
  const std::uint8_t first = s[at];
  if (first == 0xE5) return EntryVerdict::Deleted;
  const std::uint8_t attr = s[at + 11];
  if ((attr & 0xF0) > 0x30) return EntryVerdict::Reject;
  if ((attr & 0x10) != 0 && le32(s, at + 28) != 0) return EntryVerdict::Reject;
  if (attr == 0x0F) return EntryVerdict::Skip;
  if (first <= 0x20) return EntryVerdict::Reject;
  const std::uint16_t date = le16(s, at + 24);
  const unsigned month = (date >> 5) & 0x0F;
  if ((date >> 9) < 5 || month < 1 || month > 12 || (date & 0x1F) == 0) return EntryVerdict::Reject;
  for (std::size_t i = 1; i <= 10; ++i)
    if (!isNameChar(s[at + i])) return EntryVerdict::Reject;
  return EntryVerdict::Valid;
}

[[nodiscard]] bool restIsFree(Bytes s, std::size_t from) {
  for (std::size_t at = from; at + kFatEntryBytes <= s.size(); at += kFatEntryBytes)
    if (s[at] != 0x00) return false;
  return true;
}

[[nodiscard]] bool isFatDirectorySector(Bytes s) {
  unsigned score = 0;
  for (std::size_t at = 0; at + kFatEntryBytes <= s.size(); at += kFatEntryBytes) {
    if (s[at] == 0x00) {
      if (!restIsFree(s, at + kFatEntryBytes)) return false;
      break;
    }
    switch (judgeFatEntry(s, at)) {
      case EntryVerdict::Reject: return false;
      case EntryVerdict::Skip: break;
      case EntryVerdict::Deleted: score += 1; break;
      case EntryVerdict::Valid: score += 2; break;
    }
  }
  return score >= 2;
}

[[nodiscard]] std::uint8_t classifyAtLeast512(Bytes s) {
  std::uint8_t code = kTypeNone;
  if (classifyLeadingSignatures(s, code)) return code;
  if (u8At(s, 4) == 'S' && bytesEqual(s, 4, "Standard Jet DB")) return kTypeJet;
  std::uint8_t tentative = kTypeNone;
  if (classifyContainers(s, code, tentative)) return code;
  if (classifyTs192(s, code)) return code;
  if (classifyByFirstByte(s, tentative, code)) return code;
  if (isFatDirectorySector(s)) return kTypeFsMetadata;
  return tentative;
}

}  // namespace

std::uint8_t classifySector(std::span<const std::uint8_t> sector) {
  constexpr std::size_t kMinSector = 512;
  if (sector.size() >= kMinSector) return classifyAtLeast512(sector);
  // A short buffer reads as if padded with zero bytes up to 512.
  std::array<std::uint8_t, kMinSector> padded{};
  for (std::size_t i = 0; i < sector.size(); ++i) padded[i] = sector[i];
  return classifyAtLeast512(padded);
}

std::int64_t mpeg2PackClock(std::span<const std::uint8_t> sector) {
  const std::uint64_t v = be64(sector, 4);
  if (!bitSet(v, 58) || !bitSet(v, 42) || !bitSet(v, 26)) return -1;
  return static_cast<std::int64_t>((bitsOf(v, 61, 59) << 30) | (bitsOf(v, 57, 43) << 15) | bitsOf(v, 41, 27));
}

std::int64_t mpeg1PackClock(std::span<const std::uint8_t> sector) {
  const std::uint64_t v = be64(sector, 4);
  if (!bitSet(v, 56) || !bitSet(v, 40) || !bitSet(v, 24)) return -1;
  return static_cast<std::int64_t>((bitsOf(v, 60, 57) << 30) | (bitsOf(v, 55, 41) << 15) | bitsOf(v, 39, 25));
}

bool isNameChar(std::uint8_t c) {
  if (c <= 0x1F || c == 0xFF) return false;
  switch (c) {
    case '\\': case '/': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
      return false;
    default:
      return true;
  }
}

}  // namespace vellumark
