#include "scan/used_sector_map.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace vellumark {

bool UsedSectorMap::allocate(std::int64_t lastSector) {
  release();
  if (lastSector < 0) return true;
  try {
    bytes_.assign(static_cast<std::size_t>((lastSector + 8) / 8), 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  sectors_ = lastSector + 1;
  return true;
}

void UsedSectorMap::release() {
  std::vector<std::uint8_t>().swap(bytes_);
  sectors_ = 0;
}

void UsedSectorMap::markSectorRun(std::int64_t count, std::int64_t s) {
  if (count <= 0) return;
  if (s < 0) {
    count += s;
    s = 0;
  }
  std::int64_t end = std::min(s + count, sectors_);
  while (s < end && (s & 7) != 0) markSector(s++);
  if (end - s >= 8) {
    std::int64_t whole = (end - s) / 8;
    std::memset(bytes_.data() + (s >> 3), 0xFF, static_cast<std::size_t>(whole));
    s += whole * 8;
  }
  while (s < end) markSector(s++);
}

std::int64_t UsedSectorMap::nextFreeSector(std::int64_t from, std::int64_t last) const {
  last = std::min(last, sectors_ - 1);
  std::int64_t s = std::max<std::int64_t>(from, 0);
  while (s <= last) {
    const std::uint8_t byte = bytes_[static_cast<std::size_t>(s >> 3)];
    if (byte == 0xFF) {
      s = (s | 7) + 1;
      continue;
    }
    if (((byte >> (s & 7)) & 1u) == 0) return s;
    ++s;
  }
  return -1;
}

std::int64_t UsedSectorMap::countUsed() const {
  std::int64_t n = 0;
  for (std::uint8_t b : bytes_) n += std::popcount(b);
  return n;
}

}  // namespace vellumark
