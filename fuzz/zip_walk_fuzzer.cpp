// The shared ZIP record walk and the whole-archive check, on a carve over the input, and
// the raw inflater on the input itself.
//
// Input: byte 0 chooses how much of the file the walk holds in memory (0: all of it; n:
// n * 512 bytes, so that the walk must trace what it drops), then the file from its first
// local header, laid out in 512-byte sectors.

#include <cstdint>
#include <cstdlib>
#include <span>

#include "carvers/carver_framework.h"
#include "carvers/zip_walk.h"
#include "driver/carve_services.h"
#include "fuzz_support.h"
#include "scan/front_end.h"

namespace {

constexpr std::size_t kMaxImageBytes = 1 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vellumark;
  if (size < 2) return 0;
  const std::span<const std::uint8_t> file(data + 1, std::min(size - 1, kMaxImageBytes));
  (void)zip::inflateRaw(file, 1 << 24);

  ScanState state;
  fuzz::openForCarving(state, fuzz::sectorImage(file, 512), 512, 1);
  SilentFrontEnd frontEnd;
  ScanCarveServices services(state, frontEnd);
  Carve carve(services.context(), 0);
  // The walk's precondition, as the carvers check it.
  if (!carve.started() || le32(carve.bytes(), 0) != zip::kLocalHeader) return 0;
  zip::WalkOptions options;
  options.maxInflatedBytes = 1 << 24;
  if (data[0] != 0) {
    options.holdBytes = std::int64_t{data[0]} * 512;
    options.holdPast = [&](const zip::Archive& archive) { return archive.locals.size() % 2 == 1; };
  }
  const zip::WalkResult walk = zip::walkArchive(carve, options);
  if (walk.stop != zip::WalkStop::End) return 0;
  (void)zip::beganInsideArchive(walk.archive);
  if (carve.keptFrom() == 0 && carve.bytes().size() >= static_cast<std::size_t>(walk.archive.length))
    (void)zip::checkArchive(carve.bytes().first(static_cast<std::size_t>(walk.archive.length)), walk.archive);
  return 0;
}
