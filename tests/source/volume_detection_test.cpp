// Recognising file systems from synthetic boot sectors and volume headers.

#include <gtest/gtest.h>

#include <array>

#include "source/volume_detection.h"
#include "support/image_builder.h"

namespace vellumark {
namespace {

using test::ImageBuilder;

// The first 4096 bytes of a volume, all zero.
ImageBuilder bootArea() { return ImageBuilder(kBootAreaBytes / 512); }

struct FatFields {
  std::uint16_t bytesPerSector = 512;
  std::uint8_t sectorsPerCluster = 4;
  std::uint16_t reserved = 1;
  std::uint8_t fats = 2;
  std::uint16_t rootEntries = 512;
  std::uint32_t sectorsPerFat = 32;
};

void putFatCommon(ImageBuilder& b, const FatFields& f) {
  b.putBytes(0, std::array<std::uint8_t, 3>{0xEB, 0x3C, 0x90}).putText(3, "mkfs.fat");
  b.putLe16(11, f.bytesPerSector).putBytes(13, std::array<std::uint8_t, 1>{f.sectorsPerCluster});
  b.putLe16(14, f.reserved).putBytes(16, std::array<std::uint8_t, 1>{f.fats}).putLe16(17, f.rootEntries);
}

ImageBuilder fat16Boot(const FatFields& f, std::string_view label = "FAT16   ") {
  ImageBuilder b = bootArea();
  putFatCommon(b, f);
  b.putLe16(22, static_cast<std::uint16_t>(f.sectorsPerFat)).putText(54, label).putLe16(510, 0xAA55);
  return b;
}

ImageBuilder fat32Boot(const FatFields& f) {
  ImageBuilder b = bootArea();
  putFatCommon(b, f);
  b.putLe16(17, 0).putLe16(22, 0).putLe32(36, f.sectorsPerFat).putText(82, "FAT32   ").putLe16(510, 0xAA55);
  return b;
}

ImageBuilder ntfsBoot(std::uint16_t bytesPerSector, std::uint8_t sectorsPerCluster) {
  ImageBuilder b = bootArea();
  b.putText(3, "NTFS    ").putLe16(11, bytesPerSector).putBytes(13, std::array<std::uint8_t, 1>{sectorsPerCluster});
  b.putLe16(510, 0xAA55);
  return b;
}

ImageBuilder exfatBoot(std::uint8_t sectorShift, std::uint8_t clusterShift, std::uint32_t heapOffset) {
  ImageBuilder b = bootArea();
  b.putText(3, "EXFAT   ").putLe32(88, heapOffset);
  b.putBytes(108, std::array<std::uint8_t, 2>{sectorShift, clusterShift}).putLe16(510, 0xAA55);
  return b;
}

ImageBuilder hfsHeader(std::uint32_t blockSize, std::uint16_t firstBlock) {
  ImageBuilder b = bootArea();
  b.putText(1024, "BD").putBe32(1044, blockSize).putBe16(1052, firstBlock);
  return b;
}

ImageBuilder hfsPlusHeader(std::string_view signature, std::uint16_t version, std::uint32_t blockSize) {
  ImageBuilder b = bootArea();
  b.putText(1024, signature).putBe16(1026, version).putBe32(1064, blockSize);
  return b;
}

struct Detection {
  bool recognised = false;
  VolumeGeometry geometry;
};

Detection detect(ImageBuilder& b) {
  Detection d;
  d.recognised = detectVolume(b.bytes(), d.geometry);
  return d;
}

TEST(FatDetection, Fat16GeometryAndClusterOffset) {
  // Data area: 1 + 2 * 32 + 512 * 32 / 512 = 97; 97 mod 4 = 1.
  ImageBuilder b = fat16Boot({});
  Detection d = detect(b);
  ASSERT_TRUE(d.recognised);
  EXPECT_EQ(d.geometry.fsType, kFsFat16);
  EXPECT_EQ(d.geometry.bytesPerSector, 512u);
  EXPECT_EQ(d.geometry.sectorsPerCluster, 4u);
  EXPECT_EQ(d.geometry.clusterOffset, 1);
}

TEST(FatDetection, Fat12Label) {
  ImageBuilder b = fat16Boot({.sectorsPerCluster = 1}, "FAT12   ");
  Detection d = detect(b);
  ASSERT_TRUE(d.recognised);
  EXPECT_EQ(d.geometry.fsType, kFsFat12);
  EXPECT_EQ(d.geometry.sectorsPerCluster, 1u);
  EXPECT_EQ(d.geometry.clusterOffset, 0);
}

TEST(FatDetection, Fat32DataAreaAt2082With8SectorsPerClusterHasOffset2) {
  ImageBuilder b = fat32Boot({.sectorsPerCluster = 8, .reserved = 32, .fats = 2, .rootEntries = 0, .sectorsPerFat = 1009});
  // A leftover root-entry count on FAT32 would still count: put one worth 32 sectors.
  b.putLe16(17, 512);
  Detection d = detect(b);
  ASSERT_TRUE(d.recognised);
  EXPECT_EQ(d.geometry.fsType, kFsFat32);
  EXPECT_EQ(d.geometry.sectorsPerCluster, 8u);
  EXPECT_EQ(d.geometry.clusterOffset, 2);  // (32 + 2 * 1009 + 32) mod 8
}

TEST(FatDetection, SectorsPerClusterBoundsDifferBetweenFat16AndFat32) {
  ImageBuilder fat16 = fat16Boot({.sectorsPerCluster = 128});
  EXPECT_TRUE(detect(fat16).recognised);
  ImageBuilder fat32 = fat32Boot({.sectorsPerCluster = 128});
  EXPECT_FALSE(detect(fat32).recognised);
  ImageBuilder fat32at64 = fat32Boot({.sectorsPerCluster = 64});
  EXPECT_TRUE(detect(fat32at64).recognised);
  for (std::uint8_t bad : {0, 129, 255}) {
    ImageBuilder b = fat16Boot({.sectorsPerCluster = bad});
    EXPECT_FALSE(detect(b).recognised) << int{bad};
  }
  ImageBuilder fat32zero = fat32Boot({.sectorsPerCluster = 0});
  EXPECT_FALSE(detect(fat32zero).recognised);
}

TEST(FatDetection, BadBytesPerSectorIsNotRecognised) {
  for (std::uint16_t bps : {0, 256, 513, 1000, 8192, 65535}) {
    ImageBuilder b = fat16Boot({.bytesPerSector = bps});
    EXPECT_FALSE(detect(b).recognised) << bps;
  }
  for (std::uint16_t bps : {1024, 2048, 4096}) {
    ImageBuilder b = fat16Boot({.bytesPerSector = bps});
    Detection d = detect(b);
    EXPECT_TRUE(d.recognised) << bps;
    EXPECT_EQ(d.geometry.bytesPerSector, bps);
  }
}

TEST(FatDetection, HugeFat32FieldsDoNotWrapTheDataAreaStart) {
  // 65535 + 255 * 0xFFFFFFFF overflows 32 bits; the offset must follow the true sum.
  ImageBuilder b = fat32Boot({.sectorsPerCluster = 7, .reserved = 65535, .fats = 255, .rootEntries = 0,
                              .sectorsPerFat = 0xFFFFFFFFu});
  Detection d = detect(b);
  ASSERT_TRUE(d.recognised);
  const std::uint64_t start = 65535u + 255ull * 0xFFFFFFFFull;
  EXPECT_EQ(d.geometry.clusterOffset, static_cast<std::int32_t>(start % 7));
}

TEST(FatDetection, RootDirectorySizeUsesTheDeclaredSectorSize) {
  // 512 entries of 32 bytes fill 8 sectors of 2048 bytes: 1 + 2 * 32 + 8 = 73, 73 mod 16 = 9.
  ImageBuilder b = fat16Boot({.bytesPerSector = 2048, .sectorsPerCluster = 16});
  b.putLe16(2046, 0xAA55);
  Detection d = detect(b);
  ASSERT_TRUE(d.recognised);
  EXPECT_EQ(d.geometry.bytesPerSector, 2048u);
  EXPECT_EQ(d.geometry.clusterOffset, 9);
}

TEST(FatDetection, PartlyUsedLastRootDirectorySectorStillCounts) {
  // 200 entries take 6,400 bytes: two 4096-byte sectors, the second partly used. The data
  // area starts at 1 + 2 * 10 + 2 = 23, so clusters of 4 sectors begin at offset 3.
  ImageBuilder b = fat16Boot({.bytesPerSector = 4096, .sectorsPerCluster = 4, .rootEntries = 200, .sectorsPerFat = 10});
  b.putLe16(4094, 0xAA55);
  Detection d = detect(b);
  ASSERT_TRUE(d.recognised);
  EXPECT_EQ(d.geometry.clusterOffset, 3);
}

TEST(FatDetection, LabelsAreExactAndCaseSensitive) {
  for (std::string_view label : {"FAT16  ", "fat16   ", "FAT16\0\0\0", "FAT     "}) {
    ImageBuilder b = fat16Boot({}, std::string_view(label.data(), 8));
    EXPECT_FALSE(detect(b).recognised) << label;
  }
}

TEST(BootSignature, FourKiBSectorWithSignatureOnlyAt4094) {
  ImageBuilder b = fat16Boot({.bytesPerSector = 4096});
  b.putLe16(510, 0).putLe16(4094, 0xAA55);
  EXPECT_TRUE(detect(b).recognised);

  ImageBuilder small = fat16Boot({.bytesPerSector = 512});
  small.putLe16(510, 0).putLe16(4094, 0xAA55);
  EXPECT_FALSE(detect(small).recognised);
}

TEST(BootSignature, FourKiBSectorWithSignatureOnlyAt510) {
  ImageBuilder b = fat16Boot({.bytesPerSector = 4096});
  Detection d = detect(b);
  ASSERT_TRUE(d.recognised);
  EXPECT_EQ(d.geometry.bytesPerSector, 4096u);
}

TEST(BootSignature, SignatureAtTheEndOfA2048ByteSector) {
  // Step 1 needs 510 or 4094; the final test then accepts the end of the declared sector.
  ImageBuilder b = ntfsBoot(2048, 1);
  b.putLe16(510, 0).putLe16(2046, 0xAA55).putLe16(4094, 0xAA55);
  EXPECT_TRUE(detect(b).recognised);
  b.putLe16(2046, 0);
  EXPECT_FALSE(detect(b).recognised);
}

TEST(BootSignature, MissingSignatureIsNotRecognised) {
  ImageBuilder b = fat16Boot({});
  b.putLe16(510, 0x55AA);
  EXPECT_FALSE(detect(b).recognised);
}

TEST(NtfsDetection, Geometry) {
  ImageBuilder b = ntfsBoot(512, 8);
  Detection d = detect(b);
  ASSERT_TRUE(d.recognised);
  EXPECT_EQ(d.geometry.fsType, kFsNtfs);
  EXPECT_EQ(d.geometry.bytesPerSector, 512u);
  EXPECT_EQ(d.geometry.sectorsPerCluster, 8u);
  EXPECT_EQ(d.geometry.clusterOffset, 0);

  ImageBuilder big = ntfsBoot(4096, 128);
  EXPECT_TRUE(detect(big).recognised);
}

TEST(NtfsDetection, SectorsPerClusterOutOfRange) {
  for (std::uint8_t bad : {0, 129, 0xF4}) {
    ImageBuilder b = ntfsBoot(512, bad);
    EXPECT_FALSE(detect(b).recognised) << int{bad};
  }
  ImageBuilder noSize = ntfsBoot(0, 8);
  EXPECT_FALSE(detect(noSize).recognised);
}

TEST(ExfatDetection, ShiftsNineAndThree) {
  ImageBuilder b = exfatBoot(9, 3, 2053);
  Detection d = detect(b);
  ASSERT_TRUE(d.recognised);
  EXPECT_EQ(d.geometry.fsType, kFsExfat);
  EXPECT_EQ(d.geometry.bytesPerSector, 512u);
  EXPECT_EQ(d.geometry.sectorsPerCluster, 8u);
  EXPECT_EQ(d.geometry.clusterOffset, 2053 % 8);
}

TEST(ExfatDetection, ShiftBounds) {
  ImageBuilder largest = exfatBoot(12, 8, 0xFFFFFFFFu);
  Detection d = detect(largest);
  ASSERT_TRUE(d.recognised);
  EXPECT_EQ(d.geometry.bytesPerSector, 4096u);
  EXPECT_EQ(d.geometry.sectorsPerCluster, 256u);
  EXPECT_EQ(d.geometry.clusterOffset, 255);
  largest.putLe16(510, 0).putLe16(4094, 0xAA55);
  EXPECT_TRUE(detect(largest).recognised);

  // Too large a cluster, too small or too large a sector, and shifts that would overflow.
  for (auto [sectorShift, clusterShift] : std::initializer_list<std::pair<std::uint8_t, std::uint8_t>>{
           {9, 9}, {8, 0}, {13, 0}, {9, 31}, {31, 0}, {9, 63}, {63, 3}, {255, 255}}) {
    ImageBuilder b = exfatBoot(sectorShift, clusterShift, 0);
    EXPECT_FALSE(detect(b).recognised) << int{sectorShift} << "/" << int{clusterShift};
  }
}

TEST(ExfatDetection, LabelIsUpperCase) {
  ImageBuilder b = exfatBoot(9, 3, 0);
  b.putText(3, "exFAT   ");
  EXPECT_FALSE(detect(b).recognised);
}

TEST(HfsDetection, ClassicHfsKeepsFirstAllocationBlock) {
  ImageBuilder b = hfsHeader(4096, 21);
  Detection d = detect(b);
  ASSERT_TRUE(d.recognised);
  EXPECT_EQ(d.geometry.fsType, kFsHfs);
  EXPECT_EQ(d.geometry.bytesPerSector, 512u);
  EXPECT_EQ(d.geometry.sectorsPerCluster, 8u);
  EXPECT_EQ(d.geometry.clusterOffset, 21);  // not reduced modulo the cluster size
}

TEST(HfsDetection, ClassicHfsBlockSizeRules) {
  ImageBuilder huge = hfsHeader(512u * 65536u, 0);
  Detection d = detect(huge);
  ASSERT_TRUE(d.recognised);
  EXPECT_EQ(d.geometry.sectorsPerCluster, 65536u);  // HFS has no upper bound
  for (std::uint32_t bad : {0u, 1u, 511u, 1000u}) {
    ImageBuilder b = hfsHeader(bad, 0);
    EXPECT_FALSE(detect(b).recognised) << bad;
  }
}

TEST(HfsDetection, HfsPlusAndHfsx) {
  ImageBuilder plus = hfsPlusHeader("H+", 4, 4096);
  Detection d = detect(plus);
  ASSERT_TRUE(d.recognised);
  EXPECT_EQ(d.geometry.fsType, kFsHfsPlus);
  EXPECT_EQ(d.geometry.sectorsPerCluster, 8u);
  EXPECT_EQ(d.geometry.clusterOffset, 0);
  EXPECT_EQ(d.geometry.bytesPerSector, 512u);

  ImageBuilder x = hfsPlusHeader("HX", 5, 65536);
  d = detect(x);
  ASSERT_TRUE(d.recognised);
  EXPECT_EQ(d.geometry.fsType, kFsHfsPlus);
  EXPECT_EQ(d.geometry.sectorsPerCluster, 128u);
}

TEST(HfsDetection, HfsPlusRejections) {
  ImageBuilder wrongVersion = hfsPlusHeader("H+", 5, 4096);
  EXPECT_FALSE(detect(wrongVersion).recognised);
  ImageBuilder wrongVersionX = hfsPlusHeader("HX", 4, 4096);
  EXPECT_FALSE(detect(wrongVersionX).recognised);
  for (std::uint32_t bad : {0u, 1000u, 131072u}) {
    ImageBuilder b = hfsPlusHeader("H+", 4, bad);
    EXPECT_FALSE(detect(b).recognised) << bad;
  }
}

TEST(HfsDetection, BootSignatureWithUnknownLabelHidesAnHfsHeader) {
  // A master boot record at sector 0 of a partitioned image.
  ImageBuilder mbr = hfsPlusHeader("H+", 4, 4096);
  mbr.putText(3, "MSWIN4.1").putLe16(510, 0xAA55);
  EXPECT_FALSE(detect(mbr).recognised);
  ImageBuilder mbr2 = hfsHeader(4096, 21);
  mbr2.putLe16(4094, 0xAA55);
  EXPECT_FALSE(detect(mbr2).recognised);
}

TEST(Detection, EmptyShortAndGarbageInputs) {
  VolumeGeometry g;
  EXPECT_FALSE(detectVolume({}, g));
  std::array<std::uint8_t, 600> shortArea{};
  shortArea[510] = 0x55;
  shortArea[511] = 0xAA;
  EXPECT_FALSE(detectVolume(shortArea, g));

  ImageBuilder zeros = bootArea();
  EXPECT_FALSE(detect(zeros).recognised);

  // Random bytes with every label in turn: never a crash, and a recognised result is always
  // a usable geometry.
  for (std::uint32_t seed = 1; seed <= 400; ++seed) {
    ImageBuilder b = bootArea();
    b.fillRandom(0, kBootAreaBytes, seed);
    static constexpr std::array<std::string_view, 4> labels{"NTFS    ", "EXFAT   ", "FAT16   ", "FAT32   "};
    std::string_view label = labels[seed % labels.size()];
    b.putText(seed % 4 < 2 ? 3 : (seed % 4 == 2 ? 54 : 82), label).putLe16(510, 0xAA55);
    Detection d = detect(b);
    if (!d.recognised) continue;
    EXPECT_GT(d.geometry.bytesPerSector, 0u);
    EXPECT_LE(d.geometry.bytesPerSector, 4096u);
    EXPECT_EQ(d.geometry.bytesPerSector % 512, 0u);
    EXPECT_GE(d.geometry.sectorsPerCluster, 1u);
    EXPECT_LE(d.geometry.sectorsPerCluster, 256u);
    EXPECT_GE(d.geometry.clusterOffset, 0);
    EXPECT_LT(static_cast<std::uint32_t>(d.geometry.clusterOffset), d.geometry.sectorsPerCluster);
  }
}

TEST(ClusterSizeList, IndexFollowsClusterBytes) {
  EXPECT_EQ(syncClusterSizeList(1, 512), 0);
  EXPECT_EQ(syncClusterSizeList(2, 512), 1);
  EXPECT_EQ(syncClusterSizeList(4, 512), 2);
  EXPECT_EQ(syncClusterSizeList(8, 512), 3);
  EXPECT_EQ(syncClusterSizeList(16, 512), 4);
  EXPECT_EQ(syncClusterSizeList(32, 512), 5);
  EXPECT_EQ(syncClusterSizeList(64, 512), 6);
  EXPECT_EQ(syncClusterSizeList(128, 512), 7);
  EXPECT_EQ(syncClusterSizeList(256, 512), 8);
  // The sector size counts: one 4096-byte sector is a 4K cluster.
  EXPECT_EQ(syncClusterSizeList(1, 4096), 3);
  EXPECT_EQ(syncClusterSizeList(32, 4096), 8);
  EXPECT_EQ(syncClusterSizeList(2, 2048), 3);
}

TEST(ClusterSizeList, SizesNotInTheListFallBackToTheFirstItem) {
  EXPECT_EQ(syncClusterSizeList(0, 512), 0);
  EXPECT_EQ(syncClusterSizeList(3, 512), 0);
  EXPECT_EQ(syncClusterSizeList(512, 512), 0);
  EXPECT_EQ(syncClusterSizeList(64, 4096), 0);   // 256K
  EXPECT_EQ(syncClusterSizeList(1, 256), 0);     // below 512 bytes
  EXPECT_EQ(syncClusterSizeList(3, 1536), 0);
  EXPECT_EQ(syncClusterSizeList(0xFFFFFFFFu, 0xFFFFFFFFu), 0);  // no 32-bit wrap onto a list size
  EXPECT_EQ(syncClusterSizeList(0x00800002u, 512), 0);          // 4 GiB + 1K: 1K if it wrapped
}

}  // namespace
}  // namespace vellumark
