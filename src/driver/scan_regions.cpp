#include "driver/scan_regions.h"

#include <algorithm>

#include "source/disk_partitions.h"

namespace vellumark {

namespace {

std::int64_t nextInPhase(std::int64_t s, std::int64_t phase, std::int64_t spc) {
  return s + (((phase - s) % spc) + spc) % spc;
}

// The region of a recognised partition, in sectors of bytesPerSector; false when its
// sectors or its position do not fit the source's sectors.
bool regionOf(const DiskPartition& p, std::uint32_t tableSectorSize, std::uint32_t bytesPerSector, ScanRegion& out) {
  if (!p.recognised || p.byteCount == 0 || p.volume.bytesPerSector != bytesPerSector) return false;
  const std::uint64_t firstByte = p.entry.firstSector * tableSectorSize;
  if (firstByte % bytesPerSector != 0 || p.volume.sectorsPerCluster == 0 || p.volume.clusterOffset < 0) return false;
  out.firstSector = static_cast<std::int64_t>(firstByte / bytesPerSector);
  out.lastSector = out.firstSector + p.volume.lastSector;
  out.sectorsPerCluster = p.volume.sectorsPerCluster;
  const std::int64_t spc = out.sectorsPerCluster;
  out.clusterPhase = static_cast<std::uint32_t>((out.firstSector + p.volume.clusterOffset) % spc);
  out.partition = p.entry.number;
  out.volume = p.volume;
  return out.lastSector >= out.firstSector;
}

}  // namespace

std::vector<ScanRegion> scanRegions(const ScanState& state) {
  std::vector<ScanRegion> regions;
  const VolumeGeometry& g = state.geometry;
  if (!state.isOpen() || state.detectedGeometry.fsType != kFsUnknown || g.sectorsPerCluster > 1 || g.clusterOffset != -1)
    return regions;
  const DiskLayout layout = examineDisk(*state.sourceHandle);
  for (const DiskPartition& p : layout.partitions) {
    ScanRegion r;
    if (regionOf(p, layout.table.sectorSize, g.bytesPerSector, r) && r.lastSector <= g.lastSector) regions.push_back(r);
  }
  std::sort(regions.begin(), regions.end(),
            [](const ScanRegion& a, const ScanRegion& b) { return a.firstSector < b.firstSector; });
  // Overlapping partitions cannot both be right: the first one keeps its sectors.
  std::vector<ScanRegion> kept;
  for (const ScanRegion& r : regions) {
    if (kept.empty() || r.firstSector > kept.back().lastSector) kept.push_back(r);
  }
  return kept;
}

ScanLayout::ScanLayout(std::vector<ScanRegion> regions, const VolumeGeometry& geometry) : regions_(std::move(regions)) {
  spc_ = geometry.sectorsPerCluster == 0 ? 1 : geometry.sectorsPerCluster;
  firstSectorsOnly_ = geometry.clusterOffset != -1 && spc_ > 1;
  if (firstSectorsOnly_) phase_ = ((geometry.clusterOffset % spc_) + spc_) % spc_;
}

const ScanRegion* ScanLayout::regionOf(std::int64_t s) const {
  auto it = std::upper_bound(regions_.begin(), regions_.end(), s,
                             [](std::int64_t sector, const ScanRegion& r) { return sector < r.firstSector; });
  if (it == regions_.begin()) return nullptr;
  --it;
  return s <= it->lastSector ? &*it : nullptr;
}

std::int64_t ScanLayout::nextExamined(std::int64_t s) const {
  if (regions_.empty()) return firstSectorsOnly_ ? nextInPhase(s, phase_, spc_) : s;
  for (;;) {
    const ScanRegion* r = regionOf(s);
    if (r == nullptr) return firstSectorsOnly_ ? nextInPhase(s, phase_, spc_) : s;
    if (r->sectorsPerCluster <= 1) return s;
    const std::int64_t next = nextInPhase(s, r->clusterPhase, r->sectorsPerCluster);
    if (next <= r->lastSector) return next;
    s = r->lastSector + 1;  // the region ends inside a cluster: go on after it
  }
}

AllocatedSpaceResult markAllocatedRegions(ScanState& state, FrontEnd& frontEnd, std::span<const ScanRegion> regions) {
  AllocatedSpaceResult combined;
  combined.ok = true;
  for (const ScanRegion& r : regions) {
    const AllocatedSpaceResult result = markAllocatedSpace(state, frontEnd, r.volume, r.firstSector);
    if (result.cancelled) return result;
    if (!result.ok && combined.ok) {
      combined.ok = false;
      combined.failure = result.failure;
    }
  }
  return combined;
}

}  // namespace vellumark
