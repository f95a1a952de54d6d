#include "scan/allocated_space.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "support/image_builder.h"
#include "support/recording_front_end.h"

namespace vellumark {
namespace {

using test::ImageBuilder;

// Opens the built image and sets the detected geometry by hand, as detection would.
void openWith(ScanState& state, const ImageBuilder& img, std::uint8_t fsType, std::uint32_t spc,
              std::int32_t clusterOffset = 0, std::int64_t lastSector = -1) {
  openScanSource(state, img.source(), "built image");
  VolumeGeometry geo;
  geo.fsType = fsType;
  geo.bytesPerSector = img.sectorSize();
  geo.sectorsPerCluster = spc;
  geo.clusterOffset = clusterOffset;
  geo.lastSector = lastSector >= 0 ? lastSector : static_cast<std::int64_t>(img.sectorCount()) - 1;
  state.detectedGeometry = geo;
  state.geometry = geo;
  ASSERT_TRUE(state.usedSectorMap.allocate(static_cast<std::int64_t>(img.sectorCount()) - 1));
}

AllocatedSpaceResult mark(ScanState& state) {
  SilentFrontEnd frontEnd;
  return markAllocatedSpace(state, frontEnd);
}

// What a bitmap should produce: a set bit marks spc sectors from the cluster's first one,
// never past lastSector.
std::vector<bool> expectedFromBitmap(const std::vector<std::uint8_t>& bitmap, std::int64_t start, std::uint32_t spc,
                                     std::int64_t lastSector, bool msbFirst, std::int64_t mapSectors) {
  std::vector<bool> out(static_cast<std::size_t>(mapSectors), false);
  for (std::size_t i = 0; i < bitmap.size() * 8; ++i) {
    const int bit = msbFirst ? 7 - static_cast<int>(i % 8) : static_cast<int>(i % 8);
    if (!((bitmap[i / 8] >> bit) & 1)) continue;
    for (std::uint32_t k = 0; k < spc; ++k) {
      const std::int64_t s = start + static_cast<std::int64_t>(i) * spc + k;
      if (s <= lastSector && s < mapSectors) out[static_cast<std::size_t>(s)] = true;
    }
  }
  return out;
}

// First sector where the map and the expectation differ, or -1.
std::int64_t firstDifference(const UsedSectorMap& map, const std::vector<bool>& expected) {
  for (std::size_t s = 0; s < expected.size(); ++s)
    if (map.isSectorUsed(static_cast<std::int64_t>(s)) != expected[s]) return static_cast<std::int64_t>(s);
  return -1;
}

std::vector<std::uint8_t> patternedBitmap(std::size_t bytes, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> out(bytes);
  for (std::size_t i = 0; i < bytes; ++i) {
    switch (rng() % 4) {
      case 0: out[i] = 0x00; break;
      case 1: out[i] = 0xFF; break;
      default: out[i] = static_cast<std::uint8_t>(rng());
    }
  }
  return out;
}

// ---- NTFS --------------------------------------------------------------------------------

struct NtfsRun {
  std::int64_t lcn = -1;  // -1: sparse
  std::uint64_t clusters = 0;
};

std::vector<std::uint8_t> encodeRuns(const std::vector<NtfsRun>& runs) {
  std::vector<std::uint8_t> out;
  std::int64_t previous = 0;
  for (const NtfsRun& run : runs) {
    std::vector<std::uint8_t> length;
    for (std::uint64_t v = run.clusters; v != 0; v >>= 8) length.push_back(static_cast<std::uint8_t>(v));
    std::vector<std::uint8_t> offset;
    if (run.lcn >= 0) {
      std::int64_t delta = run.lcn - previous;
      previous = run.lcn;
      do {
        offset.push_back(static_cast<std::uint8_t>(delta));
        delta >>= 8;  // arithmetic: stops once the sign bit of the last byte is right
      } while (!((delta == 0 && !(offset.back() & 0x80)) || (delta == -1 && (offset.back() & 0x80))));
    }
    out.push_back(static_cast<std::uint8_t>(length.size() | (offset.size() << 4)));
    out.insert(out.end(), length.begin(), length.end());
    out.insert(out.end(), offset.begin(), offset.end());
  }
  out.push_back(0);
  return out;
}

struct NtfsVolume {
  std::uint64_t sectors = 512;
  std::uint32_t spc = 8;
  std::uint64_t mftCluster = 4;
  std::int8_t recordSizeByte = -10;  // 1 KiB records
  std::uint32_t recordSize = 1024;
  std::vector<NtfsRun> runs;
  std::uint64_t dataSize = 0;
  std::vector<std::uint8_t> bitmap;  // dataSize bytes, laid into the runs
  bool withFixups = true;
  bool pushDataAcrossStride = false;   // an attribute in front moves $DATA's data size onto bytes 510..511
  bool zeroLengthAttribute = false;

