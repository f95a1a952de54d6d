// The whole scan (marking, first pass, cluster estimate, second pass, final sweep, writing)
// on a small in-memory image. Volumes whose file system is recognised are scanned in their
// free space only, so that the allocation walk runs first.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <span>

#include "driver/scan_driver.h"
#include "fuzz_support.h"
#include "scan/front_end.h"

namespace {

constexpr std::size_t kMaxImageBytes = 1 << 20;

const vellumark::fuzz::OutputFolder kOutput("run_scan");
[[maybe_unused]] const bool kLowered = vellumark::fuzz::lowerSearchLimits();

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vellumark;
  ScanState state;
  const std::span<const std::uint8_t> input(data, std::min(size, kMaxImageBytes));
  openScanSource(state, std::make_unique<MemorySource>(fuzz::sectorImage(input, 512)), "fuzz");
  ScanRequest request;
  request.outputFolder = kOutput.empty();
  request.startSector = 0;
  request.endSector = state.geometry.lastSector;
  request.freeSpaceOnly = state.detectedGeometry.fsType != kFsUnknown;
  request.folderOnSource = [](const std::string&) { return false; };
  SilentFrontEnd frontEnd;
  const ScanSummary summary = runScan(state, frontEnd, request);
  if (summary.refusal == ScanRefusal::None && summary.recovered != state.recoveredFiles.size()) std::abort();
  return 0;
}
