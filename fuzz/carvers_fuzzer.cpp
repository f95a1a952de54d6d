// Every carver of the table over a small image, through the services the scan driver uses.
//
// Input: byte 0 chooses the geometry (bit 0: 4096-byte sectors instead of 512; bits 1-2:
// 1, 2, 4 or 8 sectors per cluster; bit 3: keep damaged documents; bit 4: one sector cannot
// be read, sector 0 when bits 5-7 hold n = 0, else sector 8n - 1), byte 1 is the type code
// of the candidate (when no carver takes that code, the code the classifier gives the first
// sector), and the rest is the image from its first byte, zero-padded to whole sectors. The
// candidate is carved at offset 0 in the second pass, then once more in the final sweep.

#include <cstdint>
#include <cstdlib>
#include <span>

#include "carvers/carver_registry.h"
#include "driver/carve_services.h"
#include "fuzz_support.h"
#include "scan/front_end.h"
#include "scan/sector_classifier.h"

namespace {

constexpr std::size_t kMaxImageBytes = 1 << 20;

const vellumark::fuzz::OutputFolder kOutput("carvers");

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vellumark;
  if (size < 3) return 0;
  const std::uint32_t sectorBytes = (data[0] & 1) ? 4096 : 512;
  const std::uint32_t sectorsPerCluster = 1u << ((data[0] >> 1) & 3);
  const std::span<const std::uint8_t> rest(data + 2, std::min(size - 2, kMaxImageBytes));

  ScanState state;
  const int n = data[0] >> 5;
  const std::int64_t unreadable = (data[0] & 0x10) == 0 ? -1 : n == 0 ? 0 : 8 * n - 1;
  fuzz::openForCarving(state, fuzz::sectorImage(rest, sectorBytes), sectorBytes, sectorsPerCluster, unreadable);
  state.keepDamaged = (data[0] & 8) != 0;
  state.outputFolder = kOutput.empty();

  std::uint8_t code = data[1];
  if (!mainPassCarver(code) && !finalSweepCarver(code)) {
    std::vector<std::uint8_t> first(sectorBytes, 0);
    std::copy_n(rest.begin(), std::min<std::size_t>(rest.size(), sectorBytes), first.begin());
    code = classifySector(first);
  }

  SilentFrontEnd frontEnd;
  ScanCarveServices services(state, frontEnd);
  services.setCandidateType(code);
  if (CarverFn carve = mainPassCarver(code)) {
    services.setPhase(ScanPhase::SecondPass);
    carve(services.context(), 0);
  }
  if (CarverFn carve = finalSweepCarver(code)) {
    services.setPhase(ScanPhase::FinalSweep);
    carve(services.context(), 0);
  }
  if (state.recoveredCount != state.recoveredFiles.size()) std::abort();
  return 0;
}
