#include "carvers/gap_repair_search.h"

#include <algorithm>
#include <array>

#include "carvers/cluster_search.h"

namespace vellumark {

namespace {

enum class RunEnd { Complete, Failed, OutOfBounds };
enum class Outcome { Found, NotFound, OutOfBounds };
enum class Take { Refused, Taken, Complete };

// Where a run stopped: no continuation of the cluster at `level - 1` holds together, and the
// check put the fault as early as `blameLevel`.
struct Failure {
  std::size_t level = 0;
  std::size_t blameLevel = 0;
};

constexpr std::size_t kNoSlot = static_cast<std::size_t>(-1);
// Jumps behind or far ahead are looked for at the failing level and this many before it:
// a check that lets wrong clusters through notices them within a few (deflate data).
constexpr std::size_t kWideJumpLevels = 4;

class RepairSearch : ClusterSearch {
 public:
  using ClusterSearch::ClusterSearch;

  std::optional<FragmentAssembly> run() {
    std::optional<FragmentAssembly> found = search();
    if (!found) {
      if (chosen_.size() > best_.size()) best_ = chosen_;
      work_.furthest = sectorsOf(best_);
    }
    return found;
  }

 private:
  std::optional<FragmentAssembly> search() {
    const std::optional<FragmentVerdict> v = takeFirst();
    if (!v) return std::nullopt;
    steps_.push_back(0);
    if (*v == FragmentVerdict::Complete) return assembly();
    check_.save(1);
    atSlot_ = 1;
    Failure failure;
    switch (runFree(failure)) {
      case RunEnd::Complete: return assembly();
      case RunEnd::OutOfBounds: return giveUp();
      case RunEnd::Failed: break;
    }
    // One jump, then two, ...: a wrong cluster that the check lets through for a while must
    // not lead the search into repairing what it spoilt.
    const std::vector<std::int64_t> failed = chosen_;
    for (std::int64_t jumps = 1; jumps <= limits_.maxJumps; ++jumps) {
      jumpsRanOut_ = false;
      if (!restore(failed, failure.level)) break;
      switch (solve(failure, jumps, 1)) {
        case Outcome::Found: return assembly();
        case Outcome::OutOfBounds: return giveUp();
        case Outcome::NotFound: break;
      }
      if (!jumpsRanOut_) return std::nullopt;  // more jumps would find nothing more
    }
    return giveUp();
  }

  // Takes the file as it lies until it ends or no plain continuation holds together.
  RunEnd runFree(Failure& failure) {
    for (;;) {
      if (outOfBounds()) return RunEnd::OutOfBounds;
      const std::size_t level = chosen_.size();
      std::array<std::int64_t, 2> next{};
      const std::size_t n = continuations(level, next);
      std::int64_t blame = -1;
      bool taken = false;
      for (std::size_t i = 0; i < n && !taken; ++i) {
        const Take t = takeAt(level, next[i], blame);
        if (t == Take::Complete) return RunEnd::Complete;
        taken = t == Take::Taken;
      }
      if (!taken) {
        if (chosen_.size() > best_.size()) best_ = chosen_;
        failure.level = level;
        failure.blameLevel = blame < 0 ? level - 1 : std::min(level - 1, levelOf(blame));

        return RunEnd::Failed;
      }
      if (static_cast<std::int64_t>(chosen_.size()) >= limits_.maxClusters) return RunEnd::OutOfBounds;
    }
  }

