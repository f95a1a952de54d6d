#pragma once
// The first bytes that carves looked at far ahead of themselves, by source offset. A carve
// checks where a record claims to end before it fetches the record, and each pass over the
// candidates looks at the same places again: the bytes of the source do not change, so a
// second look needs no read. Direct-mapped and bounded: a newer look takes an older one's
// slot. The table is zeroed memory taken from the system at the first look, in large pages:
// slots land all over it, and small pages would each cost a first touch. Places known before
// the carves begin (from the first pass) are kept apart, in order, and stay.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <queue>
#include <span>
#include <vector>

#include "platform/large_pages.h"

namespace vellumark {

class FarLooks {
 public:
  static constexpr std::size_t kBytes = 8;  // a record signature and a little more
  static constexpr int kSlotBits = 17;

  // Copies the bytes kept at offset into dest; false when they are not kept.
  [[nodiscard]] bool copy(std::int64_t offset, std::span<std::uint8_t> dest) const {
    if (dest.size() > kBytes || offset < 0) return false;
    if (const auto it = std::lower_bound(gathered_.begin(), gathered_.end(), offset,
                                         [](const Gathered& g, std::int64_t at) { return g.offset < at; });
        it != gathered_.end() && it->offset == offset) {
      std::memcpy(dest.data(), it->bytes.data(), dest.size());
      return true;
    }
    if (!slots_) return false;
    const Slot& slot = slots_.get()[slotOf(offset)];
    if (slot.key != key(offset)) return false;
    std::memcpy(dest.data(), slot.bytes.data(), dest.size());
    return true;
  }
  // Keeps the first kBytes at offset for good, outside the table, where no later look pushes
  // them out: for places gathered before the carves begin, given in increasing order (one
  // out of order, or a repeat, is not kept).
  void keepGathered(std::int64_t offset, std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kBytes || offset < 0 || (!gathered_.empty() && gathered_.back().offset >= offset)) return;
    Gathered g{offset, {}};
    std::memcpy(g.bytes.data(), bytes.data(), kBytes);
    platform::reserveOneMore(gathered_);
    gathered_.push_back(g);
  }
  // Keeps the first kBytes of what the source holds at offset; fewer are not kept.
  void keep(std::int64_t offset, std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kBytes || offset < 0) return;
    if (!slots_) {
      slots_.reset(static_cast<Slot*>(platform::mapLarge(kSlotBytes)));
      if (!slots_) return;
    }
    Slot& slot = slots_.get()[slotOf(offset)];
    slot.key = key(offset);
    std::memcpy(slot.bytes.data(), bytes.data(), kBytes);
  }

 private:
  struct Gathered {
    std::int64_t offset;
    std::array<std::uint8_t, kBytes> bytes;
  };
  std::vector<Gathered, platform::LargePageAllocator<Gathered>> gathered_;  // by offset
  // Zero marks an empty slot.
  struct Slot {
    std::uint64_t key;
    std::array<std::uint8_t, kBytes> bytes;
  };
  static constexpr std::size_t kSlotBytes = (std::size_t{1} << kSlotBits) * sizeof(Slot);
  struct Free {
    void operator()(Slot* p) const { platform::unmapLarge(p, kSlotBytes); }
  };
  static std::uint64_t key(std::int64_t offset) { return static_cast<std::uint64_t>(offset) + 1; }
  static std::size_t slotOf(std::int64_t offset) {
    return static_cast<std::size_t>((static_cast<std::uint64_t>(offset) * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits));
  }
  std::unique_ptr<Slot, Free> slots_;
};

// Places the carves will look at, gathered while the first pass reads the range upwards:
// each lies above the candidate that names it, so its bytes pass by later in the same pass
// and are kept then. Bounded: past kMostPending places, further ones are not gathered.
class LookHarvest {
 public:
  static constexpr std::size_t kMostPending = std::size_t{1} << 20;

  void want(std::int64_t offset) {
    if (pending_.size() < kMostPending) pending_.push(offset);
  }
  // Keeps in `looks` the bytes of every place wanted within the chunk at `offset`; the places
  // below the chunk (in a stretch that could not be read whole) are dropped.
  void take(std::int64_t offset, std::span<const std::uint8_t> bytes, FarLooks& looks) {
    const std::int64_t end = offset + static_cast<std::int64_t>(bytes.size());
    while (!pending_.empty() && pending_.top() < end) {
      const std::int64_t at = pending_.top();
      pending_.pop();
      if (at >= offset && end - at >= static_cast<std::int64_t>(FarLooks::kBytes))
        looks.keepGathered(at, bytes.subspan(static_cast<std::size_t>(at - offset), FarLooks::kBytes));
    }
  }

 private:
  std::priority_queue<std::int64_t, std::vector<std::int64_t>, std::greater<>> pending_;
};

}  // namespace vellumark
