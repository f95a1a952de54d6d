// Detection on file systems made by the real formatting tools, in image files.

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "scan/scan_state.h"
#include "source/volume_detection.h"
#include "support/image_builder.h"

namespace vellumark {
namespace {

using test::TempDir;

// Creates a sparse image file of the given size.
std::filesystem::path sparseImage(const TempDir& dir, std::uint64_t sizeBytes) {
  std::filesystem::path image = dir / "volume.img";
  test::writeFileBytes(image, {});
  std::filesystem::resize_file(image, sizeBytes);
  return image;
}

// The first number after `label` in `text`, or -1.
std::int64_t numberAfter(const std::string& text, const std::string& label) {
  auto at = text.find(label);
  if (at == std::string::npos) return -1;
  std::smatch m;
  std::string rest = text.substr(at + label.size());
  if (!std::regex_search(rest, m, std::regex("[0-9]+"))) return -1;
  return std::stoll(m.str());
}

struct Opened {
  std::unique_ptr<ScanState> state = std::make_unique<ScanState>();
  std::uint64_t sizeBytes = 0;
};

Opened openImage(const std::filesystem::path& image) {
  Opened o;
  auto result = openScanSource(*o.state, image.string());
  EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().message());
  o.sizeBytes = std::filesystem::file_size(image);
  return o;
}

void expectGeometry(const Opened& o, std::uint8_t fsType, std::uint32_t bytesPerSector, std::uint32_t sectorsPerCluster,
                    std::int64_t dataStart) {
  const VolumeGeometry& g = o.state->detectedGeometry;
  EXPECT_EQ(fsTypeName(g.fsType), fsTypeName(fsType));
  EXPECT_EQ(g.bytesPerSector, bytesPerSector);
  EXPECT_EQ(g.sectorsPerCluster, sectorsPerCluster);
  ASSERT_GE(dataStart, 0) << "the tool did not report where the clusters start";
  EXPECT_EQ(g.clusterOffset, dataStart % sectorsPerCluster);
  EXPECT_EQ(g.lastSector, static_cast<std::int64_t>(o.sizeBytes / bytesPerSector) - 1);
  EXPECT_EQ(o.state->geometry, g);

  // The first and the last sector are both readable in the detected sector size.
  std::vector<std::uint8_t> sector(bytesPerSector);
  EXPECT_TRUE(readSector(*o.state, 0, sector));
  EXPECT_TRUE(readSector(*o.state, g.lastSector, sector));
  EXPECT_FALSE(readSector(*o.state, g.lastSector + 1, sector));
}

// ---------------------------------------------------------------------------------------

struct FatCase {
  const char* name;
  int fatBits;
  std::uint32_t sectorsPerCluster;
  std::uint32_t sectorSize;
  std::uint64_t sizeMiB;
  bool unaligned;  // -a: no alignment of the data area, so clusters may start off-boundary
};

void PrintTo(const FatCase& c, std::ostream* os) { *os << c.name; }

class FatImage : public ::testing::TestWithParam<FatCase> {};

TEST_P(FatImage, DetectedGeometryMatchesTheToolsLayout) {
  if (!test::haveProgram("mkfs.vfat") || !test::haveProgram("fsstat")) GTEST_SKIP() << "needs mkfs.vfat and fsstat";
  const FatCase& c = GetParam();
  TempDir dir;
  auto image = sparseImage(dir, c.sizeMiB << 20);
  std::string mkfs = "mkfs.vfat -F " + std::to_string(c.fatBits) + " -s " + std::to_string(c.sectorsPerCluster) +
                     " -S " + std::to_string(c.sectorSize) + (c.unaligned ? " -a " : " ") + image.string() +
                     " >/dev/null 2>&1";
  ASSERT_EQ(test::runCommand(mkfs), 0) << mkfs;
  // fsstat gives the cluster area in sectors of the file system's sector size.
  std::string layout = test::commandOutput("timeout 120 fsstat " + image.string() + " 2>/dev/null");
  std::int64_t clusterArea = numberAfter(layout, "** Cluster Area:");
  ASSERT_EQ(numberAfter(layout, "Sector Size:"), c.sectorSize) << layout;

  Opened o = openImage(image);
  const std::uint8_t expected = c.fatBits == 12 ? kFsFat12 : c.fatBits == 16 ? kFsFat16 : kFsFat32;
  expectGeometry(o, expected, c.sectorSize, c.sectorsPerCluster, clusterArea);
}

INSTANTIATE_TEST_SUITE_P(
    MkfsVfat, FatImage,
    ::testing::Values(FatCase{"fat12_s1", 12, 1, 512, 2, false}, FatCase{"fat12_s4_unaligned", 12, 4, 512, 8, true},
                      FatCase{"fat12_s8", 12, 8, 512, 12, false}, FatCase{"fat16_s2_unaligned", 16, 2, 512, 32, true},
                      FatCase{"fat16_s8", 16, 8, 512, 64, false}, FatCase{"fat16_s64_unaligned", 16, 64, 512, 512, true},
                      FatCase{"fat16_4k_s2_unaligned", 16, 2, 4096, 64, true},
                      FatCase{"fat32_s1", 32, 1, 512, 64, false}, FatCase{"fat32_s8_unaligned", 32, 8, 512, 300, true},
                      FatCase{"fat32_s64", 32, 64, 512, 2200, false},
                      FatCase{"fat32_4k_s1_unaligned", 32, 1, 4096, 300, true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------

class ExfatImage : public ::testing::TestWithParam<const char*> {};

TEST_P(ExfatImage, DetectedGeometryMatchesTheToolsLayout) {
  if (!test::haveProgram("mkfs.exfat") || !test::haveProgram("dump.exfat")) GTEST_SKIP() << "needs exfatprogs";
  TempDir dir;
  auto image = sparseImage(dir, 64u << 20);
  // A 4K boundary keeps the cluster heap from being aligned to large clusters.
  std::string mkfs = std::string("mkfs.exfat -b 4K -c ") + GetParam() + " " + image.string() + " >/dev/null 2>&1";
  ASSERT_EQ(test::runCommand(mkfs), 0) << mkfs;
  std::string dump = test::commandOutput("timeout 60 dump.exfat " + image.string() + " 2>/dev/null");
  std::int64_t heap = numberAfter(dump, "Cluster Heap Offset (sector offset):");
  std::int64_t sectorBits = numberAfter(dump, "Sector Size Bits:");
  std::int64_t clusterBits = numberAfter(dump, "Sector per Cluster bits:");
  ASSERT_TRUE(heap >= 0 && sectorBits >= 9 && clusterBits >= 0) << dump;

  Opened o = openImage(image);
  expectGeometry(o, kFsExfat, 1u << sectorBits, 1u << clusterBits, heap);
}

INSTANTIATE_TEST_SUITE_P(MkfsExfat, ExfatImage, ::testing::Values("512", "4K", "32K", "128K"),
                         [](const auto& info) { return std::string("cluster_") + info.param; });

TEST(ExfatImage, AnUnalignedHeapGivesANonZeroOffset) {
  if (!test::haveProgram("mkfs.exfat")) GTEST_SKIP() << "needs exfatprogs";
  TempDir dir;
  auto image = sparseImage(dir, 64u << 20);
  ASSERT_EQ(test::runCommand("mkfs.exfat -b 4K -c 32K " + image.string() + " >/dev/null 2>&1"), 0);
  Opened o = openImage(image);
  // With 4K alignment the heap does not start on a 32K boundary; the scan depends on knowing that.
  EXPECT_NE(o.state->detectedGeometry.clusterOffset, 0);
}

// ---------------------------------------------------------------------------------------

struct NtfsCase {
  const char* name;
  std::uint32_t sectorSize;
  std::uint32_t clusterBytes;
};

void PrintTo(const NtfsCase& c, std::ostream* os) { *os << c.name; }

class NtfsImage : public ::testing::TestWithParam<NtfsCase> {};

TEST_P(NtfsImage, DetectedGeometryMatchesTheFormat) {
  if (!test::haveProgram("mkntfs")) GTEST_SKIP() << "needs ntfs-3g";
  const NtfsCase& c = GetParam();
  TempDir dir;
  auto image = sparseImage(dir, 64u << 20);
  std::string mkfs = "mkntfs -F -Q -s " + std::to_string(c.sectorSize) + " -c " + std::to_string(c.clusterBytes) +
                     " " + image.string() + " >/dev/null 2>&1";
  ASSERT_EQ(test::runCommand(mkfs), 0) << mkfs;
  Opened o = openImage(image);
  expectGeometry(o, kFsNtfs, c.sectorSize, c.clusterBytes / c.sectorSize, 0);
}

INSTANTIATE_TEST_SUITE_P(Mkntfs, NtfsImage,
                         ::testing::Values(NtfsCase{"c512", 512, 512}, NtfsCase{"c4k", 512, 4096},
                                           NtfsCase{"c64k", 512, 65536}, NtfsCase{"s4k_c8k", 4096, 8192}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------

TEST(PartitionedImage, MasterBootRecordIsNotTakenForAVolume) {
  if (!test::haveProgram("mkfs.vfat")) GTEST_SKIP() << "needs mkfs.vfat";
  TempDir dir;
  auto volume = sparseImage(dir, 2u << 20);
  ASSERT_EQ(test::runCommand("mkfs.vfat -F 12 " + volume.string() + " >/dev/null 2>&1"), 0);
  std::vector<std::uint8_t> volumeBytes = test::readFileBytes(volume);

  // A disk image: a master boot record with one FAT12 partition at sector 2048.
  constexpr std::uint64_t kPartitionStart = 2048;
  test::ImageBuilder disk(kPartitionStart);
  disk.putBytes(446 + 4, std::vector<std::uint8_t>{0x01});  // partition type FAT12
  disk.putLe32(446 + 8, kPartitionStart).putLe32(446 + 12, static_cast<std::uint32_t>(volumeBytes.size() / 512));
  disk.putLe16(510, 0xAA55).putBytes(kPartitionStart * 512, volumeBytes);
  auto image = dir / "disk.img";
  disk.writeTo(image);

  Opened o = openImage(image);
  EXPECT_EQ(o.state->detectedGeometry.fsType, kFsUnknown);
  EXPECT_EQ(o.state->detectedGeometry.clusterOffset, -1);
  EXPECT_EQ(o.state->detectedGeometry.sectorsPerCluster, 1u);
  EXPECT_EQ(o.state->detectedGeometry.bytesPerSector, 512u);
  EXPECT_EQ(o.state->detectedGeometry.lastSector, static_cast<std::int64_t>(kPartitionStart + volumeBytes.size() / 512) - 1);

  // The volume alone is recognised.
  Opened alone = openImage(volume);
  EXPECT_EQ(alone.state->detectedGeometry.fsType, kFsFat12);
}

}  // namespace
}  // namespace vellumark
