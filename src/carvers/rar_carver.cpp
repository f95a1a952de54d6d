#include <algorithm>

#include "carvers/archive_carvers.h"
#include "carvers/carver_framework.h"
#include "formats/rar.h"

namespace vellumark {

void carveRar(CarveContext& ctx, std::int64_t startOffset) {
  Carve carve(ctx, startOffset);
  if (!carve.started()) return;
  const Bytes first = carve.bytes();
  if (!std::equal(rar::kMarker.begin(), rar::kMarker.end(), first.begin())) return carve.reject("no RAR marker");
  const std::int64_t bps = carve.bytesPerSector();
  // Lengths are unsigned and at most 2^32 + 2^16: positions only grow and never wrap.
  std::int64_t pos = static_cast<std::int64_t>(rar::kMarker.size());
  for (;;) {
    const Bytes header = carve.need(pos, rar::kBlockHeaderBytes);
    if (header.empty()) return;
    const std::uint8_t type = header[rar::kTypeOffset];
    std::int64_t length = le16(header, rar::kHeaderSizeOffset);
    if ((le16(header, rar::kFlagsOffset) & rar::kHasAddedSize) != 0) {
      const auto added = carve.le32At(pos + static_cast<std::int64_t>(rar::kAddedSizeOffset));
      if (!added) return;
      length += *added;
    }
    if (length == 0) return carve.reject("a RAR block of length 0");
    if (type < rar::kFirstBlockType || type > rar::kEndOfArchive) return carve.reject("an unknown RAR block type");
    const std::int64_t end = pos + length;
    // The body is claimed without being read, up to the sector that holds its last byte.
    const std::int64_t unreadUpTo = (end - 1) / bps * bps;
    if (unreadUpTo - carve.filled() >= bps && !carve.claimUpTo(unreadUpTo)) return;
    if (!carve.fetchUpTo(end)) return;
    pos = end;
    carve.discardBefore(pos);
    if (type == rar::kEndOfArchive) break;
  }
  carve.accept();
}

}  // namespace vellumark
