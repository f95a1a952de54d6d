#include "carvers/x3f_carver.h"

#include "carvers/carver_framework.h"
#include "formats/x3f.h"

namespace vellumark {

namespace {

// The word at p, of value v, ends the file when it points back at the directory header,
// which lies a whole number of 12-byte units (more than one, fewer than twenty) before it.
bool isDirectoryPointer(Bytes b, std::uint32_t p, std::uint32_t v) {
  const std::uint32_t d = p - v;
  return d % x3f::kDirectoryUnitBytes == 0 && d > x3f::kDirectoryUnitBytes && d < x3f::kMaxDirectoryBytes &&
         bytesEqual(b, v, x3f::kDirectorySignature);
}

}  // namespace

void carveX3f(CarveContext& ctx, std::int64_t startOffset) {
  Carve carve(ctx, startOffset);
  if (!carve.started() || !bytesEqual(carve.bytes(), 0, x3f::kSignature)) return;
  while (carve.filled() < x3f::kMaxFileBytes) {
    const std::int64_t from = carve.filled();
    if (!carve.fetchUpTo(from + carve.bytesPerSector())) return;
    const Bytes b = carve.bytes();
    for (auto p = static_cast<std::uint32_t>(from); p + 4 <= b.size(); p += 4) {
      if (isDirectoryPointer(b, p, le32(b, p))) {
        carve.accept();
        return;
      }
    }
  }
}

}  // namespace vellumark
