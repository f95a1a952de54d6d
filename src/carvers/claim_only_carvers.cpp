// Archives and drawings whose header gives their whole length: after the first sector
// nothing is read, the sectors are only claimed.

#include "carvers/archive_carvers.h"
#include "carvers/carver_framework.h"
#include "formats/cab.h"
#include "formats/riff.h"
#include "formats/sevenzip.h"

namespace vellumark {

void carveCab(CarveContext& ctx, std::int64_t startOffset) {
  Carve carve(ctx, startOffset);
  if (!carve.started()) return;
  const Bytes first = carve.bytes();
  if (!bytesEqual(first, 0, cab::kSignature)) return carve.reject("no MSCF signature");
  // A cabinet cut short by the end of the range keeps what it reached.
  (void)carve.claimUpTo(le32(first, cab::kCabinetSizeOffset));
  carve.accept();
}

void carve7z(CarveContext& ctx, std::int64_t startOffset) {
  Carve carve(ctx, startOffset);
  if (!carve.started()) return;
  const Bytes first = carve.bytes();
  if (!sevenzip::isSignatureHeader(first)) return carve.reject("no 7-Zip signature header");
  const std::uint64_t offset = le64(first, sevenzip::kNextHeaderOffsetOffset);
  const std::uint64_t size = le64(first, sevenzip::kNextHeaderSizeOffset);
  const auto limit = static_cast<std::uint64_t>(sevenzip::kMaxArchiveBytes);
  // Each part is bounded before they are added, so no sum can wrap.
  if (offset > limit || size > limit || offset + size + sevenzip::kSignatureHeaderBytes > limit)
    return carve.reject("a 7-Zip archive longer than 20 GiB");
  (void)carve.claimUpTo(static_cast<std::int64_t>(offset + size) + sevenzip::kSignatureHeaderBytes);
  carve.accept();
}

void carveCdrRiff(CarveContext& ctx, std::int64_t startOffset) {
  Carve carve(ctx, startOffset);
  if (!carve.started()) return;
  const Bytes first = carve.bytes();
  if (!bytesEqual(first, 0, riff::kRiffId)) return carve.reject("no RIFF header");
  const std::int64_t length = std::int64_t{le32(first, riff::kChunkSizeOffset)} + riff::kChunkHeaderBytes;
  // A drawing that fits in its first sector is no drawing this tracer keeps.
  if (length <= carve.filled()) return carve.reject("a RIFF length within the first sector");
  if (!carve.claimUpTo(length)) return;
  carve.accept();
}

}  // namespace vellumark
