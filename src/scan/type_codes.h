#pragma once
// The type codes of the sector classifier: what kind of file or structure begins in a sector.

#include <cstdint>
#include <string_view>

namespace vellumark {

enum TypeCode : std::uint8_t {
  kTypeNone = 0,
  kTypeJpegApp = 1,          // JPEG whose first marker is APP0 or APP1
  kTypeJpegOther = 2,        // JPEG with another first marker (final sweep)
  kTypeGif = 3,
  kTypeBmp = 4,
  kTypeOle2 = 5,
  kTypeJet = 6,
  kTypeAvi = 7,
  kTypeMp3Id3 = 8,
  kTypePng = 9,
  kTypeWave = 10,
  kTypeAcon = 11,
  kTypeCdxa = 12,
  kTypeAsfDeclared = 13,
  kTypeTiff = 14,
  kTypeRar = 15,
  kTypeZip = 16,
  kTypeCab = 17,
  kType7z = 18,
  kTypeIsoMp4 = 19,
  kTypeAsfObjects = 20,
  kTypeOoxml = 21,
  kTypePdf = 22,
  kTypeIso3gp = 23,
  kTypeIsoOther = 24,
  kTypeX3f = 25,
  kTypeRaf = 26,
  kTypeCdrRiff = 27,
  kTypeCdrZip = 28,
  kTypeMpeg2PackZero = 29,
  kTypeMpeg2PackEarly = 30,
  kTypeMpeg1PackZero = 31,
  kTypeMpeg1PackLater = 32,
  kTypeTs192Zero = 33,
  kTypeTs192Later = 34,
  kTypeTs188 = 35,
  kTypeFsMetadata = 100,     // NTFS FILE/INDX record or FAT directory sector
};

// Short lower-case name of a code ("jpeg", "ole2", "fs-metadata", ...); "unknown" otherwise.
[[nodiscard]] std::string_view typeCodeName(std::uint8_t code);

// Codes the first pass does not record as candidates.
[[nodiscard]] constexpr bool isUnrecordedCode(std::uint8_t code) {
  return code == kTypeMpeg2PackZero || code == kTypeMpeg2PackEarly || code == kTypeMpeg1PackLater ||
         code == kTypeTs192Later || code == kTypeTs188;
}

}  // namespace vellumark
