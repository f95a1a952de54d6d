#pragma once
// Which sectors the first pass examined and found to hold nothing a carve's look far ahead
// is after (a table of some format's: a compound file's FAT), so that such looks can pass
// over them without reading them. Kept as runs of consecutive sectors, in the order the
// pass went: a source of noise is a handful of runs, and a source whose sectors alternate
// costs at most kMaxRuns of them (16 MiB), past which nothing more is kept.

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

namespace vellumark {

class SectorMarks {
 public:
  static constexpr std::size_t kMaxRuns = std::size_t{1} << 20;

  // Sector s was examined: `wanted` when a look may be after it. Sectors come in increasing
  // order; one out of order is not kept.
  void note(std::int64_t s, bool wanted) {
    if (wanted || full_) return;
    if (!runs_.empty() && runs_.back().end == s) {
      ++runs_.back().end;
      return;
    }
    if (!runs_.empty() && runs_.back().end > s) return;
    if (runs_.size() >= kMaxRuns) {
      full_ = true;
      return;
    }
    try {
      runs_.push_back(Run{s, s + 1});
    } catch (const std::bad_alloc&) {
      full_ = true;
    }
  }

  // True when every one of the `count` sectors from `first` was examined and none is wanted.
  [[nodiscard]] bool noneWanted(std::int64_t first, std::int64_t count) const {
    if (count <= 0) return true;
    const auto it = std::upper_bound(runs_.begin(), runs_.end(), first, [](std::int64_t s, const Run& r) { return s < r.end; });
    return it != runs_.end() && it->begin <= first && first + count <= it->end;
  }

  [[nodiscard]] std::size_t runs() const { return runs_.size(); }

 private:
  struct Run {
    std::int64_t begin;
    std::int64_t end;  // exclusive
  };
  std::vector<Run> runs_;
  bool full_ = false;
};

}  // namespace vellumark
