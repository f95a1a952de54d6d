// Opening sources, learning their geometry and reading whole sectors.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "scan/scan_state.h"
#include "source/source_fields.h"
#include "support/image_builder.h"

namespace vellumark {
namespace {

using test::ImageBuilder;
using test::TempDir;

// A FAT16 boot sector (4 sectors per cluster) with the given sector size.
ImageBuilder fat16Volume(std::uint64_t sizeBytes, std::uint16_t bytesPerSector) {
  ImageBuilder b(0);
  b.fill(0, sizeBytes, 0);
  b.putText(3, "mkfs.fat").putLe16(11, bytesPerSector).putBytes(13, std::vector<std::uint8_t>{4});
  b.putLe16(14, 1).putBytes(16, std::vector<std::uint8_t>{2}).putLe16(17, 512).putLe16(22, 32);
  b.putText(54, "FAT16   ").putLe16(510, 0xAA55);
  return b;
}

// Sector n filled with a byte pattern that names it.
std::vector<std::uint8_t> sectorPattern(std::uint64_t n, std::size_t size = 512) {
  std::vector<std::uint8_t> s(size);
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<std::uint8_t>((n * 131 + i) & 0xFF);
  return s;
}

// A source that records when it is destroyed (closed).
class TrackedSource final : public SectorSource {
 public:
  explicit TrackedSource(bool& closed) : closed_(closed) {}
  ~TrackedSource() override { closed_ = true; }
  platform::Expected<std::size_t> readAt(std::uint64_t, std::span<std::uint8_t>) override { return std::size_t{0}; }
  std::uint64_t sizeBytes() const override { return 4096; }
  std::uint32_t logicalSectorSize() const override { return 512; }
  SourceKind kind() const override { return SourceKind::ImageFile; }

