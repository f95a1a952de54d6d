#include "source/volume_detection.h"

#include <algorithm>
#include <array>

#include "util/byte_reader.h"
#include "source/fat_boot_sector.h"

namespace vellumark {

namespace {

constexpr std::uint16_t kBootSignature = 0xAA55;

// Boot-sector fields (little-endian).
constexpr std::size_t kOemLabelAt = 3;
constexpr std::size_t kBytesPerSectorAt = 11;
constexpr std::size_t kSectorsPerClusterAt = 13;
constexpr std::size_t kFat16LabelAt = 54;
constexpr std::size_t kFat32LabelAt = 82;
constexpr std::size_t kExfatHeapOffsetAt = 88;
constexpr std::size_t kExfatSectorShiftAt = 108;
constexpr std::size_t kExfatClusterShiftAt = 109;

// HFS master directory block and HFS+ volume header (big-endian), both at byte 1024.
constexpr std::size_t kHfsHeaderAt = 1024;
constexpr std::size_t kHfsBlockSizeAt = 1044;
constexpr std::size_t kHfsFirstBlockAt = 1052;
constexpr std::size_t kHfsPlusBlockSizeAt = 1064;

constexpr std::uint32_t kMinSectorBytes = 512;
constexpr std::uint32_t kMaxSectorBytes = 4096;

[[nodiscard]] bool signatureAt(Bytes boot, std::size_t offset) { return le16(boot, offset) == kBootSignature; }

// 2^(shift mod 32), as exFAT stores sizes. Computed in 64 bits so that no shift count can
// overflow; the callers bound the result before narrowing it.
[[nodiscard]] std::uint64_t exfatPower(std::uint8_t shift) { return std::uint64_t{1} << (shift % 32u); }

// FAT12, FAT16 and FAT32 share one geometry calculation once the type and the sectors per
// cluster are known. The data area starts after the reserved sectors, the FATs and the
// root directory, which takes whole sectors even when its last one is only partly used.
[[nodiscard]] bool fatGeometry(Bytes boot, bool fat32, VolumeGeometry& out) {
  const FatBootSector fat = decodeFatBootSector(boot, fat32);
  out.bytesPerSector = fat.bytesPerSector;
  if (out.bytesPerSector == 0) return false;
  out.clusterOffset = static_cast<std::int32_t>(fat.dataStart() % out.sectorsPerCluster);
  return true;
}

[[nodiscard]] bool detectFat1216(Bytes boot, VolumeGeometry& out) {
  out.fsType = bytesEqual(boot, kFat16LabelAt, "FAT12   ") ? kFsFat12 : kFsFat16;
  out.sectorsPerCluster = u8At(boot, kSectorsPerClusterAt);
  if (out.sectorsPerCluster < 1 || out.sectorsPerCluster > 128) return false;
  return fatGeometry(boot, false, out);
}

[[nodiscard]] bool detectFat32(Bytes boot, VolumeGeometry& out) {
  out.fsType = kFsFat32;
  out.sectorsPerCluster = u8At(boot, kSectorsPerClusterAt);
  if (out.sectorsPerCluster < 1 || out.sectorsPerCluster > 64) return false;
  return fatGeometry(boot, true, out);
}

[[nodiscard]] bool detectNtfs(Bytes boot, VolumeGeometry& out) {
  out.fsType = kFsNtfs;
  out.bytesPerSector = le16(boot, kBytesPerSectorAt);
  out.sectorsPerCluster = u8At(boot, kSectorsPerClusterAt);
  if (out.sectorsPerCluster < 1 || out.sectorsPerCluster > 128) return false;
  out.clusterOffset = 0;  // NTFS counts clusters from sector 0 of the volume
  return true;
}

[[nodiscard]] bool detectExfat(Bytes boot, VolumeGeometry& out) {
  out.fsType = kFsExfat;
  const std::uint64_t sectorBytes = exfatPower(u8At(boot, kExfatSectorShiftAt));
  const std::uint64_t clusterSectors = exfatPower(u8At(boot, kExfatClusterShiftAt));
  if (sectorBytes > kMaxSectorBytes || clusterSectors > 256) return false;
  out.bytesPerSector = static_cast<std::uint32_t>(sectorBytes);
  out.sectorsPerCluster = static_cast<std::uint32_t>(clusterSectors);
  out.clusterOffset = static_cast<std::int32_t>(le32(boot, kExfatHeapOffsetAt) % out.sectorsPerCluster);
  return true;
}

// The checks every boot-sector branch ends with: a plausible sector size, and the boot
// signature at the end of that sector (or at 510).
[[nodiscard]] bool bootSectorConsistent(Bytes boot, const VolumeGeometry& g) {
  if (g.bytesPerSector == 0 || g.bytesPerSector > kMaxSectorBytes || g.bytesPerSector % kMinSectorBytes != 0)
    return false;
  return signatureAt(boot, g.bytesPerSector - 2) || signatureAt(boot, 510);
}

[[nodiscard]] bool detectBootSector(Bytes boot, VolumeGeometry& out) {
  bool ok = false;
  if (bytesEqual(boot, kFat16LabelAt, "FAT12   ") || bytesEqual(boot, kFat16LabelAt, "FAT16   "))
    ok = detectFat1216(boot, out);
  else if (bytesEqual(boot, kFat32LabelAt, "FAT32   "))
    ok = detectFat32(boot, out);
  else if (bytesEqual(boot, kOemLabelAt, "NTFS    "))
    ok = detectNtfs(boot, out);
  else if (bytesEqual(boot, kOemLabelAt, "EXFAT   "))
    ok = detectExfat(boot, out);
  return ok && bootSectorConsistent(boot, out);
}

// HFS master directory block. The first-allocation-block field is kept as it stands: it is
// the sector where allocation block 0 begins, which the allocation-bitmap walk needs.
[[nodiscard]] bool detectHfs(Bytes boot, VolumeGeometry& out) {
  out.fsType = kFsHfs;
  out.bytesPerSector = 512;
  const std::uint32_t blockSize = be32(boot, kHfsBlockSizeAt);
  if (blockSize == 0 || blockSize % 512 != 0) return false;
  out.sectorsPerCluster = blockSize / 512;
  out.clusterOffset = be16(boot, kHfsFirstBlockAt);
  return true;
}

[[nodiscard]] bool detectHfsPlus(Bytes boot, VolumeGeometry& out) {
  out.fsType = kFsHfsPlus;
  out.bytesPerSector = 512;
  const std::uint32_t blockSize = be32(boot, kHfsPlusBlockSizeAt);
  if (blockSize % 512 != 0) return false;
  out.sectorsPerCluster = blockSize / 512;
  out.clusterOffset = 0;
  return out.sectorsPerCluster >= 1 && out.sectorsPerCluster <= 128;
}

[[nodiscard]] bool isHfsPlusSignature(Bytes boot) {
  constexpr std::array<std::uint8_t, 4> hfsPlus{'H', '+', 0x00, 0x04};
  constexpr std::array<std::uint8_t, 4> hfsx{'H', 'X', 0x00, 0x05};
  const auto matches = [boot](const std::array<std::uint8_t, 4>& sig) {
    if (!fits(boot, kHfsHeaderAt, sig.size())) return false;
    for (std::size_t i = 0; i < sig.size(); ++i)
      if (boot[kHfsHeaderAt + i] != sig[i]) return false;
    return true;
  };
  return matches(hfsPlus) || matches(hfsx);
}

}  // namespace

bool detectVolume(std::span<const std::uint8_t> bootArea, VolumeGeometry& out) {
  const Bytes boot = bootArea.first(std::min(bootArea.size(), kBootAreaBytes));
  // A boot signature means a boot sector decides alone: a master boot record or an unknown
  // boot sector is not looked through for an HFS header behind it.
  if (signatureAt(boot, 510) || signatureAt(boot, kBootAreaBytes - 2)) return detectBootSector(boot, out);
  if (bytesEqual(boot, kHfsHeaderAt, "BD")) return detectHfs(boot, out);
  if (isHfsPlusSignature(boot)) return detectHfsPlus(boot, out);
  return false;
}

int syncClusterSizeList(std::uint32_t sectorsPerCluster, std::uint32_t bytesPerSector) {
  const std::uint64_t halfKiBs = (std::uint64_t{sectorsPerCluster} * bytesPerSector) >> 9;
  for (int index = 0; index <= 8; ++index)
    if (halfKiBs == (std::uint64_t{1} << index)) return index;
  return 0;
}

}  // namespace vellumark
