#include "carvers/carver_registry.h"

#include "carvers/archive_carvers.h"
#include "carvers/asf_carvers.h"
#include "carvers/bmp_carver.h"
#include "carvers/compound_file.h"
#include "carvers/iso_media_carver.h"
#include "carvers/jpeg_carver.h"
#include "carvers/mpeg_carvers.h"
#include "carvers/ole2_carver.h"
#include "carvers/ooxml_carver.h"
#include "carvers/pdf_carver.h"
#include "carvers/png_carver.h"
#include "carvers/raf_carver.h"
#include "carvers/riff_carver.h"
#include "carvers/tiff_carver.h"
#include "carvers/x3f_carver.h"
#include "carvers/zip_walk_memory.h"
#include "scan/type_codes.h"

namespace vellumark {

namespace {

struct CarverEntry {
  std::uint8_t code;
  CarverFn mainPass;     // second pass, highest candidate first
  CarverFn finalSweep;   // the sweep after it
};

// Every carver plugs in here, by the type code of the candidates it takes. (File-system
// metadata, code 100, needs no carver: the driver claims the rest of its cluster.)
constexpr CarverEntry kCarvers[] = {
    {kTypeJpegApp, carveJpeg, nullptr},
    {kTypeJpegOther, nullptr, carveJpeg},   // only once everything else is traced
    {kTypeBmp, carveBmp, nullptr},
    {kTypePng, carvePng, nullptr},
    {kTypeTiff, carveTiff, nullptr},
    {kTypeX3f, carveX3f, nullptr},
    {kTypeRaf, carveRaf, nullptr},
    {kTypeOle2, carveOle2, nullptr},
    {kTypeOoxml, carveOoxml, nullptr},
    {kTypePdf, carvePdf, nullptr},
    {kTypeRar, carveRar, nullptr},
    {kTypeCab, carveCab, nullptr},
    {kType7z, carve7z, nullptr},
    {kTypeCdrRiff, carveCdrRiff, nullptr},
    // A package whose first entry is not "[Content_Types].xml" is classified as a plain ZIP:
    // the archive tracer saves those that are documents.
    {kTypeZip, carveZip, nullptr},
    {kTypeCdrZip, carveCdrZip, nullptr},
    {kTypeAvi, carveRiff, nullptr},
    {kTypeWave, carveRiff, nullptr},
    {kTypeAcon, carveRiff, nullptr},
    {kTypeCdxa, carveRiff, nullptr},
    {kTypeIsoMp4, carveIsoMedia, nullptr},
    {kTypeIso3gp, carveIsoMedia, nullptr},
    {kTypeIsoOther, carveIsoMedia, nullptr},
    {kTypeAsfDeclared, carveAsfDeclared, nullptr},
    {kTypeAsfObjects, carveAsfObjects, nullptr},
    {kTypeMpeg1PackZero, carveMpegProgram, nullptr},
    {kTypeTs192Zero, carveMpegTransport, nullptr},
};

const CarverEntry* entryFor(std::uint8_t code) {
  for (const CarverEntry& e : kCarvers)
    if (e.code == code) return &e;
  return nullptr;
}

}  // namespace

CarverFn mainPassCarver(std::uint8_t code) {
  const CarverEntry* e = entryFor(code);
  return e ? e->mainPass : nullptr;
}

// Compound documents confirmed whole by their own structures. Packages confirmed whole: those the classifier knows as documents, and ZIPs whose first entry
// is another part (the central directory decides).
CarverFn confirmedPassCarver(std::uint8_t code) {
  if (code == kTypeOle2) return carveOle2Confirmed;
  return code == kTypeOoxml || code == kTypeZip ? carveOoxmlConfirmed : nullptr;
}

// The ZIP-based carvers check where a local record claims to end before they fetch it.
std::int64_t firstLookAhead(std::uint8_t code, std::span<const std::uint8_t> sector) {
  if (code == kTypeOle2) return cfb::directoryLinkAhead(sector);
  if (code != kTypeOoxml && code != kTypeZip && code != kTypeCdrZip) return -1;
  const std::optional<zip::PlainLocalHeader> plain = zip::plainLocalHeader(sector);
  return plain ? plain->recordBytes() : -1;
}

// A compound file's header: the first FAT sector it lists, which most headers of noise place
// out of reach, and how many sectors after it hold no FAT. A picture: whether its first
// structures fail within the sector. A package or another ZIP: where its first record ends,
// and whether the search for its clusters would refuse the first.
std::uint64_t candidateNote(std::uint8_t code, std::span<const std::uint8_t> sector, std::span<const std::uint8_t> following) {
  switch (code) {
    case kTypeOle2: return cfb::headerNote(sector, following);
    case kTypeJpegApp:
    case kTypeJpegOther: return jpegNote(sector);
    case kTypePng: return pngNote(sector);
    case kTypeOoxml:
    case kTypeZip: return ooxmlNote(sector);
    default: return 0;
  }
}

bool wantedByLooks(std::span<const std::uint8_t> sector) { return cfb::mayHoldFatSector(sector); }

CarverFn finalSweepCarver(std::uint8_t code) {
  const CarverEntry* e = entryFor(code);
  return e ? e->finalSweep : nullptr;
}

}  // namespace vellumark
