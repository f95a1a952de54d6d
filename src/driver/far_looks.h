#pragma once
// The first bytes that carves looked at far ahead of themselves, by source offset. A carve
// checks where a record claims to end before it fetches the record, and each pass over the
// candidates looks at the same places again: the bytes of the source do not change, so a
// second look needs no read. Direct-mapped and bounded: a newer look takes an older one's
// slot. The table is zeroed memory taken from the system at the first look, so only the
// pages that slots land in ever cost anything.

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

namespace vellumark {

class FarLooks {
 public:
  static constexpr std::size_t kBytes = 8;  // a record signature and a little more
  static constexpr int kSlotBits = 17;

  // Copies the bytes kept at offset into dest; false when they are not kept.
  [[nodiscard]] bool copy(std::int64_t offset, std::span<std::uint8_t> dest) const {
    if (!slots_ || dest.size() > kBytes || offset < 0) return false;
    const Slot& slot = slots_.get()[slotOf(offset)];
    if (slot.key != key(offset)) return false;
    std::memcpy(dest.data(), slot.bytes.data(), dest.size());
    return true;
  }
  // Keeps the first kBytes of what the source holds at offset; fewer are not kept.
  void keep(std::int64_t offset, std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kBytes || offset < 0) return;
    if (!slots_) {
      slots_.reset(static_cast<Slot*>(std::calloc(std::size_t{1} << kSlotBits, sizeof(Slot))));
      if (!slots_) return;
    }
    Slot& slot = slots_.get()[slotOf(offset)];
    slot.key = key(offset);
    std::memcpy(slot.bytes.data(), bytes.data(), kBytes);
  }

 private:
  // Zero marks an empty slot.
  struct Slot {
    std::uint64_t key;
    std::array<std::uint8_t, kBytes> bytes;
  };
  struct Free {
    void operator()(Slot* p) const { std::free(p); }
  };
  static std::uint64_t key(std::int64_t offset) { return static_cast<std::uint64_t>(offset) + 1; }
  static std::size_t slotOf(std::int64_t offset) {
    return static_cast<std::size_t>((static_cast<std::uint64_t>(offset) * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits));
  }
  std::unique_ptr<Slot, Free> slots_;
};

}  // namespace vellumark
