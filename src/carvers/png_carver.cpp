#include "carvers/png_carver.h"

#include "carvers/carver_framework.h"
#include "formats/png.h"
#include "util/crc32.h"

namespace vellumark {

namespace {

bool isChunkType(Bytes type) {
  for (std::uint8_t c : type)
    if (!isAsciiLetter(c)) return false;
  return true;
}

// Walks the chunks after the signature, checking each one's CRC-32, up to IEND (accepted).
template <typename Source>
void walkChunks(Source& carve) {
  std::int64_t pos = png::kSignatureBytes;
  for (;;) {
    const auto header = static_cast<std::int64_t>(png::kChunkHeaderBytes);
    if (!carve.fetchUpTo(pos + header)) return;
    const Bytes type = carve.bytes().subspan(static_cast<std::size_t>(pos - carve.keptFrom()) + png::kChunkTypeOffset,
                                             png::kChunkTypeBytes);
    if (!isChunkType(type)) return;
    const bool isEnd = bytesEqual(type, 0, "IEND");
    const std::int64_t dataLength = be32(carve.bytes(), static_cast<std::size_t>(pos - carve.keptFrom()));
    const std::int64_t length = dataLength + png::kCrcBytes;
    if (length > png::kMaxChunkBytes) return;
    const std::int64_t end = pos + header + length;
    if (end > png::kMaxFileBytes) return;
    if (!carve.fetchUpTo(end)) {
      // The file's last 12 bytes may run past the end of the range: the picture is whole.
      if (isEnd) carve.accept();
      return;
    }
    const Bytes held = carve.bytes();
    const auto typeAt = static_cast<std::size_t>(pos - carve.keptFrom()) + png::kChunkTypeOffset;
    const auto typeAndDataBytes = static_cast<std::size_t>(dataLength) + png::kChunkTypeBytes;
    if (crc32Of(held.subspan(typeAt, typeAndDataBytes)) != be32(held, typeAt + typeAndDataBytes)) return;
    if (isEnd) {
      carve.accept();
      return;
    }
    pos = end;
    // Chunk data is checked once; only what follows is kept.
    carve.discardBefore(pos);
  }
}

bool startsWithMagic(Bytes b) { return fits(b, 0, 4) && be32(b, 0) == png::kMagic; }

}  // namespace

std::uint32_t pngNote(Bytes firstSector) {
  if (!startsWithMagic(firstSector)) return 0;
  FirstSectorOnly carve(firstSector);
  walkChunks(carve);
  return carve.note();
}

void carvePng(CarveContext& ctx, std::int64_t startOffset) {
  if (turnedDownByFirstSector(ctx, startOffset)) return;
  Carve carve(ctx, startOffset);
  if (!carve.started() || !startsWithMagic(carve.bytes())) return;
  walkChunks(carve);
}

}  // namespace vellumark
