#include "scan/used_sector_map.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace vellumark {

namespace {

// Set bits, counted in a few instructions where the build may not use the processor's own
// count (the baseline x86-64 has none, and std::popcount then calls a library routine).
int popcount64(std::uint64_t v) {
  v -= (v >> 1) & 0x5555555555555555ull;
  v = (v & 0x3333333333333333ull) + ((v >> 2) & 0x3333333333333333ull);
  v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<int>((v * 0x0101010101010101ull) >> 56);
}

// The position of the set bit that has n set bits below it (n < popcount(v)): found a byte at
// a time, so a look many sectors ahead costs a few counts, not a step per sector.
int nthSetBit(std::uint64_t v, int n) {
  int shift = 0;
  for (;; shift += 8) {
    const int inByte = popcount64((v >> shift) & 0xFF);
    if (n < inByte) break;
    n -= inByte;
  }
  std::uint64_t byte = (v >> shift) & 0xFF;
  for (; n > 0; --n) byte &= byte - 1;
  return shift + std::countr_zero(byte);
}

}  // namespace

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
  while (s <= last) {
    // Whole blocks are passed by their counts while they hold no more free sectors than are
    // still to be passed.
    const std::int64_t blockEnd = base_ + ((s - base_) / kBlockSectors + 1) * kBlockSectors;
    if ((s - base_) % kBlockSectors == 0 && last - s >= kBlockSectors - 1) {
      const std::int64_t free = kBlockSectors - usedInBlock(s);
      if (free <= skip) {
        skip -= free;
        s += kBlockSectors;
        continue;
      }
    }
    // The rest of a block with nothing used in it, at once: most looks ahead land in such a
    // block, the sector sought just `skip` further on.
    if (usedInBlock(s) == 0) {
      const std::int64_t free = std::min(blockEnd, last + 1) - s;
      if (skip < free) return s + skip;
      skip -= free;
      s = blockEnd;
      continue;
    }
    // Then the 64-sector word that holds s: its sectors from s up to `last`. Where none of
    // them is used (the common case: a carve's own sectors lie behind it) nothing is counted.
    const std::int64_t wordStart = s - ((s - base_) & 63);
    const int at = static_cast<int>(s - wordStart);
    const std::int64_t span = std::min<std::int64_t>(64 - at, last - s + 1);
    const std::uint64_t within = span == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << span) - 1;
    const std::uint64_t used = (wordAt(wordStart) >> at) & within;
    if (used == 0) {
      if (skip < span) return s + skip;
      skip -= span;
    } else {
      const std::uint64_t free = ~used & within;
      const int count = popcount64(free);
      if (count > skip) return s + nthSetBit(free, static_cast<int>(skip));
      skip -= count;
    }
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
