#pragma once
// The cluster size of a source whose file system is unknown and for which the user gave
// none: files start on cluster boundaries, so the largest cluster size at which nearly all
// pictures and documents found start at the same offset is taken to be the one.

#include <cstdint>
#include <span>

namespace vellumark {

// Fewer candidates than this say nothing reliable about the cluster size.
inline constexpr std::uint64_t kMinClusterEstimateCandidates = 20;
// The share of candidates (in per cent) that must agree on one offset.
inline constexpr std::uint64_t kClusterEstimateAgreementPercent = 90;
inline constexpr std::uint64_t kMaxEstimatedClusterBytes = 128 * 1024;

struct ClusterEstimate {
  std::uint32_t sectorsPerCluster = 1;   // 1: no larger cluster size is supported by the candidates
  std::uint32_t phase = 0;               // sector offset within a cluster at which clusters start
  std::uint64_t counted = 0;             // picture and document candidates looked at
  std::uint64_t agreeing = 0;            // of those, the ones starting at that phase
};

// Whether a candidate of this type code counts: pictures and documents, whose start is the
// start of a file. JPEGs without APP0/APP1 (often embedded in other files) and file-system
// metadata do not.
[[nodiscard]] bool countsTowardsClusterEstimate(std::uint8_t code);

// The largest power-of-two sectors per cluster, up to 128 KiB, at which at least 90% of the
// counted candidates share one start offset (ties go to the lowest offset), given at least
// 20 counted candidates. sectors and types are parallel lists.
[[nodiscard]] ClusterEstimate estimateClusterSize(std::span<const std::uint64_t> sectors,
                                                  std::span<const std::uint8_t> types, std::uint32_t bytesPerSector);

}  // namespace vellumark
