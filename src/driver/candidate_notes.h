#pragma once
// What the first pass noted of some candidates' first sectors (a code of their format's own),
// by sector, for their carvers: kept in the order the pass found them and looked up by
// halving, so only the candidates that have a note cost anything.

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

#include "platform/large_pages.h"

namespace vellumark {

class CandidateNotes {
 public:
  // Sectors come in increasing order; one out of order, and any note that memory cannot be
  // found for, is not kept (a note only spares a carve a read).
  void add(std::int64_t sector, std::uint64_t note) {
    if (note == 0 || (!entries_.empty() && entries_.back().sector >= sector)) return;
    try {
      platform::reserveOneMore(entries_);
      entries_.push_back(Entry{sector, note});
    } catch (const std::bad_alloc&) {
    }
  }
  // The note of the candidate at this sector; 0 when there is none.
  [[nodiscard]] std::uint64_t find(std::int64_t sector) const {
    const std::size_t i = at(sector);
    hint_ = i;
    return i < entries_.size() && entries_[i].sector == sector ? entries_[i].note : 0;
  }

 private:
  struct Entry {
    std::int64_t sector;
    std::uint64_t note;
  };
  static constexpr std::size_t kStepsDown = 4;

  // The first entry at or past `sector`. Candidates are carved from the highest sector down,
  // so it is most often the one found last or a few below it: those are tried first.
  [[nodiscard]] std::size_t at(std::int64_t sector) const {
    const auto below = [](const Entry& e, std::int64_t s) { return e.sector < s; };
    std::size_t i = std::min(hint_, entries_.size());
    if (i < entries_.size() && entries_[i].sector < sector)
      return static_cast<std::size_t>(std::lower_bound(entries_.begin() + static_cast<std::ptrdiff_t>(i), entries_.end(), sector, below) - entries_.begin());
    for (std::size_t step = 0; i > 0 && entries_[i - 1].sector >= sector; ++step, --i)
      if (step == kStepsDown)
        return static_cast<std::size_t>(std::lower_bound(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(i), sector, below) - entries_.begin());
    return i;
  }
  std::vector<Entry, platform::LargePageAllocator<Entry>> entries_;
  mutable std::size_t hint_ = 0;  // where the last look found its place
};

}  // namespace vellumark
