// exFAT: everything in front of the cluster heap is marked whole, then the clusters the
// allocation bitmap (found in the root directory) says are in use.

#include <algorithm>

#include "scan/allocation_walk.h"
#include "util/byte_reader.h"

namespace vellumark::allocation {

namespace {

constexpr std::uint8_t kEntryEndOfDirectory = 0x00;
constexpr std::uint8_t kEntryAllocationBitmap = 0x81;
constexpr std::size_t kDirectoryEntryBytes = 32;

// Offset of the first allocation-bitmap entry in a directory sector, or -1. The entry
// order of the root directory is not fixed, so every entry up to the end marker is looked at.
std::int64_t findBitmapEntry(Bytes sector) {
  for (std::size_t at = 0; fits(sector, at, kDirectoryEntryBytes); at += kDirectoryEntryBytes) {
    const std::uint8_t type = u8At(sector, at);
    if (type == kEntryEndOfDirectory) break;
    if (type == kEntryAllocationBitmap) return static_cast<std::int64_t>(at);
  }
  return -1;
}

}  // namespace

Outcome markExfat(Walk& walk) {
  const std::uint32_t bps = walk.geo.bytesPerSector;
  const std::uint64_t spc = walk.geo.sectorsPerCluster;
  std::vector<std::uint8_t> sector(bps);
  if (!walk.readExact(0, sector)) return walk.fail("reading the boot sector failed");
  const std::uint64_t heap = le32(sector, 88);
  const std::uint64_t clusterCount = le32(sector, 92);
  const std::uint64_t rootCluster = le32(sector, 96);
  if (rootCluster < 2 || rootCluster - 2 >= clusterCount)
    return walk.fail("the root directory cluster of the boot sector lies outside the cluster heap");

  const std::uint64_t rootSector = heap + (rootCluster - 2) * spc;
  if (walk.cancelRequested()) return Outcome::Cancelled;
  if (!walk.readExact(rootSector * bps, sector)) return walk.fail("reading the root directory failed");
  const std::int64_t entry = findBitmapEntry(sector);
  if (entry < 0) return walk.fail("the root directory holds no allocation bitmap entry");
  const auto e = static_cast<std::size_t>(entry);
  const std::uint64_t bitmapCluster = le32(sector, e + 20);
  const std::uint64_t bitmapBytes = std::min(le64(sector, e + 24), (clusterCount + 7) / 8);
  if (bitmapCluster < 2 || bitmapCluster - 2 >= clusterCount)
    return walk.fail("the allocation bitmap lies outside the cluster heap");

  walk.markSectors(0, static_cast<std::int64_t>(heap));
  const Extent extent{(heap + (bitmapCluster - 2) * spc) * bps, bitmapBytes, false};
  BitmapMarker marker(walk.state.usedSectorMap, static_cast<std::int64_t>(heap), walk.geo.lastSector,
                      walk.geo.sectorsPerCluster, false, walk.sectorBase);
  return walkBitmap(walk, std::span(&extent, 1), bitmapBytes, marker);
}

}  // namespace vellumark::allocation
