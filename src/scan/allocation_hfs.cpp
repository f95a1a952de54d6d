// HFS and HFS+/HFSX: the volume bitmap, one bit per allocation block, most significant
// bit first. Both headers lie at byte 1024 of the volume.

#include <algorithm>
#include <array>

#include "scan/allocation_walk.h"
#include "util/byte_reader.h"

namespace vellumark::allocation {

namespace {

constexpr std::size_t kHeaderAreaBytes = 4096;
constexpr std::uint64_t kHfsSectorBytes = 512;

// HFS master directory block fields (from byte 1024).
constexpr std::size_t kHfsBitmapStart = 1038;   // u16, in 512-byte sectors
constexpr std::size_t kHfsBlockCount = 1042;    // u16
// HFS+ volume header fields (from byte 1024).
constexpr std::size_t kHfsPlusBlockSize = 1064;   // u32
constexpr std::size_t kHfsPlusBlockCount = 1068;  // u32
constexpr std::size_t kHfsPlusAllocationExtents = 1152;  // 8 x (start block u32, block count u32)
constexpr int kHfsPlusExtentsInHeader = 8;

}  // namespace

Outcome markHfs(Walk& walk) {
  std::array<std::uint8_t, kHeaderAreaBytes> header{};
  if (!walk.readExact(0, header)) return walk.fail("reading the volume header failed");
  const std::int64_t firstBlockSector = walk.geo.clusterOffset;
  if (firstBlockSector < 0) return walk.fail("the first allocation block of the volume is unknown");
  const std::uint64_t blocks = be16(header, kHfsBlockCount);
  const std::uint64_t bitmapBytes = (blocks + 7) / 8;

  // Boot blocks, master directory block and the bitmap itself lie before the first block.
  walk.markSectors(0, firstBlockSector);
  const Extent extent{be16(header, kHfsBitmapStart) * kHfsSectorBytes, bitmapBytes, false};
  BitmapMarker marker(walk.state.usedSectorMap, firstBlockSector, walk.geo.lastSector, walk.geo.sectorsPerCluster,
                      true, walk.sectorBase);
  return walkBitmap(walk, std::span(&extent, 1), bitmapBytes, marker);
}

Outcome markHfsPlus(Walk& walk) {
  std::array<std::uint8_t, kHeaderAreaBytes> header{};
  if (!walk.readExact(0, header)) return walk.fail("reading the volume header failed");
  const std::uint64_t blockSize = static_cast<std::uint64_t>(walk.geo.sectorsPerCluster) * kHfsSectorBytes;
  if (be32(header, kHfsPlusBlockSize) != blockSize)
    return walk.fail("the block size of the volume header does not match the volume");
  const std::uint64_t bitmapBytes = (static_cast<std::uint64_t>(be32(header, kHfsPlusBlockCount)) + 7) / 8;

  // The bitmap is the allocation file; its first extents are in the volume header.
  std::vector<Extent> extents;
  for (int i = 0; i < kHfsPlusExtentsInHeader; ++i) {
    const std::size_t at = kHfsPlusAllocationExtents + static_cast<std::size_t>(i) * 8;
    const std::uint64_t start = be32(header, at);
    const std::uint64_t count = be32(header, at + 4);
    if (count == 0) break;
    extents.push_back(Extent{start * blockSize, count * blockSize, false});
  }
  if (extents.empty()) return walk.fail("the volume header gives no location for the allocation file");
  BitmapMarker marker(walk.state.usedSectorMap, 0, walk.geo.lastSector, walk.geo.sectorsPerCluster, true,
                      walk.sectorBase);
  return walkBitmap(walk, extents, bitmapBytes, marker);
}

}  // namespace vellumark::allocation
