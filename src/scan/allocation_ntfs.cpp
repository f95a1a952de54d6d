// NTFS: the clusters the $Bitmap file (MFT record 6) says are in use. The record is read
// from the MFT with its update-sequence fix-ups applied, its unnamed $DATA attribute found,
// and every data run of that attribute followed.

#include <algorithm>

#include "scan/allocation_walk.h"
#include "util/byte_reader.h"

namespace vellumark::allocation {

namespace {

constexpr std::uint64_t kBitmapRecord = 6;
constexpr std::uint32_t kDefaultRecordBytes = 1024;
constexpr std::uint32_t kMaxRecordBytes = 65536;
constexpr std::size_t kFixupStride = 512;
constexpr std::uint32_t kAttrData = 0x80;
constexpr std::uint32_t kAttrEnd = 0xFFFFFFFF;
constexpr std::size_t kAttrHeaderBytes = 16;
constexpr std::size_t kDefaultFirstAttribute = 56;

// MFT record size from boot-sector byte 64: clusters per record, or when negative
// 2^-n bytes. An implausible value falls back to the usual 1 KiB.
std::uint32_t recordBytes(Bytes boot, std::uint64_t clusterBytes) {
  const auto v = static_cast<std::int8_t>(u8At(boot, 64));
  std::uint64_t size = 0;
  if (v < 0 && v >= -16)
    size = std::uint64_t{1} << -v;
  else if (v > 0)
    size = static_cast<std::uint64_t>(v) * clusterBytes;
  const bool powerOfTwo = size != 0 && (size & (size - 1)) == 0;
  if (!powerOfTwo || size < kFixupStride || size > kMaxRecordBytes) return kDefaultRecordBytes;
  return static_cast<std::uint32_t>(size);
}

enum class Fixup { Applied, Absent, Broken };

// Puts back the last two bytes of every 512-byte stride from the update-sequence array.
// A record whose strides do not all carry the update-sequence number was torn and is not
// used.
Fixup applyFixups(std::span<std::uint8_t> record) {
  const std::size_t usaOffset = le16(record, 4);
  const std::size_t usaCount = le16(record, 6);
  if (usaCount == 0) return Fixup::Absent;
  const std::size_t strides = usaCount - 1;
  if (strides * kFixupStride != record.size() || (usaOffset & 1) != 0 || !fits(record, usaOffset, usaCount * 2))
    return Fixup::Broken;
  const std::uint16_t usn = le16(record, usaOffset);
  for (std::size_t i = 0; i < strides; ++i)
    if (le16(record, (i + 1) * kFixupStride - 2) != usn) return Fixup::Broken;
  for (std::size_t i = 0; i < strides; ++i) {
    const std::size_t tail = (i + 1) * kFixupStride - 2;
    record[tail] = record[usaOffset + 2 + i * 2];
    record[tail + 1] = record[usaOffset + 3 + i * 2];
  }
  return Fixup::Applied;
}

// Offset of the unnamed $DATA attribute, or -1. The walk ends at the end marker, at a
// length too small to hold an attribute header (0 included), or at an attribute that would
// run past the record.
std::int64_t findDataAttribute(Bytes record) {
  std::size_t at = le16(record, 20);
  if (at < 24 || at % 8 != 0 || at >= record.size()) at = kDefaultFirstAttribute;
  while (fits(record, at, 8)) {
    const std::uint32_t type = le32(record, at);
    if (type == kAttrEnd) break;
    const std::uint32_t length = le32(record, at + 4);
    if (length < kAttrHeaderBytes || length > record.size() - at) break;
    const bool unnamed = u8At(record, at + 9) == 0;
    if (type == kAttrData && unnamed) return static_cast<std::int64_t>(at);
    at += length;
  }
  return -1;
}

// Decodes the run list of a non-resident attribute into extents covering `dataBytes`.
// Offsets in the run list are signed and relative to the previous run; a run without an
// offset is sparse. Returns false on a run list that points outside the volume.
bool decodeRuns(Bytes runs, std::uint64_t clusterBytes, std::uint64_t volumeClusters, std::uint64_t dataBytes,
                std::vector<Extent>& out) {
  std::size_t at = 0;
  std::int64_t lcn = 0;
  std::uint64_t covered = 0;
  while (covered < dataBytes && at < runs.size()) {
    const std::uint8_t header = runs[at];
    if (header == 0) break;
    const std::size_t lengthSize = header & 0x0F;
    const std::size_t offsetSize = header >> 4;
    if (lengthSize == 0 || lengthSize > 8 || offsetSize > 8 || !fits(runs, at + 1, lengthSize + offsetSize))
      return false;
    const std::uint64_t clusters = leN(runs, at + 1, lengthSize);
    if (clusters == 0 || clusters > volumeClusters) return false;
    const std::uint64_t bytes = std::min(clusters * clusterBytes, dataBytes - covered);
    if (offsetSize == 0) {
      out.push_back(Extent{0, bytes, true});
    } else {
      std::uint64_t raw = leN(runs, at + 1 + lengthSize, offsetSize);
      if (offsetSize < 8 && (raw >> (offsetSize * 8 - 1)) & 1u) raw |= ~std::uint64_t{0} << (offsetSize * 8);
      const auto delta = static_cast<std::int64_t>(raw);
      const auto volume = static_cast<std::int64_t>(volumeClusters);
      if ((delta > 0 && lcn > volume - delta) || lcn + delta < 0) return false;
      lcn += delta;
      if (static_cast<std::uint64_t>(lcn) >= volumeClusters) return false;
      out.push_back(Extent{static_cast<std::uint64_t>(lcn) * clusterBytes, bytes, false});
    }
    covered += bytes;
    at += 1 + lengthSize + offsetSize;
  }
  return true;
}

}  // namespace

Outcome markNtfs(Walk& walk) {
  const std::uint32_t bps = walk.geo.bytesPerSector;
  const std::uint64_t clusterBytes = static_cast<std::uint64_t>(walk.geo.sectorsPerCluster) * bps;
  const std::uint64_t volumeClusters =
      (static_cast<std::uint64_t>(walk.geo.lastSector) + 1 + walk.geo.sectorsPerCluster - 1) / walk.geo.sectorsPerCluster;
  std::vector<std::uint8_t> boot(bps);
  if (!walk.readExact(0, boot)) return walk.fail("reading the boot sector failed");

  const std::uint64_t mftCluster = le64(boot, 48);
  const std::uint32_t recordSize = recordBytes(boot, clusterBytes);
  if (mftCluster >= volumeClusters) return walk.fail("the MFT of the boot sector lies outside the volume");
  std::vector<std::uint8_t> record(recordSize);
  if (walk.cancelRequested()) return Outcome::Cancelled;
  if (!walk.readExact(mftCluster * clusterBytes + kBitmapRecord * recordSize, record))
    return walk.fail("reading the $Bitmap record of the MFT failed");
  if (!bytesEqual(record, 0, "FILE")) return walk.fail("MFT record 6 is not a file record");
  if (applyFixups(record) == Fixup::Broken) return walk.fail("MFT record 6 fails its update-sequence check");

  const std::int64_t found = findDataAttribute(record);
  if (found < 0) return walk.fail("MFT record 6 has no $DATA attribute");
  const auto attr = static_cast<std::size_t>(found);
  const std::size_t attrLength = le32(record, attr + 4);
  const Bytes attribute = Bytes(record).subspan(attr, attrLength);
  BitmapMarker marker(walk.state.usedSectorMap, 0, walk.geo.lastSector, walk.geo.sectorsPerCluster, false,
                      walk.sectorBase);

  if (u8At(attribute, 8) == 0) {  // resident: the bitmap is inside the record
    const std::size_t valueLength = le32(attribute, 16);
    const std::size_t valueOffset = le16(attribute, 20);
    if (!fits(attribute, valueOffset, valueLength)) return walk.fail("the $Bitmap data does not fit its record");
    walk.tableTotal = static_cast<std::int64_t>(valueLength);
    marker.consume(attribute.subspan(valueOffset, valueLength));
    walk.tableDone = walk.tableTotal;
    return Outcome::Done;
  }

  const std::size_t runsOffset = le16(attribute, 32);
  const std::uint64_t dataBytes = le64(attribute, 48);
  if (le64(attribute, 16) != 0 || runsOffset >= attribute.size())
    return walk.fail("the $Bitmap $DATA attribute is malformed");
  std::vector<Extent> extents;
  if (!decodeRuns(attribute.subspan(runsOffset), clusterBytes, volumeClusters, dataBytes, extents))
    return walk.fail("the run list of $Bitmap points outside the volume");
  return walkBitmap(walk, extents, dataBytes, marker);
}

}  // namespace vellumark::allocation
