#pragma once
// A whole disk (or disk image) seen through its partition table: where each partition lies
// and which file system it holds, and a partition opened as a volume of its own.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/os_error.h"
#include "source/partition_table.h"
#include "source/sector_source.h"
#include "source/source_fields.h"
#include "source/volume_geometry.h"

namespace vellumark {

// One partition of a disk, with what detection found at its start.
struct DiskPartition {
  PartitionEntry entry;
  std::uint64_t firstByte = 0;   // on the disk
  std::uint64_t byteCount = 0;   // clipped to the end of the disk
  bool recognised = false;       // a file system was detected in it
  VolumeGeometry volume;         // relative to the partition: sector 0 is its first sector
};

struct DiskLayout {
  PartitionTable table;
  std::vector<DiskPartition> partitions;
};

// Reads the partition table of `disk` and detects the file system of every partition.
[[nodiscard]] DiskLayout examineDisk(SectorSource& disk);

// Bytes [first, first + count) of another source, as a source of their own: a partition
// opened as a volume. Kind and device identity are those of the disk, so the output-folder
// check still guards the whole disk.
class SliceSource final : public SectorSource {
 public:
  SliceSource(std::unique_ptr<SectorSource> base, std::uint64_t first, std::uint64_t count)
      : base_(std::move(base)), first_(first), count_(count) {}
  platform::Expected<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) override;
  std::uint64_t sizeBytes() const override { return count_; }
  std::uint32_t logicalSectorSize() const override { return base_->logicalSectorSize(); }
  SourceKind kind() const override { return base_->kind(); }
  std::uint64_t deviceId() const override { return base_->deviceId(); }
  std::uint64_t fileDevice() const override { return base_->fileDevice(); }
  std::uint64_t fileInode() const override { return base_->fileInode(); }
  // Where the slice starts in the source beneath it.
  [[nodiscard]] std::uint64_t firstByte() const { return first_; }

 private:
  std::unique_ptr<SectorSource> base_;
  std::uint64_t first_;
  std::uint64_t count_;
};

// Narrows the open source to partition `number` of its partition table and detects its
// file system, as if the partition had been opened as a volume. On failure (no such
// partition) the source stays as it was and the error says why.
[[nodiscard]] platform::Expected<bool> openPartition(SourceFields& fields, int number);

}  // namespace vellumark
