#include "source/volume_geometry.h"

namespace vellumark {

std::string_view fsTypeName(std::uint8_t fsType) {
  switch (fsType) {
    case kFsFat12: return "FAT12";
    case kFsFat16: return "FAT16";
    case kFsFat32: return "FAT32";
    case kFsNtfs: return "NTFS";
    case kFsExfat: return "exFAT";
    case kFsHfs: return "HFS";
    case kFsHfsPlus: return "HFS+";
    default: return "OTHER";
  }
}

}  // namespace vellumark
