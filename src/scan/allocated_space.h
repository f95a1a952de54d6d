#pragma once
// Marking the sectors that the volume's own allocation data says are in use.

#include <string_view>

#include "scan/front_end.h"
#include "scan/scan_state.h"

namespace vellumark {

struct AllocatedSpaceResult {
  bool ok = false;         // the allocation data was walked to its end
  bool cancelled = false;  // scanCancelled stopped the walk
  std::string_view failure{};  // when neither: why the allocation data could not be used (static text)
};

// Marks in state.usedSectorMap (which must be allocated) every sector of every allocated
// cluster, from the detected geometry's file system. Progress goes to frontEnd.
[[nodiscard]] AllocatedSpaceResult markAllocatedSpace(ScanState& state, FrontEnd& frontEnd);

// As above for a volume inside the source (a partition of a disk): `volume` is its geometry
// counted from its own first sector, which is sector `firstSector` of the source.
[[nodiscard]] AllocatedSpaceResult markAllocatedSpace(ScanState& state, FrontEnd& frontEnd, const VolumeGeometry& volume,
                                                      std::int64_t firstSector);

}  // namespace vellumark
