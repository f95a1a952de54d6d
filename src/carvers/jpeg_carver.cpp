#include "carvers/jpeg_carver.h"

#include <optional>

#include "carvers/carver_framework.h"
#include "carvers/jpeg_validation.h"
#include "formats/jpeg.h"

namespace vellumark {

namespace {

bool startsWithSignature(Bytes b) {
  if (!fits(b, 0, jpeg::kSignature.size())) return false;
  for (std::size_t i = 0; i < jpeg::kSignature.size(); ++i)
    if (b[i] != jpeg::kSignature[i]) return false;
  return true;
}

// Walks the marker segments from just after the start of image to the start-of-scan
// marker. Returns the file offset just past the start-of-scan length field, or empty when a
// marker is malformed or the file runs out. Every marker before the scan carries a length.
template <typename Source>
std::optional<std::int64_t> walkToScan(Source& carve) {
  std::int64_t pos = 2;
  for (;;) {
    if (!carve.fetchUpTo(pos + static_cast<std::int64_t>(jpeg::kMarkerHeaderBytes))) return std::nullopt;
    const Bytes b = carve.bytes();
    const auto at = static_cast<std::size_t>(pos);
    const std::uint8_t code = u8At(b, at + 1);
    const std::uint16_t length = be16(b, at + 2);
    if (u8At(b, at) != jpeg::kMarkerPrefix) return std::nullopt;
    pos += static_cast<std::int64_t>(jpeg::kMarkerHeaderBytes);
    if (code == jpeg::kMarkerStartOfScan) return pos;
    if (length <= jpeg::kSegmentLengthFieldBytes) return std::nullopt;
    pos += length - jpeg::kSegmentLengthFieldBytes;
    if (!carve.fetchUpTo(pos)) return std::nullopt;
  }
}

// Searches from pos for FF D9 (a run of FF bytes keeps the search armed), fetching one
// sector at a time so that nothing past the sector holding the end is claimed. Returns the
// file length, or empty when the range or the search limit ends first.
std::optional<std::int64_t> findEndOfImage(Carve& carve, std::int64_t pos) {
  bool afterPrefix = false;
  for (;;) {
    const Bytes b = carve.bytes();
    for (auto i = static_cast<std::size_t>(pos); i < b.size(); ++i) {
      if (afterPrefix && b[i] == jpeg::kMarkerEndOfImage) return static_cast<std::int64_t>(i) + 1;
      afterPrefix = b[i] == jpeg::kMarkerPrefix;
    }
    pos = static_cast<std::int64_t>(b.size());
    if (pos - 2 >= jpeg::kMaxSearchBytes) return std::nullopt;
    if (!carve.fetchUpTo(carve.filled() + carve.bytesPerSector())) return std::nullopt;
  }
}

}  // namespace

std::uint32_t jpegNote(Bytes firstSector) {
  if (!startsWithSignature(firstSector)) return 0;
  FirstSectorOnly carve(firstSector);
  if (walkToScan(carve)) return 0;
  return carve.note();
}

void carveJpeg(CarveContext& ctx, std::int64_t startOffset) {
  if (turnedDownByFirstSector(ctx, startOffset)) return;
  Carve carve(ctx, startOffset);
  if (!carve.started() || !startsWithSignature(carve.bytes())) return;
  const std::optional<std::int64_t> scan = walkToScan(carve);
  if (!scan) return;
  const std::optional<std::int64_t> length = findEndOfImage(carve, *scan);
  if (!length) return;
  const std::optional<JpegImageSize> size = validateJpeg(carve.bytes().first(static_cast<std::size_t>(*length)));
  // What does not decode is still not a document's: it keeps its sectors. A thumbnail is
  // part of the file that embeds it, which takes its sectors back.
  if (size && carve.thumbnailRules().isThumbnail(size->width, size->height)) return;
  carve.accept();
}

}  // namespace vellumark
