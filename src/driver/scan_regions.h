#pragma once
// The cluster geometry of each part of the scan range. A volume has one geometry for all
// its sectors; a whole disk (or disk image) without a file system of its own takes, inside
// each partition whose file system is recognised, that partition's cluster size and phase,
// so that it is scanned as well as the volumes would be on their own: only the first sector
// of each cluster is examined, a carve's last cluster is claimed up to its end, and
// "free space only" marks what each partition's own allocation data says is in use.

#include <cstdint>
#include <span>
#include <vector>

#include "scan/allocated_space.h"
#include "scan/front_end.h"
#include "scan/scan_state.h"

namespace vellumark {

struct ScanRegion {
  std::int64_t firstSector = 0;       // sectors of the source (of geometry.bytesPerSector)
  std::int64_t lastSector = 0;        // inclusive
  std::uint32_t sectorsPerCluster = 1;
  std::uint32_t clusterPhase = 0;     // clusters start where (s - phase) % spc == 0
  int partition = 0;                  // its number in the partition table
  VolumeGeometry volume;              // the partition's geometry, counted from its own sector 0
};

// The partitions of the open source with a recognised file system, in ascending order and
// not overlapping. Empty unless the source itself has no file system and no cluster size or
// alignment has been chosen for it as a whole. Reads the partition table.
[[nodiscard]] std::vector<ScanRegion> scanRegions(const ScanState& state);

// Which sectors the first pass examines, and the cluster geometry of each. Without regions
// it is the scan's own: with a known cluster offset, the first sector of each cluster.
class ScanLayout {
 public:
  ScanLayout(std::vector<ScanRegion> regions, const VolumeGeometry& geometry);

  [[nodiscard]] const std::vector<ScanRegion>& regions() const { return regions_; }
  // The region holding sector s, or null.
  [[nodiscard]] const ScanRegion* regionOf(std::int64_t s) const;
  // The first sector at or after s that the first pass examines.
  [[nodiscard]] std::int64_t nextExamined(std::int64_t s) const;
  // Whether the first pass examines every sector.
  [[nodiscard]] bool examinesEverySector() const { return regions_.empty() && !firstSectorsOnly_; }

 private:
  std::vector<ScanRegion> regions_;
  std::int64_t spc_ = 1;     // outside the regions
  std::int64_t phase_ = 0;
  bool firstSectorsOnly_ = false;
};

// Marks the allocated space of every region's file system. Ok only when all were walked to
// their end; stops at a cancellation; a failure gives the reason of the first that failed.
[[nodiscard]] AllocatedSpaceResult markAllocatedRegions(ScanState& state, FrontEnd& frontEnd,
                                                        std::span<const ScanRegion> regions);

}  // namespace vellumark
