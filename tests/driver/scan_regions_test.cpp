// The cluster geometry of a whole disk's partitions: where they lie, which sectors the first
// pass examines, and what a carve starting inside one is told.

#include <gtest/gtest.h>

#include "driver/carve_services.h"
#include "driver/scan_regions.h"
#include "support/image_builder.h"
#include "support/recording_front_end.h"

namespace vellumark {
namespace {

using test::ImageBuilder;

// A disk of 4000 sectors: an MBR with a FAT16 partition at sector 63 of 1000 sectors (4
// sectors per cluster, data area at its sector 1 + 2 * 9 + 32 = 51) and an unformatted one.
ImageBuilder partitionedDisk() {
  ImageBuilder b(4000);
  b.putLe16(510, 0xAA55);
  b.putBytes(446 + 4, std::vector<std::uint8_t>{0x06}).putLe32(446 + 8, 63).putLe32(446 + 12, 1000);
  b.putBytes(462 + 4, std::vector<std::uint8_t>{0x83}).putLe32(462 + 8, 2000).putLe32(462 + 12, 1000);
  const std::uint64_t boot = 63 * 512;
  b.putLe16(boot + 11, 512).putBytes(boot + 13, std::vector<std::uint8_t>{4}).putLe16(boot + 14, 1);
  b.putBytes(boot + 16, std::vector<std::uint8_t>{2}).putLe16(boot + 17, 512).putLe16(boot + 22, 9);
  b.putText(boot + 54, "FAT16   ").putLe16(boot + 510, 0xAA55);
  return b;
}

TEST(ScanRegions, ARecognisedPartitionBringsItsClusters) {
  ScanState state;
  openScanSource(state, partitionedDisk().source(), "disk");
  const std::vector<ScanRegion> regions = scanRegions(state);
  ASSERT_EQ(regions.size(), 1u);  // the unformatted partition has no geometry to give
  EXPECT_EQ(regions[0].firstSector, 63);
  EXPECT_EQ(regions[0].lastSector, 1062);
  EXPECT_EQ(regions[0].sectorsPerCluster, 4u);
  EXPECT_EQ(regions[0].clusterPhase, 2u);  // (63 + 51) mod 4
  EXPECT_EQ(regions[0].partition, 1);

  // A cluster size chosen for the whole disk overrides the partitions.
  state.geometry.sectorsPerCluster = 8;
  EXPECT_TRUE(scanRegions(state).empty());
  // So does a source that is a volume itself.
  openScanSource(state, ImageBuilder(64).source(), "blank");
  EXPECT_TRUE(scanRegions(state).empty());
}

TEST(ScanRegions, TheFirstPassExaminesClusterStartsInsidePartitionsOnly) {
  ScanState state;
  openScanSource(state, partitionedDisk().source(), "disk");
  const ScanLayout layout(scanRegions(state), state.geometry);
  EXPECT_EQ(layout.nextExamined(0), 0);
  EXPECT_EQ(layout.nextExamined(62), 62);
  EXPECT_EQ(layout.nextExamined(63), 66);
  EXPECT_EQ(layout.nextExamined(67), 70);
  EXPECT_EQ(layout.nextExamined(1062), 1062);
  EXPECT_EQ(layout.nextExamined(1063), 1063);
  // Without regions: the volume's own rule, the first sector of each cluster.
  VolumeGeometry volume;
  volume.sectorsPerCluster = 8;
  volume.clusterOffset = 3;
  const ScanLayout plain({}, volume);
  EXPECT_EQ(plain.nextExamined(0), 3);
  EXPECT_EQ(plain.nextExamined(4), 11);
  EXPECT_EQ(plain.nextExamined(11), 11);
}

TEST(ScanRegions, ACarveIsToldThePartitionsClusters) {
  ScanState state;
  openScanSource(state, partitionedDisk().source(), "disk");
  const ScanLayout layout(scanRegions(state), state.geometry);
  test::RecordingFrontEnd frontEnd;
  ScanCarveServices services(state, frontEnd);
  services.setLayout(&layout);
  state.clusterPhase = 0;
  const CarveSettings inside = services.current(70 * 512);
  EXPECT_EQ(inside.sectorsPerCluster, 4u);
  EXPECT_EQ(inside.clusterPhase, 2u);
  const CarveSettings outside = services.current(2000 * 512);
  EXPECT_EQ(outside.sectorsPerCluster, 1u);
  EXPECT_EQ(outside.clusterPhase, 0u);
}

}  // namespace
}  // namespace vellumark
