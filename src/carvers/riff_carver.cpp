#include "carvers/riff_carver.h"

#include <algorithm>

#include "carvers/window_walk.h"
#include "formats/riff.h"

namespace vellumark {

namespace {

using namespace riff;

[[nodiscard]] bool isTopLevelChunk(Bytes header) {
  return std::any_of(kTopLevelChunks.begin(), kTopLevelChunks.end(),
                     [&](std::string_view id) { return bytesEqual(header, 0, id); });
}

}  // namespace

// A LIST chunk is stepped over whole; a further RIFF header (an AVI extension part) is
// walked into. The walk ends at the first chunk it does not know or one of size 0.
void carveRiff(CarveContext& ctx, std::int64_t startOffset) {
  Carve carve(ctx, startOffset);
  if (!carve.started() || !bytesEqual(carve.bytes(), 0, kRiffId)) return;

  WindowWalk walk(carve);
  if (!walk.stepOver(kRiffHeaderBytes)) return;
  for (;;) {
    if (!walk.need(kWalkHeaderBytes)) return;
    const Bytes header = walk.here();
    if (bytesEqual(header, 0, kRiffId)) {
      if (!walk.stepOver(kRiffHeaderBytes)) return;
      continue;
    }
    if (!isTopLevelChunk(header)) break;
    const std::uint32_t size = le32(header, kChunkSizeOffset);
    if (size == 0) break;
    // In 64 bits: a size near 2^32 is a chunk longer than 4 GiB, not a short one.
    if (!walk.stepOver(std::uint64_t{size} + kChunkHeaderBytes)) return;
    // Writers pad an odd-sized chunk with one zero byte that its size does not count; a
    // chunk identifier never begins with 0, so a zero byte here is that pad and is stepped
    // over (a writer that does not pad has the next chunk's identifier here instead).
    if (size % 2 == 1) {
      if (!walk.need(1)) return;
      if (walk.here()[0] == 0 && !walk.stepOver(1)) return;
    }
  }
  walk.finish();
}

}  // namespace vellumark
