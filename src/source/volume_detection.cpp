#include "source/volume_detection.h"

namespace vellumark {

bool detectVolume(std::span<const std::uint8_t> /*bootArea*/, VolumeGeometry& /*out*/) { return false; }

int syncClusterSizeList(std::uint32_t /*sectorsPerCluster*/, std::uint32_t /*bytesPerSector*/) { return 0; }

}  // namespace vellumark