  ImageBuilder build() const {
    ImageBuilder img(sectors);
    const std::uint64_t clusterBytes = std::uint64_t{spc} * 512;
    img.putText(3, "NTFS    ").putLe16(11, 512);
    img.bytes()[13] = static_cast<std::uint8_t>(spc);
    img.putLe64(48, mftCluster);
    img.bytes()[64] = static_cast<std::uint8_t>(recordSizeByte);
    img.putLe16(510, 0xAA55);

    std::vector<std::uint8_t> record(recordSize, 0);
    auto put16 = [&](std::size_t at, std::uint16_t v) { record[at] = v & 0xFF; record[at + 1] = v >> 8; };
    auto put32 = [&](std::size_t at, std::uint32_t v) { for (int i = 0; i < 4; ++i) record[at + i] = (v >> (8 * i)) & 0xFF; };
    auto put64 = [&](std::size_t at, std::uint64_t v) { for (int i = 0; i < 8; ++i) record[at + i] = (v >> (8 * i)) & 0xFF; };
    const std::size_t strides = recordSize / 512;
    std::memcpy(record.data(), "FILE", 4);
    put16(4, 48);
    put16(6, withFixups ? static_cast<std::uint16_t>(strides + 1) : 0);
    const std::size_t firstAttribute = (48 + 2 * (strides + 1) + 7) / 8 * 8;  // past the update-sequence array
    put16(20, static_cast<std::uint16_t>(firstAttribute));
    put16(22, 1);
    std::size_t at = firstAttribute;
    if (zeroLengthAttribute) {
      put32(at, 0x10);  // length 0: the walk must end here
      at += 24;
    }
    if (pushDataAcrossStride) {
      put32(at, 0x10);
      put32(at + 4, 400);
      at += 400;
    }
    const std::vector<std::uint8_t> runList = encodeRuns(runs);
    const std::uint32_t length = static_cast<std::uint32_t>((64 + runList.size() + 7) / 8 * 8);
    put32(at, 0x80);
    put32(at + 4, length);
    record[at + 8] = 1;
    put16(at + 10, 64);
    std::uint64_t clusters = 0;
    for (const NtfsRun& r : runs) clusters += r.clusters;
    put64(at + 24, clusters ? clusters - 1 : 0);
    put16(at + 32, 64);
    put64(at + 40, clusters * clusterBytes);
    put64(at + 48, dataSize);
    put64(at + 56, dataSize);
    std::memcpy(record.data() + at + 64, runList.data(), runList.size());
    at += length;
    put32(at, 0xFFFFFFFF);
    put32(24, static_cast<std::uint32_t>(at + 8));
    put32(28, recordSize);
    if (withFixups) {
      const std::uint16_t usn = 0x0007;
      put16(48, usn);
      for (std::size_t i = 0; i < strides; ++i) {
        const std::size_t tail = (i + 1) * 512 - 2;
        record[50 + 2 * i] = record[tail];
        record[51 + 2 * i] = record[tail + 1];
        put16(tail, usn);
      }
    }
    img.putBytes(mftCluster * clusterBytes + 6 * recordSize, record);

    // The bitmap bytes go into the runs; what lies past the data size in the last cluster
    // is filled with 0xFF, which must be ignored.
    std::uint64_t taken = 0;
    for (const NtfsRun& r : runs) {
      const std::uint64_t runBytes = r.clusters * clusterBytes;
      if (r.lcn >= 0) {
        img.fill(r.lcn * clusterBytes, runBytes, 0xFF);
        if (taken < bitmap.size()) {
          const std::uint64_t n = std::min<std::uint64_t>(runBytes, bitmap.size() - taken);
          img.putBytes(r.lcn * clusterBytes, std::span(bitmap).subspan(taken, n));
        }
      }
      taken += runBytes;
    }
    return img;
  }
};

TEST(AllocatedSpaceNtfsTest, OneBitMarksOneClusterOfSpcSectors) {
  NtfsVolume v;
  v.runs = {{40, 1}};
  v.dataSize = 8;  // 64 clusters of 8 sectors: the whole 512-sector volume
  v.bitmap = {0x01, 0, 0, 0, 0, 0, 0, 0};
  ImageBuilder img = v.build();
  ScanState state;
  openWith(state, img, kFsNtfs, 8);
  AllocatedSpaceResult r = mark(state);
  ASSERT_TRUE(r.ok) << r.failure;
  EXPECT_FALSE(r.cancelled);
  for (std::int64_t s = 0; s < 8; ++s) EXPECT_TRUE(state.usedSectorMap.isSectorUsed(s)) << s;
  for (std::int64_t s = 8; s < 64; ++s) EXPECT_FALSE(state.usedSectorMap.isSectorUsed(s)) << s;
  EXPECT_EQ(state.usedSectorMap.countUsed(), 8);
}

TEST(AllocatedSpaceNtfsTest, FullByteCrossingTheLastSectorStopsThere) {
  NtfsVolume v;
  v.runs = {{40, 1}};
  v.dataSize = 8;
  v.bitmap = {0, 0, 0, 0, 0, 0, 0, 0xFF};  // clusters 56..63 = sectors 448..511
  ImageBuilder img = v.build();
  ScanState state;
  openWith(state, img, kFsNtfs, 8, 0, 500);
  AllocatedSpaceResult r = mark(state);
  ASSERT_TRUE(r.ok) << r.failure;
  EXPECT_TRUE(state.usedSectorMap.isSectorUsed(448));
  EXPECT_TRUE(state.usedSectorMap.isSectorUsed(500));
  EXPECT_FALSE(state.usedSectorMap.isSectorUsed(447));
  for (std::int64_t s = 501; s < 512; ++s) EXPECT_FALSE(state.usedSectorMap.isSectorUsed(s)) << s;
  EXPECT_EQ(state.usedSectorMap.countUsed(), 53);
}

// $Bitmap in three pieces: a run, a sparse run, and a run before the first (negative
// relative offset); its data size ends inside the last cluster. The $DATA attribute sits
// across the first 512-byte stride, so the update-sequence fix-ups must be applied.
NtfsVolume fragmentedVolume() {
  NtfsVolume v;
  v.sectors = 13000;
  v.spc = 1;
  v.mftCluster = 16;
  v.runs = {{200, 1}, {-1, 1}, {120, 2}};
  v.dataSize = 3 * 512 + 10;  // 12368 clusters
  v.bitmap = patternedBitmap(v.dataSize, 11);
  std::fill(v.bitmap.begin() + 512, v.bitmap.begin() + 1024, 0);  // the sparse run reads as zeros
  v.pushDataAcrossStride = true;
  return v;
}

TEST(AllocatedSpaceNtfsTest, FollowsEveryRunOfAFragmentedBitmapUpToItsDataSize) {
  NtfsVolume v = fragmentedVolume();
  ImageBuilder img = v.build();
  ScanState state;
  openWith(state, img, kFsNtfs, 1);
  AllocatedSpaceResult r = mark(state);
  ASSERT_TRUE(r.ok) << r.failure;
  auto expected = expectedFromBitmap(v.bitmap, 0, 1, 12999, false, 13000);
  EXPECT_EQ(firstDifference(state.usedSectorMap, expected), -1);
  for (std::int64_t s = 12368; s < 13000; ++s) ASSERT_FALSE(state.usedSectorMap.isSectorUsed(s)) << s;
}

TEST(AllocatedSpaceNtfsTest, RecordSizeComesFromTheBootSector) {
  NtfsVolume v = fragmentedVolume();
  v.recordSizeByte = -12;  // 4 KiB records, as on 4K-sector disks
  v.recordSize = 4096;
  ImageBuilder img = v.build();
  ScanState state;
  openWith(state, img, kFsNtfs, 1);
  AllocatedSpaceResult r = mark(state);
  ASSERT_TRUE(r.ok) << r.failure;
  EXPECT_EQ(firstDifference(state.usedSectorMap, expectedFromBitmap(v.bitmap, 0, 1, 12999, false, 13000)), -1);
}

TEST(AllocatedSpaceNtfsTest, TornRecordIsRefused) {
  NtfsVolume v = fragmentedVolume();
  ImageBuilder img = v.build();
  img.putLe16(16 * 512 + 6 * 1024 + 1022, 0x1234);  // second stride no longer carries the sequence number
  ScanState state;
  openWith(state, img, kFsNtfs, 1);
  AllocatedSpaceResult r = mark(state);
  EXPECT_FALSE(r.ok);
  EXPECT_FALSE(r.cancelled);
  EXPECT_EQ(state.usedSectorMap.countUsed(), 0);
}

TEST(AllocatedSpaceNtfsTest, MalformedAttributesEndTheWalk) {
  {
    NtfsVolume v;
    v.runs = {{40, 1}};
    v.dataSize = 8;
    v.bitmap = {0xFF};
    v.zeroLengthAttribute = true;
    ImageBuilder img = v.build();
    ScanState state;
    openWith(state, img, kFsNtfs, 8);
    AllocatedSpaceResult r = mark(state);  // must return, not loop
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.cancelled);
  }
  {
    NtfsVolume v;
    v.runs = {{40, 1}};
    v.dataSize = 8;
    v.bitmap = {0xFF};
    ImageBuilder img = v.build();
    img.putLe32(4 * 4096 + 6 * 1024 + 56 + 4, 0x7FFFFFF0);  // $DATA length runs past the record
    ScanState state;
    openWith(state, img, kFsNtfs, 8);
    EXPECT_FALSE(mark(state).ok);
    EXPECT_EQ(state.usedSectorMap.countUsed(), 0);
  }
}

TEST(AllocatedSpaceNtfsTest, RunListPointingOutsideTheVolumeIsRefused) {
  NtfsVolume v;
  v.runs = {{40, 1}, {1000000, 1}};
  v.dataSize = 8;
  v.bitmap = {0x0F};
  v.runs[1].lcn = -1;
  ImageBuilder img = v.build();
  // Rewrite the second run with a huge offset by hand: header 0x41 (1-byte length, 4-byte offset).
  const std::uint64_t runAt = 4 * 4096 + 6 * 1024 + 56 + 64;
  const std::uint8_t runs[] = {0x11, 0x01, 0x28, 0x41, 0x01, 0xFF, 0xFF, 0xFF, 0x70, 0x00};
  img.putBytes(runAt, runs);
  img.putLe64(4 * 4096 + 6 * 1024 + 56 + 48, 8000);
  ScanState state;
  openWith(state, img, kFsNtfs, 8);
  EXPECT_FALSE(mark(state).ok);
}

// ---- exFAT -------------------------------------------------------------------------------

struct ExfatVolume {
  std::uint64_t sectors = 2048;
  std::uint32_t heap = 128;
  std::uint32_t spcShift = 2;      // 4 sectors per cluster
  std::uint32_t clusterCount = 480;
  std::uint32_t rootCluster = 4;
  std::uint32_t bitmapCluster = 2;
  std::vector<std::uint8_t> rootEntryTypes = {0x83, 0x81, 0x82};
  std::vector<std::uint8_t> bitmap;