 private:
  bool& closed_;
};

std::size_t openDescriptorCount() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

TEST(ImageSize, SizeNotAMultipleOf512DropsTheTail) {
  ImageBuilder b(3);
  for (std::uint64_t s = 0; s < 3; ++s) b.putBytes(s * 512, sectorPattern(s));
  b.fill(3 * 512, 100, 0xEE);
  auto source = b.source();
  MemorySource* mem = source.get();
  SourceFields fields;
  openSource(fields, std::move(source), "tail.img");
  EXPECT_EQ(fields.detectedGeometry.lastSector, 2);
  EXPECT_EQ(fields.detectedGeometry.fsType, kFsUnknown);
  EXPECT_EQ(fields.detectedGeometry.bytesPerSector, 512u);
  EXPECT_EQ(fields.detectedGeometry.sectorsPerCluster, 1u);
  EXPECT_EQ(fields.detectedGeometry.clusterOffset, -1);

  std::vector<std::uint8_t> out(512);
  ASSERT_TRUE(readSector(fields, 2, out));
  EXPECT_EQ(out, sectorPattern(2));
  const std::size_t callsBefore = mem->readCalls();
  EXPECT_FALSE(readSector(fields, 3, out));
  EXPECT_EQ(mem->readCalls(), callsBefore) << "the partial tail sector must never be read";
}

TEST(ImageSize, FourKiBSectorVolumeCountsWholeFourKiBSectors) {
  ImageBuilder b = fat16Volume(10 * 4096 + 1000, 4096);
  SourceFields fields;
  openSource(fields, b.source(), "fat4k.img");
  EXPECT_EQ(fields.detectedGeometry.fsType, kFsFat16);
  EXPECT_EQ(fields.detectedGeometry.bytesPerSector, 4096u);
  EXPECT_EQ(fields.detectedGeometry.lastSector, 9);
  std::vector<std::uint8_t> out(4096);
  EXPECT_TRUE(readSector(fields, 9, out));
  EXPECT_FALSE(readSector(fields, 10, out));
  std::vector<std::uint8_t> tooSmall(512);
  EXPECT_FALSE(readSector(fields, 0, tooSmall)) << "a buffer smaller than a sector must be refused";
}

TEST(ImageSize, ImagesSmallerThanOneSectorHaveNoSectors) {
  TempDir dir;
  for (std::size_t size : {0u, 1u, 511u}) {
    auto path = dir / ("small" + std::to_string(size) + ".img");
    test::writeFileBytes(path, std::vector<std::uint8_t>(size, 0x55));
    SourceFields fields;
    auto opened = openSource(fields, path.string());
    ASSERT_TRUE(opened.ok()) << size;
    EXPECT_EQ(fields.detectedGeometry.lastSector, -1) << size;
    EXPECT_EQ(fields.geometry.lastSector, -1) << size;
    std::vector<std::uint8_t> out(512);
    EXPECT_FALSE(readSector(fields, 0, out)) << size;
  }
}

TEST(ImageSize, ImageShorterThanTheBootAreaIsStillDetected) {
  // Only 1024 bytes: detection sees zeros past the end instead of stale memory.
  ImageBuilder b = fat16Volume(1024, 512);
  TempDir dir;
  b.writeTo(dir / "short.img");
  SourceFields fields;
  ASSERT_TRUE(openSource(fields, (dir / "short.img").string()).ok());
  EXPECT_EQ(fields.detectedGeometry.fsType, kFsFat16);
  EXPECT_EQ(fields.detectedGeometry.lastSector, 1);
}

TEST(Opening, SecondOpeningClosesTheFirstSource) {
  bool firstClosed = false;
  SourceFields fields;
  openSource(fields, std::make_unique<TrackedSource>(firstClosed), "first");
  ASSERT_TRUE(fields.isOpen());
  bool secondClosed = false;
  openSource(fields, std::make_unique<TrackedSource>(secondClosed), "second");
  EXPECT_TRUE(firstClosed);
  EXPECT_FALSE(secondClosed);
  EXPECT_EQ(fields.sourceName, "second");

  // A failed opening still closes what was open: no stale source survives.
  TempDir dir;
  auto opened = openSource(fields, (dir / "missing.img").string());
  EXPECT_FALSE(opened.ok());
  EXPECT_TRUE(secondClosed);
  EXPECT_FALSE(fields.isOpen());
}

TEST(Opening, ReopeningFilesDoesNotLeakDescriptors) {
  TempDir dir;
  ImageBuilder(8).writeTo(dir / "a.img");
  ImageBuilder(16).writeTo(dir / "b.img");
  ScanState state;
  ASSERT_TRUE(openScanSource(state, (dir / "a.img").string()).ok());
  const std::size_t withOne = openDescriptorCount();
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(openScanSource(state, (dir / (i % 2 ? "a.img" : "b.img")).string()).ok());
    EXPECT_EQ(openDescriptorCount(), withOne);
  }
  EXPECT_EQ(state.detectedGeometry.lastSector, 15);  // the last one opened was b.img
  closeScanSource(state);
  EXPECT_FALSE(state.isOpen());
  EXPECT_EQ(openDescriptorCount(), withOne - 1);
}

TEST(Opening, ReopeningResetsPositions) {
  SourceFields fields;
  openSource(fields, ImageBuilder(8).source(), "a");
  std::vector<std::uint8_t> out(512);
  ASSERT_TRUE(readSector(fields, 5, out));
  openSource(fields, ImageBuilder(4).source(), "b");
  EXPECT_EQ(fields.detectedGeometry.lastSector, 3);
  EXPECT_EQ(fields.geometry, fields.detectedGeometry);
}

TEST(Opening, MissingFileGivesENOENTAndAClearMessage) {
  TempDir dir;
  const std::string path = (dir / "no-such-image.img").string();
  ScanState state;
  auto opened = openScanSource(state, path);
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().code, ENOENT);
  const std::string message = opened.error().message();
  EXPECT_NE(message.find(path), std::string::npos) << message;
  EXPECT_NE(message.find(std::strerror(ENOENT)), std::string::npos) << message;
  EXPECT_FALSE(state.isOpen());
}

TEST(Opening, DirectoryIsRefusedWithAMessage) {
  TempDir dir;
  SourceFields fields;
  auto opened = openSource(fields, dir.path().string());
  ASSERT_FALSE(opened.ok());
  EXPECT_NE(opened.error().message().find(dir.path().string()), std::string::npos);
  EXPECT_FALSE(fields.isOpen());
}

