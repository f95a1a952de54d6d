#pragma once
// Recognising a file system from the first 4096 bytes of a volume or image.

#include <cstdint>
#include <span>

#include "source/volume_geometry.h"

namespace vellumark {

inline constexpr std::size_t kBootAreaBytes = 4096;

// Examines the first 4096 bytes of a source (zero-filled past a short read). When a FAT12,
// FAT16, FAT32, NTFS, exFAT, HFS or HFS+/HFSX boot sector or volume header is recognised,
// writes fsType, bytesPerSector, sectorsPerCluster and clusterOffset into `out` and returns
// true. Otherwise returns false; `out` may then hold partial values, which the caller replaces.
[[nodiscard]] bool detectVolume(std::span<const std::uint8_t> bootArea, VolumeGeometry& out);

// Index in the cluster-size list ("0.5K" = 0 .. "128K" = 8) of sectorsPerCluster sectors of
// bytesPerSector bytes; 0 for a size the list does not hold.
[[nodiscard]] int syncClusterSizeList(std::uint32_t sectorsPerCluster, std::uint32_t bytesPerSector);

}  // namespace vellumark
