#pragma once
// What failed carves learnt, for the carves that come after them. Candidates are carved from
// the highest sector down, and a walk from a lower candidate often runs into the records a
// higher one already walked: where that walk failed for reasons of the bytes alone, the
// lower walk fails there in the same way, and can stop at once instead of reading the same
// sectors again. What is remembered is only true while the used-sector map stays as it
// was, so it is forgotten whenever sectors are claimed for good.

#include <cstdint>
#include <optional>
#include <unordered_map>

namespace vellumark {

class CarveMemory {
 public:
  // A walk of this kind (a carver's own tag) that reached a record at this source byte
  // offset stopped with `stop` (the carver's own code), `distance` file bytes further on.
  struct Failure {
    std::uint8_t stop = 0;
    std::int64_t distance = 0;
  };

  // Past this many entries the memory is forgotten and starts again: bounded memory.
  static constexpr std::size_t kMaxEntries = 1u << 20;

  void remember(std::uint8_t kind, std::int64_t sourceOffset, Failure failure) {
    if (failures_.size() >= kMaxEntries) failures_.clear();
    failures_.insert_or_assign(key(kind, sourceOffset), failure);
  }
  [[nodiscard]] std::optional<Failure> recall(std::uint8_t kind, std::int64_t sourceOffset) const {
    if (failures_.empty()) return std::nullopt;
    const auto it = failures_.find(key(kind, sourceOffset));
    if (it == failures_.end()) return std::nullopt;
    return it->second;
  }
  void forget() {
    if (!failures_.empty()) failures_.clear();
  }
  [[nodiscard]] std::size_t size() const { return failures_.size(); }

 private:
  // Source offsets stay far below 2^56.
  static std::uint64_t key(std::uint8_t kind, std::int64_t sourceOffset) {
    return (static_cast<std::uint64_t>(kind) << 56) ^ static_cast<std::uint64_t>(sourceOffset);
  }
  std::unordered_map<std::uint64_t, Failure> failures_;
};

}  // namespace vellumark
