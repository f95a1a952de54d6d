// Allocated-space marking on real file systems made at test time, compared block by block
// with what The Sleuth Kit (blkls) says is allocated.
//
// What counts as allocated: on FAT the reserved sectors, both FATs and the FAT12/16 root
// directory are metadata and marked, as blkls reports them; on exFAT everything in front of
// the cluster heap (boot region, FAT) likewise. On NTFS all metadata lives in clusters that
// $Bitmap itself marks. Sectors that belong to no cluster at the end of an NTFS volume (the
// partial last cluster and the backup boot sector) are outside blkls's block range and are
// checked separately.

#include <gtest/gtest.h>

#include <fstream>

#include "scan/allocated_space.h"
#include "util/byte_reader.h"
#include "support/file_system_images.h"
#include "support/image_builder.h"

namespace vellumark {
namespace {

namespace fs = std::filesystem;
using test::quoted;

struct RealVolumeTest : ::testing::Test {
  test::TempDir dir;
  fs::path image = dir / "volume.img";

  void SetUp() override {
    for (const char* tool : {"mkfs.vfat", "mkfs.exfat", "mkntfs", "mcopy", "mdel", "ntfscp", "blkls"})
      if (!test::haveProgram(tool)) GTEST_SKIP() << tool << " is missing (scripts/install-deps.sh installs it)";
  }

  // Opens the image through detection, allocates the map and marks allocated space.
  AllocatedSpaceResult markImage(ScanState& state, std::uint8_t expectedFsType) {
    auto opened = openScanSource(state, image.string());
    EXPECT_TRUE(opened) << "cannot open " << image;
    EXPECT_EQ(static_cast<int>(state.detectedGeometry.fsType), static_cast<int>(expectedFsType));
    EXPECT_TRUE(state.usedSectorMap.allocate(state.detectedGeometry.lastSector));
    SilentFrontEnd frontEnd;
    return markAllocatedSpace(state, frontEnd);
  }

  // Copies real documents and random files in, deletes some, then writes a file that has to
  // fill the holes (fragmented), so free runs lie between allocated ones.
  void populateFat(std::size_t budget) {
    std::size_t used = 0;
    int n = 0;
    std::vector<std::string> names;
    for (const test::CorpusDocument& doc : test::corpusDocuments()) {
      if (used + doc.size > budget / 2) continue;
      const std::string name = "DOC" + std::to_string(n++) + "." + doc.ext;
      ASSERT_TRUE(test::fatCopyIn(image, doc.path, name)) << name;
      names.push_back(name);
      used += doc.size;
    }
    ASSERT_GE(names.size(), 4u);
    ASSERT_TRUE(test::fatCopyIn(image, test::randomFile(dir.path(), "r1", budget / 8, 1), "R1.BIN"));
    for (std::size_t i = 0; i < names.size(); i += 3) ASSERT_TRUE(test::fatDelete(image, names[i]));
    ASSERT_TRUE(test::fatCopyIn(image, test::randomFile(dir.path(), "r2", budget / 4, 2), "R2.BIN"));
    ASSERT_TRUE(test::fatDelete(image, "R1.BIN"));
  }

  // Compares the map with blkls, `sectorsPerBlock` sectors per TSK block. Returns the number
  // of sectors covered by TSK's blocks.
  std::int64_t expectMatchesTsk(const ScanState& state, std::uint32_t sectorsPerBlock) {
    auto tsk = test::tskBlockAllocation(image);
    EXPECT_TRUE(tsk.has_value()) << "blkls failed on " << image;
    if (!tsk) return 0;
    int mismatches = 0;
    std::int64_t tskAllocated = 0;
    for (std::size_t block = 0; block < tsk->size(); ++block) {
      tskAllocated += (*tsk)[block] ? 1 : 0;
      for (std::uint32_t k = 0; k < sectorsPerBlock; ++k) {
        const auto s = static_cast<std::int64_t>(block * sectorsPerBlock + k);
        if (state.usedSectorMap.isSectorUsed(s) != (*tsk)[block] && ++mismatches <= 10)
          ADD_FAILURE() << "sector " << s << " (block " << block << "): map says "
                        << state.usedSectorMap.isSectorUsed(s) << ", blkls says " << (*tsk)[block];
      }
    }
    EXPECT_GT(tskAllocated, 0);
    EXPECT_LT(tskAllocated, static_cast<std::int64_t>(tsk->size()));  // some space is free
    return static_cast<std::int64_t>(tsk->size() * sectorsPerBlock);
  }

