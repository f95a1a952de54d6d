#pragma once
// One bit per sector of the scan range: set means the sector must not go into a recovered
// file (another file holds it, it is file-system metadata, or the file system says it is
// allocated). Only the range is held, so memory follows the work, not the source: sector s
// is bit (s - base) % 8 (least significant first) of byte (s - base) / 8, base being the
// first sector rounded down to a multiple of 8.

#include <cstdint>
#include <new>
#include <vector>

namespace vellumark {

class UsedSectorMap {
 public:
  // Covers sectors first..last, all clear. Returns false when memory is short.
  [[nodiscard]] bool allocate(std::int64_t first, std::int64_t last);
  // Covers sectors 0..lastSector.
  [[nodiscard]] bool allocate(std::int64_t lastSector) { return allocate(0, lastSector); }
  void release();
  [[nodiscard]] bool allocated() const { return !bytes_.empty(); }
  [[nodiscard]] std::int64_t firstSector() const { return first_; }
  // One past the last sector covered (the sector count when the map starts at 0).
  [[nodiscard]] std::int64_t sectorCount() const { return end_; }

  // Sectors outside the map are ignored by mark/clear and read as used by isSectorUsed,
  // so nothing ever steps outside the range or past the end of the source.
  void markSector(std::int64_t s) {
    if (!inRange(s) || (byteOf(s) & bitOf(s)) != 0) return;
    byteOf(s) |= bitOf(s);
    ++usedInBlock(s);
  }
  void clearSector(std::int64_t s) {
    if (!inRange(s) || (byteOf(s) & bitOf(s)) == 0) return;
    byteOf(s) &= static_cast<std::uint8_t>(~bitOf(s));
    --usedInBlock(s);
  }
  [[nodiscard]] bool isSectorUsed(std::int64_t s) const {
    if (!inRange(s)) return true;
    return (bytes_[index(s)] & bitOf(s)) != 0;
  }
  // Marks count sectors from s (the part inside the map); whole bytes are stored at once.
  // count <= 0 marks nothing.
  void markSectorRun(std::int64_t count, std::int64_t s);

  // The first free sector in [from, last], or -1 when every one is used (sectors outside the
  // map count as used). Whole bytes of used sectors are stepped over at once.
  [[nodiscard]] std::int64_t nextFreeSector(std::int64_t from, std::int64_t last) const;

  // The free sector that follows `skip` free sectors at or after `from` (skip 0: the first
  // free one), no later than last; -1 when there are not that many. Whole words of the map
  // are counted at once, so a far sector is found without stepping to it.
  [[nodiscard]] std::int64_t freeSectorAfter(std::int64_t from, std::int64_t skip, std::int64_t last) const;

  [[nodiscard]] std::int64_t countUsed() const;
  // The bits, from sector base on (see above).
  [[nodiscard]] const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  [[nodiscard]] bool inRange(std::int64_t s) const { return s >= first_ && s < end_; }
  // The 64 bits of sectors wordStart.. (wordStart - base_ a multiple of 64); bits past the
  // map's bytes read as 0.
  [[nodiscard]] std::uint64_t wordAt(std::int64_t wordStart) const;
  [[nodiscard]] std::size_t index(std::int64_t s) const { return static_cast<std::size_t>((s - base_) >> 3); }
  [[nodiscard]] std::uint8_t& byteOf(std::int64_t s) { return bytes_[index(s)]; }
  [[nodiscard]] static std::uint8_t bitOf(std::int64_t s) { return static_cast<std::uint8_t>(1u << (s & 7)); }
  // Sectors are counted by blocks of kBlockSectors (from base_): a far free sector is found
  // by whole blocks, a long stretch with nothing claimed passed in one step.
  static constexpr std::int64_t kBlockSectors = 4096;
  [[nodiscard]] std::uint16_t& usedInBlock(std::int64_t s) { return blockUsed_[static_cast<std::size_t>((s - base_) / kBlockSectors)]; }
  [[nodiscard]] std::uint16_t usedInBlock(std::int64_t s) const { return blockUsed_[static_cast<std::size_t>((s - base_) / kBlockSectors)]; }
  std::vector<std::uint8_t> bytes_;
  std::vector<std::uint16_t> blockUsed_;  // used sectors in each block
  std::int64_t first_ = 0;
  std::int64_t base_ = 0;  // first_ rounded down to a multiple of 8
  std::int64_t end_ = 0;   // one past the last sector
};

}  // namespace vellumark
