#pragma once
// What failed carves learnt, for the carves that come after them. Candidates are carved from
// the highest sector down, and a walk from a lower candidate often runs into the records a
// higher one already walked: where that walk failed for reasons of the bytes alone, the
// lower walk fails there in the same way, and can stop at once instead of reading the same
// sectors again. What is remembered is only true while the used-sector map stays as it
// was, so it is forgotten whenever sectors are claimed for good.
//
// Every candidate asks, and most teach, so the table is an open-addressed one of 16-byte
// slots with no allocation per entry. A source with many files forgets after each of them:
// each slot carries the generation it was written in, so that forgetting is one increment
// and the table, once grown, is used again rather than given back and grown anew.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/large_pages.h"

namespace vellumark {

class CarveMemory {
 public:
  // A walk of this kind (a carver's own tag) that reached a record at this source byte
  // offset stopped with `stop` (the carver's own code), `distance` file bytes further on,
  // after it had passed `records` whole records from there (kept up to kMaxRecords).
  struct Failure {
    std::uint8_t stop = 0;
    std::int64_t distance = 0;
    std::uint32_t records = 0;
  };
  static constexpr std::uint32_t kMaxRecords = 127;
  // Distances are kept up to this (2 TiB); a longer one is kept as this, far past any walk's
  // bound.
  static constexpr std::int64_t kMaxDistance = (std::int64_t{1} << 41) - 1;

  // Past this many entries the memory is forgotten and starts again: bounded memory.
  static constexpr std::size_t kMaxEntries = 1u << 20;

  void remember(std::uint8_t kind, std::int64_t sourceOffset, Failure failure) {
    if (size_ >= kMaxEntries) forget();
    if ((size_ + 1) * 2 > slots_.size()) grow();
    const std::uint64_t k = key(kind, sourceOffset);
    if (filter_.empty()) filter_.assign(kFilterBuckets, 0);
    filter_[bucket(k)] = static_cast<std::uint8_t>(generation_);
    Slot& slot = slots_[find(k)];
    if (!live(slot)) {
      slot.key = k;
      ++size_;
    }
    slot.value = packed(failure);
  }
  [[nodiscard]] std::optional<Failure> recall(std::uint8_t kind, std::int64_t sourceOffset) const {
    if (size_ == 0) return std::nullopt;
    const std::uint64_t k = key(kind, sourceOffset);
    if (filter_[bucket(k)] != generation_) return std::nullopt;
    const Slot& slot = slots_[find(k)];
    if (!live(slot)) return std::nullopt;
    return Failure{static_cast<std::uint8_t>(slot.value >> kStopShift & 0xFF),
                   static_cast<std::int64_t>(slot.value & kDistanceBits),
                   static_cast<std::uint32_t>(slot.value >> kRecordsShift & kMaxRecords)};
  }
  // Slots of earlier generations count as empty. Only when the generations run out is the
  // table cleared, once in 255 times.
  void forget() {
    if (size_ == 0) return;
    size_ = 0;
    if (generation_ < kLastGeneration) {
      ++generation_;
      return;
    }
    std::fill(slots_.begin(), slots_.end(), Slot{});
    std::fill(filter_.begin(), filter_.end(), 0);
    generation_ = 1;
  }
  [[nodiscard]] std::size_t size() const { return size_; }

 private:
  // value: generation (8 bits from 56; 0 in a slot never written), records (7 bits from 49),
  // stop (8 bits from 41), distance (41 bits).
  static constexpr int kGenerationShift = 56;
  static constexpr int kRecordsShift = 49;
  static constexpr int kStopShift = 41;
  static constexpr std::uint64_t kDistanceBits = (std::uint64_t{1} << kStopShift) - 1;
  static constexpr std::uint64_t kLastGeneration = 255;
  struct Slot {
    std::uint64_t key = 0;
    std::uint64_t value = 0;
  };
  using Slots = std::vector<Slot, platform::LargePageAllocator<Slot>>;

  [[nodiscard]] bool live(const Slot& slot) const { return slot.value >> kGenerationShift == generation_; }
  // Most questions are about places nothing was learnt of. The generation each bucket of a
  // small filter was last taught in answers most of them from a few cache lines, where the
  // table, megabytes of it, would be looked at far apart.
  static constexpr int kFilterBits = 17;
  static constexpr std::size_t kFilterBuckets = std::size_t{1} << kFilterBits;
  static std::size_t bucket(std::uint64_t k) { return static_cast<std::size_t>((k * 0xC2B2AE3D27D4EB4Full) >> (64 - kFilterBits)); }
  [[nodiscard]] std::uint64_t packed(const Failure& f) const {
    const auto distance = static_cast<std::uint64_t>(std::clamp<std::int64_t>(f.distance, 0, kMaxDistance));
    const std::uint64_t records = std::min<std::uint64_t>(f.records, kMaxRecords);
    return generation_ << kGenerationShift | records << kRecordsShift | std::uint64_t{f.stop} << kStopShift | distance;
  }
  // Source offsets stay far below 2^56.
  static std::uint64_t key(std::uint8_t kind, std::int64_t sourceOffset) {
    return (static_cast<std::uint64_t>(kind) << 56) ^ static_cast<std::uint64_t>(sourceOffset);
  }
  // The slot that holds the key, or the empty one where it would go: never more than half
  // the slots are taken.
  [[nodiscard]] std::size_t find(std::uint64_t k) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = static_cast<std::size_t>((k * 0x9E3779B97F4A7C15ull) >> shift_);
    while (live(slots_[i]) && slots_[i].key != k) i = (i + 1) & mask;
    return i;
  }
  void grow() {
    // Whole large pages once they serve it; a power of two either way.
    Slots old(platform::largeCapacity<Slot>(std::max<std::size_t>(64, slots_.size() * 2)));
    old.swap(slots_);
    shift_ = 64;
    for (std::size_t n = slots_.size(); n > 1; n >>= 1) --shift_;
    for (const Slot& slot : old)
      if (live(slot)) slots_[find(slot.key)] = slot;
  }

  Slots slots_;
  std::vector<std::uint8_t> filter_;  // made at the first lesson
  std::size_t size_ = 0;
  int shift_ = 64;
  std::uint64_t generation_ = 1;
};

}  // namespace vellumark
