#include "carvers/raf_carver.h"

#include <algorithm>

#include "carvers/carver_framework.h"
#include "formats/raf.h"

namespace vellumark {

void carveRaf(CarveContext& ctx, std::int64_t startOffset) {
  Carve carve(ctx, startOffset);
  if (!carve.started()) return;
  const Bytes b = carve.bytes();
  if (!bytesEqual(b, 0, raf::kSignature) || !fits(b, raf::kSecondLengthOffset, 4)) return;
  std::int64_t end = std::int64_t{be32(b, raf::kRawOffsetOffset)} + be32(b, raf::kRawLengthOffset);
  if (be32(b, raf::kSecondBlockMarkerOffset) == raf::kSecondBlockMarker)
    end = std::max(end, std::int64_t{be32(b, raf::kSecondOffsetOffset)} + be32(b, raf::kSecondLengthOffset));
  if (end > raf::kMaxFileBytes) return;
  // A file cut short by the end of the range keeps what it has.
  (void)carve.claimUpTo(end);
  carve.accept();
}

}  // namespace vellumark
