// Boot-sector and volume-header detection over a boot area of up to 4096 bytes. A volume it
// recognises must have the geometry the scan relies on.

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "source/volume_detection.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vellumark;
  // Short reads of the boot area are zero-filled by the caller; longer inputs are cut.
  std::vector<std::uint8_t> boot(data, data + std::min(size, kBootAreaBytes));
  VolumeGeometry geometry;
  if (detectVolume(boot, geometry)) {
    const bool usable = geometry.bytesPerSector >= 512 && geometry.bytesPerSector <= 4096 &&
                        geometry.bytesPerSector % 512 == 0 && geometry.sectorsPerCluster >= 1 &&
                        geometry.fsType < kFsUnknown;
    if (!usable) std::abort();
  }
  (void)syncClusterSizeList(geometry.sectorsPerCluster, geometry.bytesPerSector);
  return 0;
}