  // Looks for one jump at a blamed level that carries the file past `f.level`, then runs on
  // and repairs what fails after it with the jumps left. Levels below `lowest` stay as they are.
  Outcome solve(const Failure& f, std::int64_t jumps, std::size_t lowest) {
    if (jumps <= 0) {
      jumpsRanOut_ = true;
      return Outcome::NotFound;
    }
    const std::size_t lo = std::max({f.blameLevel, lowest, floor_, std::size_t{1}});
    if (lo > f.level) return Outcome::NotFound;
    const std::vector<std::int64_t> failed(chosen_.begin(), chosen_.begin() + static_cast<std::ptrdiff_t>(f.level));
    // Near ahead, the smallest skips first at every blamed level.
    for (std::int64_t d = 1; d <= limits_.nearClusters; ++d) {
      for (std::size_t k = f.level; k >= lo; --k) {
        const Outcome o = tryJump(f, failed, jumps, k, failed[k - 1] + d);
        if (o != Outcome::NotFound) return o;
        if (k <= floor_) break;
      }
    }
    // Behind (pieces out of order), nearest first; then further ahead.
    const std::size_t wideLo = std::max(lo, f.level > kWideJumpLevels ? f.level - kWideJumpLevels : lo);
    for (int phase = 0; phase < 2; ++phase) {
      for (std::size_t k = f.level; k >= wideLo; --k) {
        const std::int64_t prev = failed[k - 1];
        if (phase == 0) {
          const std::int64_t from = std::max(startCluster_ + 1, prev - limits_.windowClusters);
          for (std::int64_t c = prev - 1; c >= from; --c) {
            const Outcome o = tryJump(f, failed, jumps, k, c);
            if (o != Outcome::NotFound) return o;
          }
        } else {
          for (std::int64_t c = prev + limits_.nearClusters + 1; c <= prev + limits_.windowClusters; ++c) {
            if (firstSectorOf(c) > g_.lastSector) break;
            const Outcome o = tryJump(f, failed, jumps, k, c);
            if (o != Outcome::NotFound) return o;
          }
        }
        if (k <= floor_) break;
      }
    }
    return Outcome::NotFound;
  }

  // Makes the assembly the first `level` clusters of `failed` again, taking them anew where a
  // deeper try replaced them. False when that cannot be done (their states were dropped).
  bool restore(const std::vector<std::int64_t>& failed, std::size_t level) {
    std::size_t same = 0;
    while (same < level && same < chosen_.size() && chosen_[same] == failed[same]) ++same;
    if (same < floor_ && same < level) return false;
    truncate(same);
    std::int64_t blame = -1;
    for (std::size_t l = same; l < level; ++l)
      if (takeAt(l, failed[l], blame) != Take::Taken) return false;
    return true;
  }

  Outcome tryJump(const Failure& f, const std::vector<std::int64_t>& failed, std::int64_t jumps, std::size_t k,
                  std::int64_t c) {
    if (outOfBounds()) return Outcome::OutOfBounds;
    if (k < floor_) return Outcome::NotFound;
    if (!restore(failed, k)) return Outcome::NotFound;
    truncate(k);
    if (!free(c)) return Outcome::NotFound;
    // What the run that failed took at this level, or, where it failed, every plain
    // continuation: those were tried.
    if (k < f.level && failed[k] == c) return Outcome::NotFound;
    if (k == f.level) {
      std::array<std::int64_t, 2> plain{};
      const std::size_t n = continuations(k, plain);
      for (std::size_t i = 0; i < n; ++i)
        if (plain[i] == c) return Outcome::NotFound;
    }
    std::int64_t blame = -1;
    const Take t = takeAt(k, c, blame);
    if (t == Take::Complete) return Outcome::Found;
    if (t == Take::Refused) return Outcome::NotFound;
    // A jump of a small stride may begin files written round robin (the stride goes on) or
    // skip a few clusters of something else (the next free cluster goes on): both are run.
    const bool strided = steps_[k] >= 2;
    for (const bool strideFirst : {true, false}) {
      if (!strideFirst && !strided) break;
      if (!restoreJump(failed, k, c)) return Outcome::NotFound;
      preferStride_ = strideFirst;
      Failure next;
      const RunEnd end = runFree(next);
      preferStride_ = true;
      if (end == RunEnd::Complete) return Outcome::Found;
      if (end == RunEnd::OutOfBounds) return Outcome::OutOfBounds;
      // A jump that does not carry the file past where it failed before is not followed.
      if (next.level <= f.level) continue;
      const Outcome o = solve(next, jumps - 1, k + 1);
      if (o != Outcome::NotFound) return o;
    }
    return Outcome::NotFound;
  }

  // The assembly as it was right after the jump to `c` at level k.
  bool restoreJump(const std::vector<std::int64_t>& failed, std::size_t k, std::int64_t c) {
    if (chosen_.size() > k + 1 && chosen_[k] == c) {
      bool same = true;
      for (std::size_t l = 0; l < k && same; ++l) same = chosen_[l] == failed[l];
      if (same) {
        truncate(k + 1);
        return true;
      }
    }
    if (chosen_.size() == k + 1 && chosen_[k] == c) return true;
    if (!restore(failed, k)) return false;
    truncate(k);
    std::int64_t blame = -1;
    return takeAt(k, c, blame) == Take::Taken;
  }

