// FAT12, FAT16 and FAT32: the reserved area, the FATs and the FAT12/16 root directory are
// marked whole, then every cluster whose entry in the first FAT is not free.

#include <algorithm>

#include "scan/allocation_walk.h"
#include "util/byte_reader.h"
#include "source/fat_boot_sector.h"

namespace vellumark::allocation {

namespace {

struct FatLayout {
  unsigned entryBits = 16;
  std::uint64_t reservedSectors = 0;
  std::uint64_t dataStart = 0;     // first sector of cluster 2
  std::uint64_t fatOffset = 0;     // byte offset of the first FAT
  std::uint64_t fatBytes = 0;
  std::uint64_t clusterEntries = 0;  // entries walked after the two reserved ones
  std::uint8_t media = 0;
};

// Values of the first two FAT entries on a volume in use: the media byte padded with ones,
// then an end-of-chain value whose top flag bits say the volume was shut down cleanly.
constexpr std::uint32_t kFat32EntryMask = 0x0FFFFFFF;
constexpr std::uint32_t kFat32CleanBit = 0x08000000;
constexpr std::uint32_t kFat16CleanBit = 0x8000;

std::uint64_t divideRoundingUp(std::uint64_t a, std::uint64_t b) { return (a + b - 1) / b; }

// Reads the layout from the boot sector; false when it cannot describe a FAT volume.
bool readLayout(Walk& walk, Bytes boot, FatLayout& out) {
  const std::uint64_t bps = walk.geo.bytesPerSector;
  const std::uint64_t spc = walk.geo.sectorsPerCluster;
  out.entryBits = walk.geo.fsType == kFsFat12 ? 12 : walk.geo.fsType == kFsFat16 ? 16 : 32;
  const FatBootSector fat = decodeFatBootSector(boot, out.entryBits == 32);
  out.reservedSectors = fat.reservedSectors;
  out.media = fat.media;
  const std::uint64_t sectorsPerFat = fat.sectorsPerFat;
  std::uint64_t volumeSectors = fat.totalSectors;
  if (out.reservedSectors == 0 || fat.fatCount == 0 || sectorsPerFat == 0) return false;
  out.dataStart = fat.dataStart();
  out.fatOffset = out.reservedSectors * bps;
  out.fatBytes = sectorsPerFat * bps;

  // Walk only entries that stand for clusters of the volume: the FAT may be longer than
  // the data area, and clusters past the end of the source cannot be marked anyway.
  const std::uint64_t sourceSectors = static_cast<std::uint64_t>(walk.geo.lastSector) + 1;
  if (volumeSectors == 0) volumeSectors = sourceSectors;
  std::uint64_t clusters = volumeSectors > out.dataStart ? (volumeSectors - out.dataStart) / spc : 0;
  const std::uint64_t inSource =
      sourceSectors > out.dataStart ? divideRoundingUp(sourceSectors - out.dataStart, spc) : 0;
  const std::uint64_t fatEntries = out.fatBytes * 8 / out.entryBits;
  clusters = std::min({clusters, inSource, fatEntries >= 2 ? fatEntries - 2 : 0});
  out.clusterEntries = clusters;
  return true;
}

// Entry i of a FAT piece that starts at entry `first` (FAT12 pieces start on an even entry).
std::uint32_t entryAt(Bytes piece, unsigned bits, std::uint64_t first, std::uint64_t i) {
  const std::uint64_t k = i - first;
  switch (bits) {
    case 12: {
      const auto p = static_cast<std::size_t>(k * 3 / 2);
      const std::uint32_t pair = le16(piece, p);
      return (k & 1) ? pair >> 4 : pair & 0x0FFF;
    }
    case 16: return le16(piece, static_cast<std::size_t>(k * 2));
    default: return le32(piece, static_cast<std::size_t>(k * 4)) & kFat32EntryMask;
  }
}

// Checks the two reserved entries at the head of the FAT.
Outcome checkSignature(Walk& walk, const FatLayout& layout, Bytes head) {
  const std::uint32_t e0 = entryAt(head, layout.entryBits, 0, 0);
  const std::uint32_t rawE1 = layout.entryBits == 32 ? le32(head, 4) : entryAt(head, layout.entryBits, 0, 1);
  std::uint32_t expect0 = 0;
  std::uint32_t expect1 = 0;
  std::uint32_t cleanBit = 0;
  switch (layout.entryBits) {
    case 12: expect0 = 0xF00u | layout.media; expect1 = 0xFFF; break;
    case 16: expect0 = 0xFF00u | layout.media; expect1 = 0xFFFF; cleanBit = kFat16CleanBit; break;
    default: expect0 = 0x0FFFFF00u | layout.media; expect1 = kFat32EntryMask; cleanBit = kFat32CleanBit; break;
  }
  const std::uint32_t e1 = layout.entryBits == 32 ? rawE1 & kFat32EntryMask : rawE1;
  if (e0 != expect0) return walk.fail("the FAT does not begin with the media byte of the boot sector");
  if (cleanBit != 0 && (e1 & cleanBit) == 0)
    return walk.fail("the volume was not shut down cleanly (dirty); its FAT may be inconsistent");
  if (e1 != expect1) return walk.fail("the second FAT entry is not an end-of-chain value");
  return Outcome::Done;
}

}  // namespace

Outcome markFat(Walk& walk) {
  const std::uint32_t bps = walk.geo.bytesPerSector;
  std::vector<std::uint8_t> buffer(std::max<std::size_t>(bps, kTableChunkBytes));
  if (!walk.readExact(0, std::span(buffer).first(bps))) return walk.fail("reading the boot sector failed");
  FatLayout layout;
  if (!readLayout(walk, std::span(buffer).first(bps), layout))
    return walk.fail("the boot sector does not describe a usable FAT layout");

  walk.markSectors(0, static_cast<std::int64_t>(std::min<std::uint64_t>(layout.dataStart, INT64_MAX)));

  const std::uint64_t entries = layout.clusterEntries + 2;
  const std::uint64_t tableBytes = std::min(layout.fatBytes, divideRoundingUp(entries * layout.entryBits, 8));
  walk.tableTotal = static_cast<std::int64_t>(tableBytes);
  walk.tableDone = 0;
  const std::int64_t spc = walk.geo.sectorsPerCluster;
  std::int64_t cursor = static_cast<std::int64_t>(layout.dataStart);

  for (std::uint64_t start = 0; start < tableBytes; start += kTableChunkBytes) {
    if (walk.cancelRequested()) return Outcome::Cancelled;
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kTableChunkBytes, tableBytes - start));
    std::span<std::uint8_t> piece = std::span(buffer).first(kTableChunkBytes);
    std::fill(piece.begin() + static_cast<std::ptrdiff_t>(n), piece.end(), std::uint8_t{0});
    if (!walk.readExact(layout.fatOffset + start, piece.first(n))) return walk.fail("reading the FAT failed");
    if (start == 0) {
      if (Outcome sig = checkSignature(walk, layout, piece); sig != Outcome::Done) return sig;
    }
    const std::uint64_t first = start * 8 / layout.entryBits;
    const std::uint64_t end = std::min(entries, (start + kTableChunkBytes) * 8 / layout.entryBits);
    for (std::uint64_t i = std::max<std::uint64_t>(first, 2); i < end && cursor <= walk.geo.lastSector; ++i) {
      if (entryAt(piece, layout.entryBits, first, i) != 0) walk.markSectors(cursor, spc);
      cursor += spc;
    }
    walk.tableDone += static_cast<std::int64_t>(n);
    walk.cursor = cursor;
    walk.refresh();
  }
  return Outcome::Done;
}

}  // namespace vellumark::allocation