  std::uint64_t clusterSector(std::uint32_t c) const { return heap + (std::uint64_t{c} - 2) * (1u << spcShift); }

  ImageBuilder build() const {
    ImageBuilder img(sectors);
    img.putText(3, "EXFAT   ").putLe32(88, heap).putLe32(92, clusterCount).putLe32(96, rootCluster);
    img.bytes()[108] = 9;
    img.bytes()[109] = static_cast<std::uint8_t>(spcShift);
    img.putLe16(510, 0xAA55);
    const std::uint64_t root = clusterSector(rootCluster) * 512;
    for (std::size_t i = 0; i < rootEntryTypes.size(); ++i) {
      img.bytes()[root + 32 * i] = rootEntryTypes[i];
      if (rootEntryTypes[i] == 0x81) img.putLe32(root + 32 * i + 20, bitmapCluster).putLe64(root + 32 * i + 24, bitmap.size());
    }
    img.putBytes(clusterSector(bitmapCluster) * 512, bitmap);
    return img;
  }
};

// Marks the volume and checks the map: the 128 sectors before the cluster heap, then the
// clusters the bitmap says are in use.
void expectExfatMarksHeapFrontAndBitmap(const ExfatVolume& v) {
  ImageBuilder img = v.build();
  ScanState state;
  openWith(state, img, kFsExfat, 4);
  AllocatedSpaceResult r = mark(state);
  ASSERT_TRUE(r.ok) << r.failure;
  auto expected = expectedFromBitmap(v.bitmap, 128, 4, 2047, false, 2048);
  for (std::size_t s = 0; s < 128; ++s) expected[s] = true;
  EXPECT_EQ(firstDifference(state.usedSectorMap, expected), -1);
}

TEST(AllocatedSpaceExfatTest, MarksTheAreaBeforeTheHeapAndTheBitmapClusters) {
  ExfatVolume v;
  v.bitmap = patternedBitmap(60, 3);
  expectExfatMarksHeapFrontAndBitmap(v);
}

TEST(AllocatedSpaceExfatTest, BitmapEntryIsFoundWhereverItStandsInTheRootDirectory) {
  ExfatVolume v;
  v.bitmap = patternedBitmap(60, 4);
  v.rootEntryTypes = {0x81, 0x82};  // no volume label entry: the bitmap comes first
  expectExfatMarksHeapFrontAndBitmap(v);
}

TEST(AllocatedSpaceExfatTest, RootDirectoryWithoutBitmapEntryIsRefused) {
  ExfatVolume v;
  v.bitmap = patternedBitmap(60, 5);
  v.rootEntryTypes = {0x83, 0x82, 0x00, 0x81};  // the bitmap entry lies after the end marker
  ImageBuilder img = v.build();
  ScanState state;
  openWith(state, img, kFsExfat, 4);
  AllocatedSpaceResult r = mark(state);
  EXPECT_FALSE(r.ok);
  EXPECT_FALSE(r.cancelled);
  EXPECT_EQ(state.usedSectorMap.countUsed(), 0);
}

TEST(AllocatedSpaceExfatTest, FailedBitmapReadKeepsTheMarksAlreadyMade) {
  ExfatVolume v;
  v.bitmap = patternedBitmap(60, 6);
  ImageBuilder img = v.build();
  ScanState state;
  openWith(state, img, kFsExfat, 4);
  auto source = img.source();
  source->failReadsIn(v.clusterSector(2) * 512, 512);
  openScanSource(state, std::move(source), "failing");
  state.detectedGeometry.fsType = kFsExfat;
  state.detectedGeometry.sectorsPerCluster = 4;
  state.detectedGeometry.clusterOffset = 0;
  AllocatedSpaceResult r = mark(state);
  EXPECT_FALSE(r.ok);
  EXPECT_FALSE(r.cancelled);
  EXPECT_EQ(state.usedSectorMap.countUsed(), 128);  // everything in front of the heap
}

// ---- HFS and HFS+ --------------------------------------------------------------------------

TEST(AllocatedSpaceHfsTest, BitmapIsReadMostSignificantBitFirstFromTheFirstBlock) {
  ImageBuilder img(1200);
  const std::uint16_t blocks = 290;
  const std::uint16_t firstBlockSector = 7;  // blocks of 2 sectors from sector 7
  img.putText(1024, "BD").putBe16(1038, 3).putBe16(1042, blocks).putBe32(1044, 1024).putBe16(1052, firstBlockSector);
  std::vector<std::uint8_t> bitmap = patternedBitmap((blocks + 7) / 8, 8);
  bitmap.back() |= 0x3F;  // bits past the last block must be ignored
  img.putBytes(3 * 512, bitmap);
  ScanState state;
  openWith(state, img, kFsHfs, 2, firstBlockSector, 586);  // volume ends with the last block
  AllocatedSpaceResult r = mark(state);
  ASSERT_TRUE(r.ok) << r.failure;
  auto expected = expectedFromBitmap(bitmap, firstBlockSector, 2, 586, true, 1200);
  for (std::size_t s = 0; s < firstBlockSector; ++s) expected[s] = true;
  EXPECT_EQ(firstDifference(state.usedSectorMap, expected), -1);
  EXPECT_TRUE(state.usedSectorMap.isSectorUsed(7) == static_cast<bool>(bitmap[0] & 0x80));
}

ImageBuilder hfsPlusImage(std::uint32_t blockSize, std::uint32_t blocks, const std::vector<std::uint8_t>& bitmap,
                          const std::vector<std::pair<std::uint32_t, std::uint32_t>>& extents) {
  ImageBuilder img(std::uint64_t{blocks} * blockSize / 512);
  img.putText(1024, "H+").putBe16(1026, 4).putBe32(1064, blockSize).putBe32(1068, blocks);
  img.putLe64(1136, 0).putBe32(1136 + 4, static_cast<std::uint32_t>(bitmap.size()));
  std::size_t taken = 0;
  for (std::size_t i = 0; i < extents.size(); ++i) {
    img.putBe32(1152 + 8 * i, extents[i].first).putBe32(1156 + 8 * i, extents[i].second);
    const std::size_t bytes = std::size_t{extents[i].second} * blockSize;
    const std::size_t n = std::min(bytes, bitmap.size() - std::min(bitmap.size(), taken));
    if (n) img.putBytes(std::uint64_t{extents[i].first} * blockSize, std::span(bitmap).subspan(taken, n));
    taken += bytes;
  }
  return img;
}

TEST(AllocatedSpaceHfsTest, HfsPlusBitmapInTheFirstBlockAfterTheHeader) {
  const std::uint32_t blocks = 700;
  std::vector<std::uint8_t> bitmap = patternedBitmap((blocks + 7) / 8, 9);
  ImageBuilder img = hfsPlusImage(4096, blocks, bitmap, {{1, 1}});
  ScanState state;
  openWith(state, img, kFsHfsPlus, 8);
  AllocatedSpaceResult r = mark(state);
  ASSERT_TRUE(r.ok) << r.failure;
  const auto sectors = static_cast<std::int64_t>(img.sectorCount());
  EXPECT_EQ(firstDifference(state.usedSectorMap, expectedFromBitmap(bitmap, 0, 8, sectors - 1, true, sectors)), -1);
}

TEST(AllocatedSpaceHfsTest, HfsPlusAllocationFileInSeveralExtents) {
  const std::uint32_t blocks = 20000;  // 512-byte blocks: 2500 bitmap bytes over 5 blocks
  std::vector<std::uint8_t> bitmap = patternedBitmap(blocks / 8, 10);
  ImageBuilder img = hfsPlusImage(512, blocks, bitmap, {{3, 2}, {9000, 1}, {400, 2}});
  ScanState state;
  openWith(state, img, kFsHfsPlus, 1);
  AllocatedSpaceResult r = mark(state);
  ASSERT_TRUE(r.ok) << r.failure;
  EXPECT_EQ(firstDifference(state.usedSectorMap, expectedFromBitmap(bitmap, 0, 1, blocks - 1, true, blocks)), -1);
}

TEST(AllocatedSpaceHfsTest, HfsPlusExtentsShorterThanTheBitmapAreRefused) {
  const std::uint32_t blocks = 20000;
  std::vector<std::uint8_t> bitmap = patternedBitmap(blocks / 8, 12);
  ImageBuilder img = hfsPlusImage(512, blocks, bitmap, {{3, 2}, {9000, 1}});
  ScanState state;
  openWith(state, img, kFsHfsPlus, 1);
  AllocatedSpaceResult r = mark(state);
  EXPECT_FALSE(r.ok);
  EXPECT_FALSE(r.cancelled);
}

// ---- FAT32, cancellation, progress -------------------------------------------------------------

// A FAT32 volume whose FAT (51,200 bytes) is read in more than one piece.
ImageBuilder fat32Image(std::vector<std::uint32_t>& entries) {
  const std::uint32_t reserved = 32, fats = 2, sectorsPerFat = 100, total = 13030;
  ImageBuilder img(total);
  img.putLe16(11, 512).putLe16(14, reserved).putLe32(32, total).putLe32(36, sectorsPerFat);
  img.bytes()[13] = 1;
  img.bytes()[16] = fats;
  img.bytes()[21] = 0xF8;
  img.putText(82, "FAT32   ").putLe16(510, 0xAA55);
  entries.assign(sectorsPerFat * 512 / 4, 0);
  std::mt19937 rng(21);
  for (std::size_t i = 2; i < entries.size(); ++i) entries[i] = (rng() % 3 == 0) ? 0 : (0xF0000000u | (rng() % 5));
  entries[0] = 0x0FFFFFF8;
  entries[1] = 0x0FFFFFFF;
  entries[9] = 0x10000000;  // only the low 28 bits count: free
  for (std::size_t i = 0; i < entries.size(); ++i) img.putLe32(reserved * 512 + 4 * i, entries[i]);
  return img;
}

TEST(AllocatedSpaceFatTest, Fat32EntriesDecideOnTheirLow28Bits) {
  std::vector<std::uint32_t> entries;
  ImageBuilder img = fat32Image(entries);
  ScanState state;
  openWith(state, img, kFsFat32, 1, 0);
  AllocatedSpaceResult r = mark(state);
  ASSERT_TRUE(r.ok) << r.failure;
  const std::int64_t dataStart = 232;
  for (std::int64_t s = 0; s < dataStart; ++s) ASSERT_TRUE(state.usedSectorMap.isSectorUsed(s)) << s;
  for (std::int64_t s = dataStart; s < 13030; ++s) {
    const std::uint32_t e = entries[static_cast<std::size_t>(s - dataStart + 2)] & 0x0FFFFFFF;
    ASSERT_EQ(state.usedSectorMap.isSectorUsed(s), e != 0) << s;
  }
  EXPECT_FALSE(state.usedSectorMap.isSectorUsed(dataStart + 7));
}

TEST(AllocatedSpaceFatTest, CancelBeforeTheFirstReadAndBetweenPieces) {
  std::vector<std::uint32_t> entries;
  ImageBuilder img = fat32Image(entries);
  {
    ScanState state;
    openWith(state, img, kFsFat32, 1, 0);
    state.scanCancelled = true;
    AllocatedSpaceResult r = mark(state);
    EXPECT_TRUE(r.cancelled);
    EXPECT_FALSE(r.ok);
  }
  {
    ScanState state;
    openWith(state, img, kFsFat32, 1, 0);
    state.displayTick = 200;  // the first refresh point is due
    test::RecordingFrontEnd frontEnd;
    frontEnd.onPump = [&state] { state.scanCancelled = true; };
    AllocatedSpaceResult r = markAllocatedSpace(state, frontEnd);
    EXPECT_TRUE(r.cancelled);
    EXPECT_FALSE(r.ok);
    ASSERT_EQ(frontEnd.reports.size(), 1u);
    EXPECT_EQ(frontEnd.reports[0].phase, ScanPhase::MarkingAllocated);
    EXPECT_EQ(frontEnd.reports[0].total, 12800 * 4);  // entries of the 12,798 clusters and the two reserved ones
    EXPECT_EQ(frontEnd.reports[0].done, 48 * 1024);
    EXPECT_GT(state.usedSectorMap.countUsed(), 232);  // the first piece's marks stay
  }
}

TEST(AllocatedSpaceFatTest, ProgressReportsBytesOfTableRead) {
  std::vector<std::uint32_t> entries;
  ImageBuilder img = fat32Image(entries);
  ScanState state;
  openWith(state, img, kFsFat32, 1, 0);
  test::RecordingFrontEnd frontEnd;
  frontEnd.onPump = [&state] { state.displayTick += 200; };
  state.displayTick = 200;
  AllocatedSpaceResult r = markAllocatedSpace(state, frontEnd);
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(frontEnd.reports.size(), 2u);
  EXPECT_EQ(frontEnd.reports.back().done, frontEnd.reports.back().total);
  EXPECT_GT(frontEnd.pumps, 0);
}

// ---- other ---------------------------------------------------------------------------------

TEST(AllocatedSpaceTest, UnknownFileSystemIsNotSupported) {
  ImageBuilder img(64);
  ScanState state;
  openWith(state, img, kFsUnknown, 1, -1);
  AllocatedSpaceResult r = mark(state);
  EXPECT_FALSE(r.ok);
  EXPECT_FALSE(r.cancelled);
  EXPECT_FALSE(r.failure.empty());
  EXPECT_EQ(state.usedSectorMap.countUsed(), 0);
}

TEST(AllocatedSpaceTest, WithoutAMapNothingHappens) {
  ImageBuilder img(64);
  ScanState state;
  openWith(state, img, kFsFat16, 1, 0);
  state.usedSectorMap.release();
  EXPECT_FALSE(mark(state).ok);
}

// Hostile boot sectors, volume headers and tables: every walk must end, and nothing may be
// read or written outside its buffers (the sanitizer build checks the latter).
TEST(AllocatedSpaceTest, GarbageNeverCrashesOrHangs) {
  std::mt19937 rng(77);
  for (std::uint8_t fs : {kFsFat12, kFsFat16, kFsFat32, kFsNtfs, kFsExfat, kFsHfs, kFsHfsPlus}) {
    for (int round = 0; round < 150; ++round) {
      ImageBuilder img(256);
      img.fillRandom(0, 256 * 512, rng());
      if (round % 3 == 0) {  // keep the fields that lead deeper plausible
        img.putLe16(14, 1 + rng() % 8).putLe16(22, 1 + rng() % 4).putLe32(36, 1 + rng() % 4);
        img.bytes()[16] = 2;
        img.putLe64(48, rng() % 8).putText(1024 + 6 * 1024, "FILE");
        img.putLe32(88, rng() % 64).putLe32(92, rng() % 512).putLe32(96, 2 + rng() % 8);
      }
      const std::uint32_t spc = (fs == kFsHfs) ? 1 + rng() % 1000 : 1u << (rng() % 8);
      ScanState state;
      openWith(state, img, fs, spc, static_cast<std::int32_t>(rng() % 300));
      AllocatedSpaceResult r = mark(state);
      EXPECT_FALSE(r.cancelled);
      EXPECT_LE(state.usedSectorMap.countUsed(), 256);
    }
  }
}

// Valid volumes with a few bytes of their metadata (boot sector, MFT record, root
// directory, volume header) changed at random: the walks must end and stay in bounds.
TEST(AllocatedSpaceTest, MutatedMetadataNeverCrashesOrHangs) {
  struct Case {
    ImageBuilder img;
    std::uint8_t fs;
    std::uint32_t spc;
    std::int32_t clusterOffset;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> metadata;  // byte ranges to mutate
  };
  std::vector<Case> cases;
  {
    NtfsVolume v;
    v.runs = {{40, 1}, {-1, 1}, {20, 1}};
    v.dataSize = 8;
    v.bitmap = {0x5A, 0xFF, 0, 0x81, 0xFF, 0xFF, 0x0F, 0xF0};
    cases.push_back({v.build(), kFsNtfs, 8, 0, {{0, 512}, {4 * 4096 + 6 * 1024, 1024}}});
  }
  {
    ExfatVolume v;
    v.bitmap = patternedBitmap(60, 30);
    cases.push_back({v.build(), kFsExfat, 4, 0, {{0, 512}, {v.clusterSector(4) * 512, 512}}});
  }
  {
    std::vector<std::uint8_t> bitmap = patternedBitmap(88, 31);
    cases.push_back({hfsPlusImage(4096, 700, bitmap, {{1, 1}}), kFsHfsPlus, 8, 0, {{1024, 512}}});
  }
  {
    std::vector<std::uint32_t> entries;
    cases.push_back({fat32Image(entries), kFsFat32, 1, 0, {{0, 512}, {32 * 512, 64}}});
  }
  std::mt19937 rng(99);
  for (const Case& c : cases) {
    const int rounds = c.img.sectorCount() > 2048 ? 60 : 300;  // fewer copies of the large image
    for (int round = 0; round < rounds; ++round) {
      ImageBuilder img = c.img;
      const int flips = 1 + static_cast<int>(rng() % 8);
      for (int i = 0; i < flips; ++i) {
        const auto& range = c.metadata[rng() % c.metadata.size()];
        img.bytes()[range.first + rng() % range.second] = static_cast<std::uint8_t>(rng());
      }
      ScanState state;
      openWith(state, img, c.fs, c.spc, c.clusterOffset);
      AllocatedSpaceResult r = mark(state);
      EXPECT_FALSE(r.cancelled);
      EXPECT_LE(state.usedSectorMap.countUsed(), static_cast<std::int64_t>(img.sectorCount()));
    }
  }
}

}  // namespace
}  // namespace vellumark
