#include "driver/cluster_estimate.h"

#include <algorithm>
#include <bit>
#include <vector>

#include "platform/large_pages.h"
#include "scan/type_codes.h"

namespace vellumark {

bool countsTowardsClusterEstimate(std::uint8_t code) {
  switch (code) {
    case kTypeJpegApp: case kTypeGif: case kTypeBmp: case kTypePng: case kTypeTiff: case kTypeX3f: case kTypeRaf:
    case kTypeOle2: case kTypeOoxml:
      return true;
    default:
      return false;
  }
}

ClusterEstimate estimateClusterSize(std::span<const std::uint64_t> sectors, std::span<const std::uint8_t> types,
                                    std::uint32_t bytesPerSector) {
  std::vector<std::uint64_t, platform::LargePageAllocator<std::uint64_t>> starts;
  for (std::size_t i = 0; i < sectors.size() && i < types.size(); ++i)
    if (countsTowardsClusterEstimate(types[i])) starts.push_back(sectors[i]);
  ClusterEstimate none;
  none.counted = starts.size();
  none.agreeing = starts.size();
  if (starts.size() < kMinClusterEstimateCandidates || bytesPerSector == 0) return none;

  const auto largest = static_cast<std::uint32_t>(std::max<std::uint64_t>(1, kMaxEstimatedClusterBytes / bytesPerSector));
  std::vector<std::uint64_t> atPhase;
  for (std::uint32_t spc = std::bit_floor(largest); spc > 1; spc /= 2) {
    atPhase.assign(spc, 0);
    for (std::uint64_t s : starts) ++atPhase[s % spc];
    const auto best = std::max_element(atPhase.begin(), atPhase.end());   // the first of equal counts
    if (*best * 100 >= starts.size() * kClusterEstimateAgreementPercent)
      return ClusterEstimate{spc, static_cast<std::uint32_t>(best - atPhase.begin()), starts.size(), *best};
  }
  return none;
}

}  // namespace vellumark
