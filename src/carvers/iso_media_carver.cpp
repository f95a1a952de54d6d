#include "carvers/iso_media_carver.h"

#include <algorithm>

#include "carvers/window_walk.h"
#include "formats/iso_media.h"

namespace vellumark {

namespace {

using namespace iso_media;

// A size of 2^63 or more cannot be a box of any file; such a header ends the file.
constexpr std::uint64_t kMaxBoxBytes = std::uint64_t{1} << 63;

[[nodiscard]] bool isTopLevelBox(Bytes header) {
  return std::any_of(kTopLevelBoxes.begin(), kTopLevelBoxes.end(),
                     [&](std::string_view type) { return bytesEqual(header, kTypeOffset, type); });
}

// Size of the box whose header is held at the start of `header`, with its 64-bit form when
// the 32-bit field says so (the caller has made 16 bytes available then).
[[nodiscard]] std::uint64_t boxSize(Bytes header) {
  const std::uint32_t size = be32(header, 0);
  return size == kLargeSizeMarker ? be64(header, kLargeSizeOffset) : size;
}

}  // namespace

void carveIsoMedia(CarveContext& ctx, std::int64_t startOffset) {
  Carve carve(ctx, startOffset);
  if (!carve.started()) return;
  const Bytes first = carve.bytes();
  if (be16(first, 0) != 0 || !bytesEqual(first, kTypeOffset, kFileTypeBox)) return;
  const std::uint64_t fileTypeBytes = boxSize(first);
  if (fileTypeBytes < kHeaderBytes || fileTypeBytes >= kMaxFileTypeBoxBytes) return;

  WindowWalk walk(carve);
  if (!walk.stepOver(fileTypeBytes)) return;
  for (;;) {
    if (!walk.need(kHeaderBytes)) return;
    if (!isTopLevelBox(walk.here())) break;
    if (be32(walk.here(), 0) == kLargeSizeMarker && !walk.need(kLargeHeaderBytes)) return;
    const std::uint64_t size = boxSize(walk.here());
    if (size == 0 || size >= kMaxBoxBytes) break;
    if (!walk.stepOver(size)) return;
  }
  walk.finish();
}

}  // namespace vellumark
