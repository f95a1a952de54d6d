#pragma once
// Partition tables of whole disks and disk images: MBR (primary, extended and logical
// partitions) and GPT (header and entry array checked by CRC-32, the backup header used
// when the primary one is damaged). The parser reads through a callback, so it never
// touches a device itself and hostile tables cannot make it read or loop without bound.

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace vellumark {

enum class PartitionScheme { None, Mbr, Gpt };

struct PartitionEntry {
  int number = 0;                  // MBR: 1-4 primary, 5 on logical; GPT: index in the array + 1
  std::uint64_t firstSector = 0;   // in logical sectors of the disk
  std::uint64_t sectorCount = 0;
  bool logical = false;            // an MBR logical partition inside the extended one
  std::uint8_t mbrType = 0;        // MBR system id (0xEE for the protective entry's disk)
  std::array<std::uint8_t, 16> gptType{};  // GPT type GUID as stored
  std::string name;                // GPT partition name (UTF-8)
};

struct PartitionTable {
  PartitionScheme scheme = PartitionScheme::None;
  std::uint32_t sectorSize = 512;  // the logical sector size the table is laid out in
  bool backupHeaderUsed = false;   // GPT: the primary header or its array was damaged
  std::vector<PartitionEntry> partitions;  // in table order (logical ones after the primaries)
  std::vector<std::string> problems;       // what was wrong with the table, for the user
};

// Reads `out.size()` bytes at a byte offset of the disk; false when they cannot all be read.
using DiskReader = std::function<bool(std::uint64_t offset, std::span<std::uint8_t> out)>;

// Reads the partition table of a disk of `diskBytes` bytes whose logical sector size is
// `sectorSize` as the device reports it (512 for image files). A GPT whose header lies at
// byte 4096 rather than 512 is taken as laid out in 4096-byte sectors. Entries that lie
// partly past the end of the disk are kept and named in problems. No table: scheme None.
[[nodiscard]] PartitionTable readPartitionTable(const DiskReader& read, std::uint64_t diskBytes,
                                                std::uint32_t sectorSize);

// Limits on what hostile tables may ask for.
inline constexpr int kMaxLogicalPartitions = 128;
inline constexpr std::uint64_t kMaxGptArrayBytes = 4u << 20;

// "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7" style text of a GPT type GUID (mixed-endian as stored).
[[nodiscard]] std::string guidText(std::span<const std::uint8_t, 16> guid);

// Short description of a partition's type: "FAT32 (LBA)", "NTFS/exFAT", "Linux", "EFI system", ...
[[nodiscard]] std::string partitionTypeName(const PartitionEntry& entry, PartitionScheme scheme);

}  // namespace vellumark
