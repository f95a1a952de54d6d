#include "carvers/asf_carvers.h"

#include <algorithm>

#include "carvers/window_walk.h"
#include "formats/asf.h"

namespace vellumark {

namespace {

using namespace asf;

[[nodiscard]] bool guidAt(Bytes b, std::size_t offset, const Guid& guid) {
  return fits(b, offset, guid.size()) && std::equal(guid.begin(), guid.end(), b.begin() + static_cast<std::ptrdiff_t>(offset));
}

[[nodiscard]] bool inObjectFamily(Bytes header) {
  if (!fits(header, 0, kObjectHeaderBytes)) return false;
  return std::any_of(kObjectFamilies.begin(), kObjectFamilies.end(),
                     [&](const FamilyTail& tail) { return std::equal(tail.begin(), tail.end(), header.begin() + 1); });
}

[[nodiscard]] bool isIndexObject(Bytes header) {
  return std::any_of(kIndexObjects.begin(), kIndexObjects.end(), [&](const Guid& g) { return guidAt(header, 0, g); });
}

[[nodiscard]] bool validObjectSize(std::uint64_t size) { return size > kObjectHeaderBytes && size <= kMaxBytes; }

}  // namespace

// A file cut short by the end of the scan range is still taken, as far as it goes.
void carveAsfDeclared(CarveContext& ctx, std::int64_t startOffset) {
  Carve carve(ctx, startOffset);
  if (!carve.started()) return;
  const Bytes first = carve.bytes();
  if (!guidAt(first, 0, kHeaderObject) || !guidAt(first, kFilePropertiesOffset, kFilePropertiesObject)) return;
  const std::uint64_t fileSize = le64(first, kFileSizeOffset);
  if (fileSize > kMaxBytes) return;
  static_cast<void>(carve.claimUpTo(static_cast<std::int64_t>(fileSize)));
  carve.accept();
}

// Every object after the Header Object must belong to one of the two families and have a
// plausible size, or the carve fails; the Data Object ends the file. The index objects that
// writers put after it belong to the file as well: they are walked over as far as they go,
// and anything else there ends the file.
void carveAsfObjects(CarveContext& ctx, std::int64_t startOffset) {
  Carve carve(ctx, startOffset);
  if (!carve.started() || !guidAt(carve.bytes(), 0, kHeaderObject)) return;

  WindowWalk walk(carve);
  for (bool firstObject = true;; firstObject = false) {
    if (!walk.need(kObjectHeaderBytes)) return;
    const Bytes header = walk.here();
    if (!firstObject && !inObjectFamily(header)) return;
    const std::uint64_t size = le64(header, kObjectSizeOffset);
    if (!validObjectSize(size)) return;
    const bool dataObject = !firstObject && header[0] == kDataObjectFirstByte;
    if (!walk.stepOver(size)) return;
    if (dataObject) break;
  }
  while (walk.need(kObjectHeaderBytes) && isIndexObject(walk.here())) {
    const std::uint64_t size = le64(walk.here(), kObjectSizeOffset);
    if (!validObjectSize(size) || !walk.stepOver(size)) break;
  }
  walk.finish();
}

}  // namespace vellumark
