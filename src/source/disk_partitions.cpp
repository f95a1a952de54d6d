#include "source/disk_partitions.h"

#include <algorithm>
#include <array>

#include "source/volume_detection.h"

namespace vellumark {

DiskLayout examineDisk(SectorSource& disk) {
  DiskLayout layout;
  const DiskReader read = [&disk](std::uint64_t offset, std::span<std::uint8_t> out) {
    auto got = disk.readAt(offset, out);
    return got && *got == out.size();
  };
  const std::uint64_t size = disk.sizeBytes();
  layout.table = readPartitionTable(read, size, disk.logicalSectorSize());
  const std::uint64_t bps = layout.table.sectorSize;
  for (const PartitionEntry& entry : layout.table.partitions) {
    DiskPartition p;
    p.entry = entry;
    if (entry.firstSector >= size / bps) {
      layout.partitions.push_back(std::move(p));
      continue;
    }
    p.firstByte = entry.firstSector * bps;
    p.byteCount = std::min(entry.sectorCount, size / bps - entry.firstSector) * bps;
    std::array<std::uint8_t, kBootAreaBytes> boot{};
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(boot.size(), p.byteCount));
    auto got = disk.readAt(p.firstByte, std::span(boot).first(want));
    p.recognised = got && detectVolume(boot, p.volume);
    if (!p.recognised) p.volume = VolumeGeometry{};
    p.volume.lastSector = static_cast<std::int64_t>(p.byteCount / p.volume.bytesPerSector) - 1;
    layout.partitions.push_back(std::move(p));
  }
  return layout;
}

platform::Expected<std::size_t> SliceSource::readAt(std::uint64_t offset, std::span<std::uint8_t> buffer) {
  if (offset >= count_) return std::size_t{0};
  const std::uint64_t n = std::min<std::uint64_t>(buffer.size(), count_ - offset);
  return base_->readAt(first_ + offset, buffer.first(static_cast<std::size_t>(n)));
}

platform::Expected<bool> openPartition(SourceFields& fields, int number) {
  if (!fields.isOpen()) return platform::OsError{0, "no source is open"};
  // A volume's boot sector is no partition table, whatever its boot code looks like.
  if (fields.detectedGeometry.fsType != kFsUnknown)
    return platform::OsError{0, fields.sourceName + " is a " + std::string(fsTypeName(fields.detectedGeometry.fsType)) +
                                    " volume, not a partitioned disk"};
  const DiskLayout layout = examineDisk(*fields.sourceHandle);
  if (layout.table.scheme == PartitionScheme::None)
    return platform::OsError{0, fields.sourceName + " has no partition table"};
  const auto it = std::find_if(layout.partitions.begin(), layout.partitions.end(),
                               [number](const DiskPartition& p) { return p.entry.number == number; });
  if (it == layout.partitions.end())
    return platform::OsError{0, fields.sourceName + " has no partition " + std::to_string(number)};
  if (it->byteCount == 0)
    return platform::OsError{0, "partition " + std::to_string(number) + " lies past the end of " + fields.sourceName};
  std::unique_ptr<SectorSource> disk = std::move(fields.sourceHandle);
  std::string name = fields.sourceName;
  openSource(fields, std::make_unique<SliceSource>(std::move(disk), it->firstByte, it->byteCount), std::move(name));
  return true;
}

}  // namespace vellumark