TEST(Opening, AWholeDiskWithAVolumeBootSectorOpensAsThatVolume) {
  ImageBuilder b = fat16Volume(64 * 4096, 512);
  SourceFields fields;
  openSource(fields, std::make_unique<MemorySource>(b.bytes(), 512, SourceKind::WholeDisk), "superfloppy");
  EXPECT_EQ(fields.detectedGeometry.fsType, kFsFat16);
  EXPECT_EQ(fields.detectedGeometry.lastSector, 64 * 8 - 1);

  // 512-byte sectors in the boot sector cannot describe a disk of 4096-byte sectors.
  openSource(fields, std::make_unique<MemorySource>(b.bytes(), 4096, SourceKind::WholeDisk), "disk");
  EXPECT_EQ(fields.detectedGeometry.fsType, kFsUnknown);
  EXPECT_EQ(fields.detectedGeometry.bytesPerSector, 4096u);  // the disk's own sector size
  EXPECT_EQ(fields.detectedGeometry.lastSector, 63);
  EXPECT_EQ(fields.detectedGeometry.clusterOffset, -1);

  openSource(fields, std::make_unique<MemorySource>(b.bytes(), 4096, SourceKind::Volume), "volume");
  EXPECT_EQ(fields.detectedGeometry.fsType, kFsFat16);
  EXPECT_EQ(fields.detectedGeometry.bytesPerSector, 512u);  // the boot sector's, once recognised

  ImageBuilder blank(64 * 8);
  openSource(fields, std::make_unique<MemorySource>(blank.bytes(), 4096, SourceKind::Volume), "blank volume");
  EXPECT_EQ(fields.detectedGeometry.fsType, kFsUnknown);
  EXPECT_EQ(fields.detectedGeometry.bytesPerSector, 4096u);
}

TEST(Opening, FailedBootAreaReadMeansNotRecognised) {
  ImageBuilder b = fat16Volume(64 * 512, 512);
  auto source = b.source();
  source->failReadsIn(0, 512);
  SourceFields fields;
  openSource(fields, std::move(source), "bad-first-sector");
  EXPECT_EQ(fields.detectedGeometry.fsType, kFsUnknown);
  EXPECT_EQ(fields.detectedGeometry.sectorsPerCluster, 1u);
  EXPECT_EQ(fields.detectedGeometry.lastSector, 63);
}

TEST(ReadSector, OutOfRangeAndFailedReads) {
  ImageBuilder b(16);
  auto source = b.source();
  source->failReadsIn(7 * 512, 512);
  SourceFields fields;
  std::vector<std::uint8_t> out(512);
  EXPECT_FALSE(readSector(fields, 0, out)) << "nothing is open";
  openSource(fields, std::move(source), "img");
  EXPECT_FALSE(readSector(fields, -1, out));
  EXPECT_FALSE(readSector(fields, 16, out));
  EXPECT_FALSE(readSector(fields, INT64_MAX, out));
  EXPECT_TRUE(readSector(fields, 15, out));
  EXPECT_FALSE(readSector(fields, 7, out));
}

TEST(ReadSector, SectorsBeyondTwoToTheThirtyTwoOnASparseImage) {
  TempDir dir;
  const auto path = dir / "huge.img";
  constexpr std::uint64_t kFar = (std::uint64_t{1} << 32) + 5;          // needs a 64-bit byte offset
  constexpr std::uint64_t kUnder4GiB = (std::uint64_t{1} << 23) - 1;    // ends exactly at 4 GiB
  const std::uint64_t size = (std::uint64_t{1} << 32) * 512 + 4096;
  {
    int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    bool ok = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    if (ok) {
      for (std::uint64_t s : {kFar, kUnder4GiB}) {
        auto pattern = sectorPattern(s);
        ok = ok && ::pwrite(fd, pattern.data(), pattern.size(), static_cast<off_t>(s * 512)) == 512;
      }
    }
    ::close(fd);
    if (!ok) GTEST_SKIP() << "the temp file system refuses a sparse file of " << size << " bytes";
  }
  ScanState state;
  ASSERT_TRUE(openScanSource(state, path.string()).ok());
  EXPECT_EQ(state.detectedGeometry.lastSector, static_cast<std::int64_t>((std::uint64_t{1} << 32) + 7));
  std::vector<std::uint8_t> out(512);
  ASSERT_TRUE(readSector(state, static_cast<std::int64_t>(kFar), out));
  EXPECT_EQ(out, sectorPattern(kFar));
  ASSERT_TRUE(readSector(state, static_cast<std::int64_t>(kUnder4GiB), out));
  EXPECT_EQ(out, sectorPattern(kUnder4GiB));
  ASSERT_TRUE(readSector(state, state.detectedGeometry.lastSector, out));
  EXPECT_EQ(out, std::vector<std::uint8_t>(512, 0));
  EXPECT_FALSE(readSector(state, state.detectedGeometry.lastSector + 1, out));
}

}  // namespace
}  // namespace vellumark
