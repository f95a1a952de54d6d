#include "source/source_fields.h"

#include <algorithm>

#include "source/volume_detection.h"

namespace vellumark {

namespace {

// Fills the detected geometry of a freshly opened source and copies it to the working one.
void completeGeometry(SourceFields& fields) {
  SectorSource& src = *fields.sourceHandle;
  VolumeGeometry detected;
  bool recognised = false;
  fields.bootAreaUnreadable = false;
  // Whole disks are examined too: a stick formatted without a partition table (a
  // "superfloppy") holds a volume boot sector in sector 0 and opens as that volume. A
  // partitioned disk's master boot record is never recognised as one. A boot sector whose
  // sectors are smaller than the disk's own cannot describe that disk.
  {
    std::array<std::uint8_t, kBootAreaBytes> boot{};  // zero past a short read
    auto got = src.readAt(0, boot);
    if (got) recognised = detectVolume(boot, detected);
    fields.bootAreaUnreadable = !got;
    if (recognised && src.kind() == SourceKind::WholeDisk && detected.bytesPerSector % src.logicalSectorSize() != 0)
      recognised = false;
  }
  if (!recognised) {
    detected = VolumeGeometry{};
    detected.fsType = kFsUnknown;
    detected.sectorsPerCluster = 1;
    detected.clusterOffset = -1;
    detected.bytesPerSector = src.kind() == SourceKind::ImageFile ? 512u : src.logicalSectorSize();
    if (detected.bytesPerSector == 0 || detected.bytesPerSector > kMaxSectorSize || detected.bytesPerSector % 512 != 0)
      detected.bytesPerSector = 512;
  }
  detected.lastSector = static_cast<std::int64_t>(src.sizeBytes() / detected.bytesPerSector) - 1;
  fields.detectedGeometry = detected;
  fields.geometry = detected;
}

}  // namespace

platform::Expected<bool> openSource(SourceFields& fields, const std::string& path) {
  closeSource(fields);
  auto opened = openFileSource(path);
  if (!opened) return opened.error();
  fields.sourceHandle = std::move(*opened);
  fields.sourceName = path;
  completeGeometry(fields);
  return true;
}

void openSource(SourceFields& fields, std::unique_ptr<SectorSource> source, std::string name) {
  closeSource(fields);
  fields.sourceHandle = std::move(source);
  fields.sourceName = std::move(name);
  completeGeometry(fields);
}

void closeSource(SourceFields& fields) { fields.sourceHandle.reset(); }

bool readSector(const SourceFields& fields, std::int64_t s, std::span<std::uint8_t> out) {
  if (!fields.isOpen() || s < 0 || s > fields.geometry.lastSector) return false;
  const std::uint32_t bps = fields.geometry.bytesPerSector;
  if (out.size() < bps) return false;
  auto got = fields.sourceHandle->readAt(static_cast<std::uint64_t>(s) * bps, out.first(bps));
  return got && *got == bps;
}

}  // namespace vellumark
