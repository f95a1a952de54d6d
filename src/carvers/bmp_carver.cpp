#include "carvers/bmp_carver.h"

#include "carvers/carver_framework.h"
#include "formats/bmp.h"

namespace vellumark {

void carveBmp(CarveContext& ctx, std::int64_t startOffset) {
  Carve carve(ctx, startOffset);
  if (!carve.started()) return;
  const Bytes b = carve.bytes();
  if (!bytesEqual(b, 0, bmp::kSignature) || !fits(b, bmp::kReservedOffset, 4) || le32(b, bmp::kReservedOffset) != 0) return;
  const std::uint32_t size = le32(b, bmp::kFileSizeOffset);
  if (size >= bmp::kMinFileBytes && size <= bmp::kMaxFileBytes) (void)carve.claimUpTo(size);
  carve.accept();
}

}  // namespace vellumark
