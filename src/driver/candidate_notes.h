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
  void add(std::int64_t sector, std::uint32_t note) {
    if (note == 0 || (!entries_.empty() && entries_.back().sector >= sector)) return;
    try {
      entries_.push_back(Entry{sector, note});
    } catch (const std::bad_alloc&) {
    }
  }
  // The note of the candidate at this sector; 0 when there is none.
  [[nodiscard]] std::uint32_t find(std::int64_t sector) const {
    const auto it = std::lower_bound(entries_.begin(), entries_.end(), sector,
                                     [](const Entry& e, std::int64_t s) { return e.sector < s; });
    return it != entries_.end() && it->sector == sector ? it->note : 0;
  }

 private:
  struct Entry {
    std::int64_t sector;
    std::uint32_t note;
  };
  std::vector<Entry, platform::LargePageAllocator<Entry>> entries_;
};

}  // namespace vellumark
