#include "scan/allocated_space.h"

#include "scan/allocation_walk.h"

namespace vellumark {

namespace {

allocation::Outcome walkFileSystem(allocation::Walk& walk) {
  switch (walk.geo.fsType) {
    case kFsFat12:
    case kFsFat16:
    case kFsFat32: return allocation::markFat(walk);
    case kFsNtfs: return allocation::markNtfs(walk);
    case kFsExfat: return allocation::markExfat(walk);
    case kFsHfs: return allocation::markHfs(walk);
    case kFsHfsPlus: return allocation::markHfsPlus(walk);
    default: return walk.fail("the file system is not recognised");
  }
}

// Geometry values every walk relies on; a source opened through detection always has them.
bool geometryUsable(const VolumeGeometry& geo) {
  return geo.lastSector >= 0 && geo.sectorsPerCluster > 0 && geo.bytesPerSector >= 512 &&
         geo.bytesPerSector <= kMaxSectorSize && geo.bytesPerSector % 512 == 0;
}

}  // namespace

AllocatedSpaceResult markAllocatedSpace(ScanState& state, FrontEnd& frontEnd) {
  return markAllocatedSpace(state, frontEnd, state.detectedGeometry, 0);
}

AllocatedSpaceResult markAllocatedSpace(ScanState& state, FrontEnd& frontEnd, const VolumeGeometry& volume,
                                        std::int64_t firstSector) {
  AllocatedSpaceResult result;
  if (!state.isOpen()) {
    result.failure = "no source is open";
    return result;
  }
  if (!state.usedSectorMap.allocated()) {
    result.failure = "the used-sector map is not allocated";
    return result;
  }
  if (firstSector < 0) {
    result.failure = "the volume lies outside the source";
    return result;
  }
  allocation::Walk walk{state, frontEnd, volume};
  walk.sectorBase = firstSector;
  walk.byteBase = static_cast<std::uint64_t>(firstSector) * volume.bytesPerSector;
  if (walk.geo.fsType != kFsUnknown && !geometryUsable(walk.geo)) {
    result.failure = "the volume geometry is not usable";
    return result;
  }
  switch (walkFileSystem(walk)) {
    case allocation::Outcome::Done: result.ok = true; break;
    case allocation::Outcome::Cancelled: result.cancelled = true; break;
    case allocation::Outcome::Failed: result.failure = walk.failure; break;
  }
  return result;
}

}  // namespace vellumark