  // The clusters that continue the file at `level` without a jump: the next one at the
  // stride followed so far (files written round robin), then the next free one.
  std::size_t continuations(std::size_t level, std::array<std::int64_t, 2>& out) const {
    const std::int64_t prev = chosen_[level - 1];
    const std::int64_t limit = prev + limits_.windowClusters;
    std::size_t n = 0;
    const std::int64_t stride = steps_[level - 1];
    const std::int64_t plainNext = nthFree(prev, 1, limit);
    if (!preferStride_ && plainNext >= 0) out[n++] = plainNext;
    if (stride >= 2) {
      const std::int64_t c = nthFree(prev, stride, limit);
      if (c >= 0 && (n == 0 || out[0] != c)) out[n++] = c;
    }
    if (preferStride_ && plainNext >= 0 && (n == 0 || out[0] != plainNext)) out[n++] = plainNext;
    return n;
  }

  Take takeAt(std::size_t level, std::int64_t c, std::int64_t& blame) {
    if (!piece(firstSectorOf(c), spc_)) return Take::Refused;
    if (atSlot_ != level) check_.load(level);
    atSlot_ = kNoSlot;
    ++work_.clustersTried;
    const FragmentVerdict v = check_.take(buffer_);
    if (v == FragmentVerdict::Broken) {
      blame = blame < 0 ? check_.blameFrom() : std::min(blame, check_.blameFrom());
      return Take::Refused;
    }
    push(c);
    if (v == FragmentVerdict::Complete) return Take::Complete;
    check_.save(level + 1);
    atSlot_ = level + 1;
    raiseFloor();
    return Take::Taken;
  }

  void push(std::int64_t c) {
    const std::int64_t prev = chosen_.back();
    std::int64_t stride = 0;
    if (c > prev) {
      for (std::int64_t s = 1; s <= limits_.maxStride && stride == 0; ++s)
        if (nthFree(prev, s, c) == c) stride = s;
    }
    chosen_.push_back(c);
    steps_.push_back(stride);
    taken_.insert(c);
  }

  void truncate(std::size_t level) {
    if (chosen_.size() == level) return;
    while (chosen_.size() > level) {
      taken_.erase(chosen_.back());
      chosen_.pop_back();
      steps_.pop_back();
    }
    if (atSlot_ != level) atSlot_ = kNoSlot;
  }

  // Levels far behind the furthest one reached are never gone back to: their states are
  // dropped, which keeps a long file's search in bounded memory.
  void raiseFloor() {
    const std::size_t level = chosen_.size();
    if (level <= limits_.maxBacktrack + floor_) return;
    const std::size_t floor = level - limits_.maxBacktrack;
    for (std::size_t l = floor_; l < floor; ++l) check_.forget(l);
    floor_ = floor;
  }

  std::int64_t nthFree(std::int64_t c, std::int64_t n, std::int64_t limit) const {
    while (n > 0) {
      ++c;
      if (c > limit || firstSectorOf(c) > g_.lastSector) return -1;
      if (free(c)) --n;
    }
    return c;
  }

  std::vector<std::int64_t> best_;   // the longest assembly a run failed after
  std::vector<std::int64_t> steps_;  // the stride (in free clusters) that reached each level; 0 for a jump
  std::size_t atSlot_ = kNoSlot;  // the saved state the check holds now, if it holds one
  std::size_t floor_ = 1;
  bool jumpsRanOut_ = false;
  bool preferStride_ = true;  // the stride followed so far goes before the next free cluster
};

}  // namespace

std::optional<FragmentAssembly> repairFragments(const UsedSectorMap& claims, CarveReader& reader,
                                                const GapSearchGeometry& geometry, std::int64_t startSector,
                                                FragmentCheck& check, const GapSearchLimits& limits, GapSearchWork& work) {
  return RepairSearch(claims, reader, geometry, startSector, check, limits, work).run();
}

}  // namespace vellumark
