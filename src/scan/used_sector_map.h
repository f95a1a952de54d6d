#pragma once
// One bit per sector of the source: set means the sector must not go into a recovered
// file (another file holds it, it is file-system metadata, or the file system says it is
// allocated). Sector s is bit s % 8 (least significant first) of byte s / 8.

#include <cstdint>
#include <new>
#include <vector>

namespace vellumark {

class UsedSectorMap {
 public:
  // Allocates lastSector + 1 bits, all clear. Returns false when memory is short.
  [[nodiscard]] bool allocate(std::int64_t lastSector);
  void release();
  [[nodiscard]] bool allocated() const { return !bytes_.empty(); }
  [[nodiscard]] std::int64_t sectorCount() const { return sectors_; }

  // Sectors outside the map are ignored by mark/clear and read as used by isSectorUsed,
  // so nothing ever steps past the end of the source.
  void markSector(std::int64_t s) {
    if (inRange(s)) bytes_[static_cast<std::size_t>(s >> 3)] |= static_cast<std::uint8_t>(1u << (s & 7));
  }
  void clearSector(std::int64_t s) {
    if (inRange(s)) bytes_[static_cast<std::size_t>(s >> 3)] &= static_cast<std::uint8_t>(~(1u << (s & 7)));
  }
  [[nodiscard]] bool isSectorUsed(std::int64_t s) const {
    if (!inRange(s)) return true;
    return (bytes_[static_cast<std::size_t>(s >> 3)] >> (s & 7)) & 1u;
  }
  // Marks count sectors from s; whole bytes are stored at once. count <= 0 marks nothing.
  void markSectorRun(std::int64_t count, std::int64_t s);

  // The first free sector in [from, last], or -1 when every one is used (sectors past the
  // map count as used). Whole bytes of used sectors are stepped over at once.
  [[nodiscard]] std::int64_t nextFreeSector(std::int64_t from, std::int64_t last) const;

  [[nodiscard]] std::int64_t countUsed() const;
  [[nodiscard]] const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  [[nodiscard]] bool inRange(std::int64_t s) const { return s >= 0 && s < sectors_; }
  std::vector<std::uint8_t> bytes_;
  std::int64_t sectors_ = 0;
};

}  // namespace vellumark
