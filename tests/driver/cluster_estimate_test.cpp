// Estimating the cluster size from where pictures and documents start.

#include <gtest/gtest.h>

#include "driver/cluster_estimate.h"
#include "scan/type_codes.h"

namespace vellumark {
namespace {

struct Candidates {
  std::vector<std::uint64_t> sectors;
  std::vector<std::uint8_t> types;
  // n candidates of this code at first, first + step, ... (steps alternate with step * 3 so
  // that no larger power of two divides them all).
  Candidates& add(std::size_t n, std::uint64_t first, std::uint64_t step, std::uint8_t code = kTypeJpegApp) {
    std::uint64_t s = first;
    for (std::size_t i = 0; i < n; ++i, s += (i % 2 ? step : 3 * step)) {
      sectors.push_back(s);
      types.push_back(code);
    }
    return *this;
  }
  ClusterEstimate estimate(std::uint32_t bps = 512) const { return estimateClusterSize(sectors, types, bps); }
};

TEST(ClusterEstimate, LargestSizeAtWhichNearlyAllAgree) {
  const ClusterEstimate eight = Candidates().add(30, 800, 8).estimate();
  EXPECT_EQ(eight.sectorsPerCluster, 8u);
  EXPECT_EQ(eight.phase, 0u);
  EXPECT_EQ(eight.counted, 30u);
  // 27 of 30 is 90%: enough, at offset 3.
  const ClusterEstimate shifted = Candidates().add(27, 803, 8, kTypeOle2).add(3, 900, 1, kTypeOoxml).estimate();
  EXPECT_EQ(shifted.sectorsPerCluster, 8u);
  EXPECT_EQ(shifted.phase, 3u);
  EXPECT_EQ(shifted.agreeing, 27u);
  // 26 of 30 at offset 0 of 8 is too few; at 4 sectors all 30 agree.
  EXPECT_EQ(Candidates().add(26, 800, 8).add(4, 1004, 8).estimate().sectorsPerCluster, 4u);
  // Never beyond 128 KiB: 32 sectors of 4096 bytes.
  const ClusterEstimate capped = Candidates().add(40, 0, 1024).estimate(4096);
  EXPECT_EQ(capped.sectorsPerCluster, 32u);
  EXPECT_EQ(Candidates().add(40, 0, 1024).estimate(512).sectorsPerCluster, 256u);
}

TEST(ClusterEstimate, TooFewOrScatteredCandidatesGiveNoEstimate) {
  EXPECT_EQ(Candidates().add(19, 800, 8).estimate().sectorsPerCluster, 1u);
  EXPECT_EQ(Candidates().add(30, 801, 1).estimate().sectorsPerCluster, 1u);
  // JPEGs without APP0/APP1 and file-system metadata do not count: only 10 candidates left.
  const ClusterEstimate few =
      Candidates().add(10, 800, 8).add(20, 8001, 8, kTypeJpegOther).add(20, 9001, 8, kTypeFsMetadata).estimate();
  EXPECT_EQ(few.sectorsPerCluster, 1u);
  EXPECT_EQ(few.counted, 10u);
  EXPECT_EQ(Candidates().estimate(0).sectorsPerCluster, 1u);
}

}  // namespace
}  // namespace vellumark
