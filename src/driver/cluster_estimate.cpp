#include "driver/cluster_estimate.h"

#include <algorithm>
#include <bit>
#include <vector>

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

// The counts at each smaller power of two are folded from those at the largest one, which
// every smaller one divides: the candidates are looked at once, and never copied.
ClusterEstimate estimateClusterSize(std::span<const std::uint64_t> sectors, std::span<const std::uint8_t> types,
                                    std::uint32_t bytesPerSector) {
  const auto largest = static_cast<std::uint32_t>(
      std::bit_floor(std::max<std::uint64_t>(1, kMaxEstimatedClusterBytes / std::max<std::uint32_t>(bytesPerSector, 1))));
  std::vector<std::uint64_t> atPhase(largest, 0);
  std::uint64_t counted = 0;
  for (std::size_t i = 0; i < sectors.size() && i < types.size(); ++i) {
    if (!countsTowardsClusterEstimate(types[i])) continue;
    ++counted;
    ++atPhase[sectors[i] % largest];
  }
  ClusterEstimate none;
  none.counted = counted;
  none.agreeing = counted;
  if (counted < kMinClusterEstimateCandidates || bytesPerSector == 0) return none;

  for (std::uint32_t spc = largest; spc > 1; spc /= 2) {
    if (spc < largest)
      for (std::uint32_t p = 0; p < spc; ++p) atPhase[p] += atPhase[p + spc];
    const auto phases = atPhase.begin() + spc;
    const auto best = std::max_element(atPhase.begin(), phases);   // the first of equal counts
    if (*best * 100 >= counted * kClusterEstimateAgreementPercent)
      return ClusterEstimate{spc, static_cast<std::uint32_t>(best - atPhase.begin()), counted, *best};
  }
  return none;
}

}  // namespace vellumark