  void patchLe32(std::uint64_t offset, std::uint32_t value) {
    std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(offset));
    const char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
                           static_cast<char>(value >> 24)};
    f.write(bytes, 4);
    ASSERT_TRUE(f.good());
  }
  void patchBytes(std::uint64_t offset, std::span<const std::uint8_t> data) {
    std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    ASSERT_TRUE(f.good());
  }
};

TEST_F(RealVolumeTest, Fat12FloppyWithMediaF0) {
  ASSERT_TRUE(test::makeFileSystem(image, 1440, "mkfs.vfat -F 12"));
  populateFat(1200 * 1024);
  const auto bytes = test::readFileBytes(image);
  ASSERT_EQ(bytes[21], 0xF0);  // mkfs.vfat's floppy media byte, also the FAT's first byte
  ScanState state;
  AllocatedSpaceResult r = markImage(state, kFsFat12);
  ASSERT_TRUE(r.ok) << r.failure;
  EXPECT_EQ(expectMatchesTsk(state, 1), state.detectedGeometry.lastSector + 1);
}

TEST_F(RealVolumeTest, Fat16WithFourSectorClusters) {
  ASSERT_TRUE(test::makeFileSystem(image, 20 * 1024, "mkfs.vfat -F 16 -s 4"));
  populateFat(4 * 1024 * 1024);
  ScanState state;
  AllocatedSpaceResult r = markImage(state, kFsFat16);
  ASSERT_TRUE(r.ok) << r.failure;
  EXPECT_EQ(expectMatchesTsk(state, 1), state.detectedGeometry.lastSector + 1);
}

TEST_F(RealVolumeTest, Fat16With4096ByteSectors) {
  // 512 root entries take 4 sectors of 4096 bytes, not 32.
  ASSERT_TRUE(test::makeFileSystem(image, 64 * 1024, "mkfs.vfat -F 16 -S 4096 -s 1"));
  populateFat(4 * 1024 * 1024);
  ScanState state;
  AllocatedSpaceResult r = markImage(state, kFsFat16);
  ASSERT_TRUE(r.ok) << r.failure;
  ASSERT_EQ(state.detectedGeometry.bytesPerSector, 4096u);
  EXPECT_EQ(expectMatchesTsk(state, 1), state.detectedGeometry.lastSector + 1);
}

TEST_F(RealVolumeTest, Fat32WithAFatLongerThanTheDataArea) {
  // One-sector clusters: the FAT (630 sectors) is read in several pieces and holds more
  // entries than the volume has clusters.
  ASSERT_TRUE(test::makeFileSystem(image, 40 * 1024, "mkfs.vfat -F 32 -s 1"));
  populateFat(8 * 1024 * 1024);
  ScanState state;
  AllocatedSpaceResult r = markImage(state, kFsFat32);
  ASSERT_TRUE(r.ok) << r.failure;
  EXPECT_EQ(expectMatchesTsk(state, 1), state.detectedGeometry.lastSector + 1);
}

TEST_F(RealVolumeTest, DirtyFatVolumesAreRefused) {
  // FAT32: clean-shutdown bit 0x08000000 of entry 1 cleared in the first FAT (sector 32).
  ASSERT_TRUE(test::makeFileSystem(image, 40 * 1024, "mkfs.vfat -F 32 -s 1"));
  {
    ScanState state;
    ASSERT_TRUE(markImage(state, kFsFat32).ok);
  }
  patchLe32(32 * 512 + 4, 0x07FFFFFF);
  {
    ScanState state;
    AllocatedSpaceResult r = markImage(state, kFsFat32);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.cancelled);
    EXPECT_NE(r.failure.find("dirty"), std::string_view::npos) << r.failure;
  }
  // FAT16: bit 0x8000 of entry 1 cleared.
  ASSERT_TRUE(test::makeFileSystem(image, 20 * 1024, "mkfs.vfat -F 16 -R 4"));
  const std::uint8_t dirty16[] = {0xFF, 0x7F};
  patchBytes(4 * 512 + 2, dirty16);
  ScanState state;
  AllocatedSpaceResult r = markImage(state, kFsFat16);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.failure.find("dirty"), std::string_view::npos) << r.failure;
}

