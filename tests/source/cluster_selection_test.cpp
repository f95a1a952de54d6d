#include "source/cluster_selection.h"

#include <gtest/gtest.h>

namespace vellumark {
namespace {

VolumeGeometry geometryOf(std::uint8_t fsType, std::int64_t lastSector, std::uint32_t bps = 512,
                          std::uint32_t spc = 1, std::int32_t offset = -1) {
  VolumeGeometry g;
  g.fsType = fsType;
  g.lastSector = lastSector;
  g.bytesPerSector = bps;
  g.sectorsPerCluster = spc;
  g.clusterOffset = offset;
  return g;
}

std::uint32_t spcForType(int item, VolumeGeometry g) {
  SelectionLists lists;
  lists.fsItem = item;
  onTypeChosen(lists, g);
  EXPECT_EQ(g.clusterOffset, -1);
  return g.sectorsPerCluster;
}

TEST(ClusterSelection, NtfsFormattedThenDeletedRestoresDetectedGeometryWithDefaultClusters) {
  const VolumeGeometry detected = geometryOf(kFsNtfs, 20'971'519, 512, 128, 63);
  VolumeGeometry g = detected;
  SelectionLists lists = listsAfterOpening(detected);
  EXPECT_EQ(lists.reason, kReasonDeleted);
  EXPECT_FALSE(lists.typeAndClusterEnabled);
  EXPECT_EQ(lists.fsItem, kFsItemNtfs);
  EXPECT_EQ(lists.clusterItem, 7);  // 64K

  lists.reason = kReasonFormatted;
  ASSERT_EQ(onReasonChosen(lists, detected, g), 0);
  EXPECT_TRUE(lists.typeAndClusterEnabled);
  lists.fsItem = kFsItemOther;
  onTypeChosen(lists, g);
  g.bytesPerSector = 4096;  // as if the user had been working with other values
  g.lastSector = 99;

  lists.reason = kReasonDeleted;
  ASSERT_EQ(onReasonChosen(lists, detected, g), 0);
  EXPECT_FALSE(lists.typeAndClusterEnabled);
  EXPECT_EQ(g.bytesPerSector, 512u);
  EXPECT_EQ(g.lastSector, detected.lastSector);
  EXPECT_EQ(g.fsType, kFsNtfs);
  EXPECT_EQ(g.sectorsPerCluster, 8u);  // 4,096-byte clusters below 16 TiB
  EXPECT_EQ(g.clusterOffset, -1);
  EXPECT_EQ(lists.fsItem, kFsItemNtfs);
  EXPECT_EQ(lists.clusterItem, 3);
}

TEST(ClusterSelection, DeletedOnUnrecognisedSourceIsRefusedAndMovesToFormatted) {
  const VolumeGeometry detected = geometryOf(kFsUnknown, 4'194'303);
  VolumeGeometry g = detected;
  SelectionLists lists = listsAfterOpening(detected);
  EXPECT_EQ(lists.reason, kReasonRepartitioned);
  EXPECT_TRUE(lists.typeAndClusterEnabled);
  lists.reason = kReasonDeleted;
  EXPECT_EQ(onReasonChosen(lists, detected, g), 70);
  EXPECT_EQ(lists.reason, kReasonFormatted);
  EXPECT_TRUE(lists.typeAndClusterEnabled);
  EXPECT_EQ(lists.fsItem, kFsItemOther);
  EXPECT_EQ(g.sectorsPerCluster, 1u);
}

TEST(ClusterSelection, TwoGibUnrecognisedImageDefaults) {
  const VolumeGeometry g = geometryOf(kFsUnknown, 4'194'303);  // 2,147,483,136 bytes
  EXPECT_EQ(spcForType(kFsItemFat32, g), 8u);
  EXPECT_EQ(spcForType(kFsItemFat, g), 128u);  // the 2 GiB row does not apply: not below it
  EXPECT_EQ(spcForType(kFsItemExfat, g), 64u);
  EXPECT_EQ(spcForType(kFsItemNtfs, g), 8u);
  EXPECT_EQ(spcForType(kFsItemHfs, g), 64u);
  EXPECT_EQ(spcForType(kFsItemHfsPlus, g), 8u);
  EXPECT_EQ(spcForType(kFsItemOther, g), 1u);
}

TEST(ClusterSelection, RowsApplyOnlyStrictlyBelowTheirLimit) {
  // Exactly 32 MiB: 65,536 sectors, last sector 65,535 -> 1,024-byte clusters.
  EXPECT_EQ(spcForType(kFsItemFat, geometryOf(kFsFat16, 65'535)), 2u);
  EXPECT_EQ(spcForType(kFsItemFat, geometryOf(kFsFat16, 65'534)), 1u);
  // Too big for every FAT row: the value stays as it was.
  EXPECT_EQ(spcForType(kFsItemFat, geometryOf(kFsFat16, 8'388'607, 512, 5)), 5u);
  // FAT32 past 2 TiB and exFAT past 256 TiB likewise.
  EXPECT_EQ(spcForType(kFsItemFat32, geometryOf(kFsFat32, 4'294'967'296, 512, 3)), 3u);
  EXPECT_EQ(spcForType(kFsItemExfat, geometryOf(kFsExfat, 549'755'813'887, 512, 7)), 7u);
  // Huge NTFS volumes get the large rows, 64-bit arithmetic throughout.
  EXPECT_EQ(spcForType(kFsItemNtfs, geometryOf(kFsNtfs, 549'755'813'886)), 128u);
}

TEST(ClusterSelection, UserClickSetsClusterSizeAndForgetsOffset) {
  VolumeGeometry g = geometryOf(kFsUnknown, 1'000'000, 512, 1, 3);
  SelectionLists lists;
  lists.clusterItem = *clusterItemByName("4K");
  onClusterSizeChosen(lists, g, true);
  EXPECT_EQ(g.sectorsPerCluster, 8u);
  EXPECT_EQ(g.clusterOffset, -1);

  g.clusterOffset = 5;
  onClusterSizeChosen(lists, g, false);
  EXPECT_EQ(g.clusterOffset, 5);
}

TEST(ClusterSelection, ClustersSmallerThanASectorMeanOneSector) {
  VolumeGeometry g = geometryOf(kFsUnknown, 1'000, 4096);
  SelectionLists lists;
  for (const char* name : {"0.5K", "1K", "2K", "4K"}) {
    lists.clusterItem = *clusterItemByName(name);
    onClusterSizeChosen(lists, g, true);
    EXPECT_EQ(g.sectorsPerCluster, 1u) << name;
  }
  lists.clusterItem = *clusterItemByName("128k");
  onClusterSizeChosen(lists, g, true);
  EXPECT_EQ(g.sectorsPerCluster, 32u);
  // FAT defaults of 512-byte clusters on 4096-byte sectors, and HFS+ on 8 KiB sectors.
  EXPECT_EQ(spcForType(kFsItemFat, geometryOf(kFsUnknown, 1'000, 4096)), 1u);
  EXPECT_EQ(spcForType(kFsItemHfs, geometryOf(kFsUnknown, -1)), 1u);
}

TEST(ClusterSelection, ReapplyKeepsSizesTheListCannotShow) {
  // An HFS volume of 3-sector blocks: the list shows "0.5K", but the scan keeps 3.
  VolumeGeometry g = geometryOf(kFsHfs, 150'000, 512, 1, 0);
  SelectionLists lists;
  lists.fsItem = kFsItemHfs;
  onTypeChosen(lists, g);
  ASSERT_EQ(g.sectorsPerCluster, 3u);
  EXPECT_EQ(lists.clusterItem, 0);
  g.clusterOffset = 2;
  reapplyClusterSize(lists, g);
  EXPECT_EQ(g.sectorsPerCluster, 3u);
  EXPECT_EQ(g.clusterOffset, 2);

  // A size the list shows is re-applied from the list.
  lists.clusterItem = 4;  // 8K
  g.sectorsPerCluster = 8;
  reapplyClusterSize(lists, g);
  EXPECT_EQ(g.sectorsPerCluster, 16u);
  EXPECT_EQ(g.clusterOffset, 2);
}

TEST(ClusterSelection, CommandLineNames) {
  EXPECT_EQ(fsListItemByName("FAT"), kFsItemFat);
  EXPECT_EQ(fsListItemByName("hfs+"), kFsItemHfsPlus);
  EXPECT_EQ(fsListItemByName("other"), kFsItemOther);
  EXPECT_FALSE(fsListItemByName("ext4"));
  EXPECT_EQ(reasonByName("Formatted"), kReasonFormatted);
  EXPECT_FALSE(reasonByName("lost"));
  EXPECT_EQ(clusterItemByName("0.5K"), 0);
  EXPECT_EQ(clusterItemByName("128K"), 8);
  EXPECT_FALSE(clusterItemByName("3K"));
  EXPECT_FALSE(clusterItemByName("256K"));
  EXPECT_EQ(fsListItemFor(kFsFat12), kFsItemFat);
  EXPECT_EQ(fsListItemFor(kFsFat16), kFsItemFat);
  EXPECT_EQ(fsListItemFor(kFsUnknown), kFsItemOther);
}

}  // namespace
}  // namespace vellumark
