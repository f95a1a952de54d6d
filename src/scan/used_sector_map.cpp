#include "scan/used_sector_map.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace vellumark {

bool UsedSectorMap::allocate(std::int64_t first, std::int64_t last) {
  release();
  first = std::max<std::int64_t>(first, 0);
  if (last < first) return true;
  const std::int64_t base = first & ~std::int64_t{7};
  try {
    bytes_.assign(static_cast<std::size_t>((last - base + 8) / 8), 0);
    blockUsed_.assign(static_cast<std::size_t>((last - base) / kBlockSectors + 1), 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  first_ = first;
  base_ = base;
  end_ = last + 1;
  return true;
}

void UsedSectorMap::release() {
  std::vector<std::uint8_t>().swap(bytes_);
  std::vector<std::uint16_t>().swap(blockUsed_);
  first_ = base_ = end_ = 0;
}

void UsedSectorMap::markSectorRun(std::int64_t count, std::int64_t s) {
  if (count <= 0 || bytes_.empty()) return;
  // Clip to the map without forming s + count when it could overflow.
  if (s < first_) {
    const std::uint64_t gap = static_cast<std::uint64_t>(first_) - static_cast<std::uint64_t>(s);
    if (gap >= static_cast<std::uint64_t>(count)) return;
    count -= static_cast<std::int64_t>(gap);
    s = first_;
  }
  if (s >= end_) return;
  const std::int64_t end = count > end_ - s ? end_ : s + count;
  while (s < end && (s & 7) != 0) markSector(s++);
  if (end - s >= 8) {
    const std::int64_t whole = (end - s) / 8;
    std::uint8_t* const from = bytes_.data() + index(s);
    for (std::int64_t i = 0; i < whole; ++i) {
      const int added = 8 - std::popcount(from[i]);
      if (added != 0) usedInBlock(s + 8 * i) = static_cast<std::uint16_t>(usedInBlock(s + 8 * i) + added);
    }
    std::memset(from, 0xFF, static_cast<std::size_t>(whole));
    s += whole * 8;
  }
  while (s < end) markSector(s++);
}

std::int64_t UsedSectorMap::nextFreeSector(std::int64_t from, std::int64_t last) const {
  last = std::min(last, end_ - 1);
  std::int64_t s = std::max(from, first_);
  while (s <= last) {
    const std::uint8_t byte = bytes_[index(s)];
    if (byte == 0xFF) {
      s = (s | 7) + 1;
      continue;
    }
    if ((byte & bitOf(s)) == 0) return s;
    ++s;
  }
  return -1;
}

std::uint64_t UsedSectorMap::wordAt(std::int64_t wordStart) const {
  const auto at = static_cast<std::size_t>((wordStart - base_) >> 3);
  std::uint64_t word = 0;
  if constexpr (std::endian::native == std::endian::little) {
    if (at + 8 <= bytes_.size()) {
      std::memcpy(&word, bytes_.data() + at, sizeof word);
      return word;
    }
  }
  const std::size_t n = std::min<std::size_t>(8, bytes_.size() - at);
  for (std::size_t i = 0; i < n; ++i) word |= std::uint64_t{bytes_[at + i]} << (8 * i);
  return word;
}

std::int64_t UsedSectorMap::freeSectorAfter(std::int64_t from, std::int64_t skip, std::int64_t last) const {
  last = std::min(last, end_ - 1);
  std::int64_t s = std::max(from, first_);
  if (skip < 0 || s > last) return -1;
  // Most looks ahead land in a block where nothing is used yet: the sector sought is then
  // just `skip` further on.
  if (skip <= last - s) {
    const std::int64_t blockEnd = base_ + ((s - base_) / kBlockSectors + 1) * kBlockSectors;
    if (skip < blockEnd - s && usedInBlock(s) == 0) return s + skip;
  }
  while (s <= last) {
    // Whole blocks are passed by their counts while they hold no more free sectors than are
    // still to be passed.
    if ((s - base_) % kBlockSectors == 0 && last - s >= kBlockSectors - 1) {
      const std::int64_t free = kBlockSectors - usedInBlock(s);
      if (free <= skip) {
        skip -= free;
        s += kBlockSectors;
        continue;
      }
    }
    // Then the 64-sector word that holds s: its free sectors from s up to `last`.
    const std::int64_t wordStart = s - ((s - base_) & 63);
    std::uint64_t free = ~wordAt(wordStart) & (~std::uint64_t{0} << (s - wordStart));
    if (last - wordStart < 63) free &= (std::uint64_t{2} << (last - wordStart)) - 1;
    const int count = free == ~std::uint64_t{0} ? 64 : std::popcount(free);
    if (count > skip) {
      for (; skip > 0; --skip) free &= free - 1;
      return wordStart + std::countr_zero(free);
    }
    skip -= count;
    s = wordStart + 64;
  }
  return -1;
}

std::int64_t UsedSectorMap::countUsed() const {
  std::int64_t n = 0;
  for (std::uint8_t b : bytes_) n += std::popcount(b);
  return n;
}

}  // namespace vellumark
