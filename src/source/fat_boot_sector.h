#pragma once
// The fields of a FAT12/16/32 boot sector that detection and the allocation walk both need,
// and the layout they imply. Decoded from bytes; nothing is validated here.

#include <cstdint>

#include "util/byte_reader.h"

namespace vellumark {

struct FatBootSector {
  std::uint32_t bytesPerSector = 0;     // byte 11
  std::uint32_t sectorsPerCluster = 0;  // byte 13
  std::uint64_t reservedSectors = 0;    // byte 14
  std::uint64_t fatCount = 0;           // byte 16
  std::uint64_t rootEntries = 0;        // byte 17 (0 on FAT32)
  std::uint64_t totalSectors = 0;       // byte 19, or byte 32 when that is 0
  std::uint8_t media = 0;               // byte 21
  std::uint64_t sectorsPerFat = 0;      // byte 22, or byte 36 on FAT32

  // Sectors of the FAT12/16 root directory: whole sectors, the last one possibly partly used.
  [[nodiscard]] std::uint64_t rootDirectorySectors() const {
    if (bytesPerSector == 0) return 0;
    return (rootEntries * 32 + bytesPerSector - 1) / bytesPerSector;
  }
  // First sector of the data area (cluster 2). 64-bit sums: corrupt counts cannot wrap.
  [[nodiscard]] std::uint64_t dataStart() const {
    return reservedSectors + fatCount * sectorsPerFat + rootDirectorySectors();
  }
};

[[nodiscard]] inline FatBootSector decodeFatBootSector(Bytes boot, bool fat32) {
  FatBootSector f;
  f.bytesPerSector = le16(boot, 11);
  f.sectorsPerCluster = u8At(boot, 13);
  f.reservedSectors = le16(boot, 14);
  f.fatCount = u8At(boot, 16);
  f.rootEntries = le16(boot, 17);
  f.totalSectors = le16(boot, 19);
  if (f.totalSectors == 0) f.totalSectors = le32(boot, 32);
  f.media = u8At(boot, 21);
  f.sectorsPerFat = fat32 ? le32(boot, 36) : le16(boot, 22);
  return f;
}

}  // namespace vellumark
