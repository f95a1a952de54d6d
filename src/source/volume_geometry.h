#pragma once
#include <cstdint>
#include <string_view>

namespace vellumark {

// File-system codes held in VolumeGeometry::fsType.
enum FsType : std::uint8_t {
  kFsFat12 = 0,
  kFsFat16 = 1,
  kFsFat32 = 2,
  kFsNtfs = 3,
  kFsExfat = 4,
  kFsHfs = 5,
  kFsHfsPlus = 6,   // HFS+ or HFSX
  kFsUnknown = 7,
};

struct VolumeGeometry {
  std::int64_t lastSector = -1;           // size / bytesPerSector - 1
  std::uint32_t bytesPerSector = 512;
  std::uint32_t sectorsPerCluster = 1;
  std::int32_t clusterOffset = -1;        // -1: alignment unknown
  std::uint8_t fsType = kFsUnknown;

  friend bool operator==(const VolumeGeometry&, const VolumeGeometry&) = default;
};

// Short name of a file-system code: "FAT12", "FAT16", "FAT32", "NTFS", "exFAT", "HFS", "HFS+", "OTHER".
[[nodiscard]] std::string_view fsTypeName(std::uint8_t fsType);

}  // namespace vellumark