TEST_F(RealVolumeTest, FatWhoseFirstEntryDisagreesWithTheMediaByteIsRefused) {
  ASSERT_TRUE(test::makeFileSystem(image, 20 * 1024, "mkfs.vfat -F 16 -R 4"));
  const std::uint8_t media[] = {0xF0};
  patchBytes(21, media);  // boot sector says F0, the FAT starts with F8
  ScanState state;
  AllocatedSpaceResult r = markImage(state, kFsFat16);
  EXPECT_FALSE(r.ok);
  EXPECT_FALSE(r.cancelled);
}

TEST_F(RealVolumeTest, ExfatEmptyAndWithClustersAllocatedInItsBitmap) {
  ASSERT_TRUE(test::makeFileSystem(image, 64 * 1024, "mkfs.exfat"));
  {
    ScanState state;
    AllocatedSpaceResult r = markImage(state, kFsExfat);
    ASSERT_TRUE(r.ok) << r.failure;
    expectMatchesTsk(state, 1);
  }
  // exfatprogs cannot write files without mounting; set bits in the allocation bitmap
  // instead (it is the first cluster of the heap) and check both readings agree.
  const auto bytes = test::readFileBytes(image);
  const std::uint64_t heap = le32(bytes, 88);
  const std::uint32_t spc = 1u << bytes[109];
  ASSERT_EQ(le32(bytes, 96), 5u) << "root directory moved; bitmap entry layout assumption";
  std::uint64_t bitmapCluster = 0;
  const std::uint64_t root = (heap + (5 - 2) * spc) * 512;
  for (std::size_t at = 0; at < 512; at += 32)
    if (bytes[root + at] == 0x81) bitmapCluster = le32(bytes, root + at + 20);
  ASSERT_GE(bitmapCluster, 2u);
  const std::uint64_t bitmap = (heap + (bitmapCluster - 2) * spc) * 512;
  const std::uint8_t pattern[] = {0x0F, 0xFF, 0x00, 0xA5, 0x81, 0xFF, 0xFF, 0x3C};
  patchBytes(bitmap + 100, pattern);
  patchBytes(bitmap + 1983, pattern);  // the last byte covers clusters past the heap's end
  ScanState state;
  AllocatedSpaceResult r = markImage(state, kFsExfat);
  ASSERT_TRUE(r.ok) << r.failure;
  expectMatchesTsk(state, 1);
}

TEST_F(RealVolumeTest, NtfsWithFilesCopiedIn) {
  ASSERT_TRUE(test::makeFileSystem(image, 48 * 1024, "mkntfs -F -q -Q -c 4096"));
  int n = 0;
  for (const test::CorpusDocument& doc : test::corpusDocuments()) {
    if (n == 12) break;
    ASSERT_TRUE(test::ntfsCopyIn(image, doc.path, "doc" + std::to_string(n++) + "." + doc.ext));
  }
  ASSERT_TRUE(test::ntfsCopyIn(image, test::randomFile(dir.path(), "big", 3 * 1024 * 1024, 3), "big.bin"));
  ScanState state;
  AllocatedSpaceResult r = markImage(state, kFsNtfs);
  ASSERT_TRUE(r.ok) << r.failure;
  const std::int64_t covered = expectMatchesTsk(state, 8);
  // Sectors past TSK's last cluster (the partial last cluster, with the backup boot
  // sector) follow the one $Bitmap bit that stands for them; mkntfs sets the bits past the
  // end of the volume, so they are marked as the metadata they are.
  const std::int64_t last = state.detectedGeometry.lastSector;
  ASSERT_GT(last + 1 - covered, 0);
  EXPECT_LE(last + 1 - covered, 8);
  for (std::int64_t s = covered; s <= last; ++s) EXPECT_TRUE(state.usedSectorMap.isSectorUsed(s)) << s;
}

TEST_F(RealVolumeTest, NtfsWithOneSectorClusters) {
  ASSERT_TRUE(test::makeFileSystem(image, 24 * 1024, "mkntfs -F -q -Q -c 512"));
  ASSERT_TRUE(test::ntfsCopyIn(image, test::randomFile(dir.path(), "f", 700 * 1024, 4), "f.bin"));
  ScanState state;
  AllocatedSpaceResult r = markImage(state, kFsNtfs);
  ASSERT_TRUE(r.ok) << r.failure;
  expectMatchesTsk(state, 1);
}

}  // namespace
}  // namespace vellumark
