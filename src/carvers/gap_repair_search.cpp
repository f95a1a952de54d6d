#include "carvers/gap_repair_search.h"

#include <algorithm>
#include <array>
#include <unordered_map>

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

// States of the check kept for going back: enough for the path being repaired, the run
// that failed before it and the jumps tried from it.
constexpr std::size_t kCachedStates = 256;
// Candidates answered from what was learnt before (a jump tried again with more jumps left,
// a level taken again) cost no decoding, but the search still walks them: this many times
// the clusters it may try bounds that walk.
constexpr std::int64_t kVisitsPerTry = 16;

std::uint64_t mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}
// The key of an assembly: its clusters in order, folded one by one.
std::uint64_t extendKey(std::uint64_t key, std::int64_t cluster) { return mix(key ^ mix(static_cast<std::uint64_t>(cluster))); }
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
    keys_.push_back(extendKey(0, chosen_.front()));
    if (*v == FragmentVerdict::Complete) return assembly();
    remember();
    Failure failure;
    switch (runFree(failure)) {
      case RunEnd::Complete: return assembly();
      case RunEnd::OutOfBounds: return giveUp();
      case RunEnd::Failed: break;
    }
    // One jump, then two, ...: a wrong cluster that the check lets through for a while must
    // not lead the search into repairing what it spoilt. Jumps near ahead are tried with
    // every number of jumps first: a file written round robin whose partners end one after
    // another needs a small jump at each end, and a wide scan at a low level, with too few
    // jumps left to follow what it finds, would cost thousands of clusters before them.
    const std::vector<std::int64_t> failed = chosen_;
    for (const bool wide : {false, true}) {
      wide_ = wide;
      if (wide) {
        switch (repairFurthest()) {
          case Outcome::Found: return assembly();
          case Outcome::OutOfBounds: return giveUp();
          case Outcome::NotFound: break;
        }
      }
      for (std::int64_t jumps = 1; jumps <= limits_.maxJumps; ++jumps) {
        passJumps_ = jumps;
        jumpsRanOut_ = false;
        if (!restore(failed, failure.level)) return giveUp();
        switch (solve(failure, jumps, 1)) {
          case Outcome::Found: return assembly();
          case Outcome::OutOfBounds: return giveUp();
          case Outcome::NotFound: break;
        }
        if (!jumpsRanOut_) break;  // more jumps would find nothing more
      }
    }
    if (!jumpsRanOut_) return std::nullopt;
    return giveUp();
  }

  // The near jumps carried the file furthest along one path: that path's own failure is
  // repaired first with jumps of every width, before the narrow ones are taken back.
  Outcome repairFurthest() {
    if (furthest_.failure.level == 0) return Outcome::NotFound;
    const Furthest f = furthest_;
    jumpsRanOut_ = false;
    if (!restore(f.path, f.failure.level)) return Outcome::NotFound;
    return solve(f.failure, limits_.maxJumps - f.jumpsUsed, f.lowest);
  }

  // Takes the file as it lies until it ends or no plain continuation holds together.
  RunEnd runFree(Failure& failure) {
    for (;;) {
      if (spent()) return RunEnd::OutOfBounds;
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
    if (!wide_) return Outcome::NotFound;
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

  // Makes the assembly the first `level` clusters of `failed` again. Nothing is taken: the
  // check is brought to the state of an assembly only when a cluster is tried after it. False
  // when levels that far behind are not gone back to.
  bool restore(const std::vector<std::int64_t>& failed, std::size_t level) {
    std::size_t same = 0;
    while (same < level && same < chosen_.size() && chosen_[same] == failed[same]) ++same;
    if (same < floor_ && same < level) return false;
    truncate(same);
    for (std::size_t l = same; l < level; ++l) push(failed[l]);
    return true;
  }

  Outcome tryJump(const Failure& f, const std::vector<std::int64_t>& failed, std::int64_t jumps, std::size_t k,
                  std::int64_t c) {
    if (spent()) return Outcome::OutOfBounds;
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
      if (!wide_ && next.level > furthest_.failure.level)
        furthest_ = Furthest{chosen_, next, passJumps_ - jumps + 1, k + 1};
      const Outcome o = solve(next, jumps - 1, k + 1);
      if (o != Outcome::NotFound) return o;
    }
    return Outcome::NotFound;
  }

  // The assembly as it was right after the jump to `c` at level k (the jump was taken, so its
  // state is known).
  bool restoreJump(const std::vector<std::int64_t>& failed, std::size_t k, std::int64_t c) {
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

  // Tries cluster c at `level` (the assembly holds `level` clusters). What was learnt about
  // the same cluster after the same assembly before is answered without taking it again.
  Take takeAt(std::size_t level, std::int64_t c, std::int64_t& blame) {
    ++visits_;
    const std::uint64_t key = extendKey(keys_[level - 1], c);
    if (const auto refused = refused_.find(key); refused != refused_.end()) {
      blame = blame < 0 ? refused->second : std::min(blame, refused->second);
      return Take::Refused;
    }
    if (const auto known = cache_.find(key); known != cache_.end()) {
      known->second.lastUse = ++clock_;
      push(c);
      raiseFloor();
      return Take::Taken;
    }
    if (!reach(level) || !piece(firstSectorOf(c), spc_)) return Take::Refused;
    ++work_.clustersTried;
    const FragmentVerdict v = check_.take(buffer_);
    haveState_ = false;
    if (v == FragmentVerdict::Broken) {
      refused_.emplace(key, check_.blameFrom());
      blame = blame < 0 ? check_.blameFrom() : std::min(blame, check_.blameFrom());
      return Take::Refused;
    }
    push(c);
    if (v == FragmentVerdict::Complete) return Take::Complete;
    remember();
    raiseFloor();
    return Take::Taken;
  }

  // Brings the check to the state after the first `level` clusters of the assembly: from the
  // nearest state kept on the way there, taking the clusters after it again.
  bool reach(std::size_t level) {
    if (haveState_ && stateKey_ == keys_[level - 1]) return true;
    std::size_t from = level;
    auto kept = cache_.end();
    while (from >= 1 && (kept = cache_.find(keys_[from - 1])) == cache_.end()) --from;
    if (from == 0) return false;
    kept->second.lastUse = ++clock_;
    check_.load(kept->second.slot);
    haveState_ = true;
    stateKey_ = keys_[from - 1];
    for (std::size_t l = from; l < level; ++l) {
      if (!piece(firstSectorOf(chosen_[l]), spc_)) return false;
      ++work_.clustersTried;
      haveState_ = check_.take(buffer_) == FragmentVerdict::Consistent;
      if (!haveState_) return false;
      stateKey_ = keys_[l];
      remember(l + 1);
    }
    return true;
  }

  // Keeps the check's present state as that of the first `level` clusters of the assembly.
  void remember() { remember(chosen_.size()); }
  void remember(std::size_t level) {
    const std::uint64_t key = keys_[level - 1];
    auto it = cache_.find(key);
    if (it == cache_.end()) {
      if (cache_.size() >= kCachedStates) evict();
      it = cache_.emplace(key, Kept{nextSlot(), level, 0}).first;
    }
    it->second.lastUse = ++clock_;
    check_.save(it->second.slot);
    haveState_ = true;
    stateKey_ = key;
  }

  std::size_t nextSlot() {
    if (freeSlots_.empty()) return slotsUsed_++;
    const std::size_t slot = freeSlots_.back();
    freeSlots_.pop_back();
    return slot;
  }

  // Drops a quarter of the states kept: those of levels never gone back to first, then the
  // ones used longest ago. The state after the first cluster stays: every path begins there.
  void evict() {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> order;  // (rank, key)
    order.reserve(cache_.size());
    for (const auto& [key, kept] : cache_) {
      if (kept.level == 1) continue;
      order.emplace_back(kept.level < floor_ ? 0 : kept.lastUse, key);
    }
    const std::size_t drop = std::max<std::size_t>(1, kCachedStates / 4);
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(std::min(drop, order.size())), order.end());
    for (std::size_t i = 0; i < drop && i < order.size(); ++i) {
      const auto it = cache_.find(order[i].second);
      check_.forget(it->second.slot);
      freeSlots_.push_back(it->second.slot);
      cache_.erase(it);
    }
  }

  // Bounds of the work: the clusters taken, and the candidates walked in all.
  bool spent() {
    if (visits_ >= kVisitsPerTry * limits_.maxClustersTried) return true;
    if ((visits_ & 63) == 0 && std::chrono::steady_clock::now() - began_ > limits_.maxTime) return true;
    return outOfBounds();
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
    keys_.push_back(extendKey(keys_.back(), c));
    taken_.insert(c);
  }

  void truncate(std::size_t level) {
    if (chosen_.size() == level) return;
    while (chosen_.size() > level) {
      taken_.erase(chosen_.back());
      chosen_.pop_back();
      steps_.pop_back();
      keys_.pop_back();
    }
  }

  // Levels far behind the furthest one reached are never gone back to (their states go
  // first when states are dropped).
  void raiseFloor() {
    const std::size_t level = chosen_.size();
    if (level <= limits_.maxBacktrack + floor_) return;
    floor_ = level - limits_.maxBacktrack;
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
  std::vector<std::uint64_t> keys_;  // the key of the assembly up to each level, inclusive
  struct Kept {
    std::size_t slot = 0;
    std::size_t level = 0;  // clusters of the assembly it is the state after
    std::uint64_t lastUse = 0;
  };
  std::unordered_map<std::uint64_t, Kept> cache_;  // states kept, by the key of their assembly
  std::unordered_map<std::uint64_t, std::int64_t> refused_;  // assemblies refused, with the blame
  std::vector<std::size_t> freeSlots_;
  std::size_t slotsUsed_ = 0;
  std::uint64_t clock_ = 0;
  std::int64_t visits_ = 0;
  bool haveState_ = false;  // the check holds the state of assembly stateKey_
  std::uint64_t stateKey_ = 0;
  std::size_t floor_ = 1;
  // The path the near jumps carried furthest: its clusters up to where it failed, the
  // failure, the jumps it took and the first level after its last jump.
  struct Furthest {
    std::vector<std::int64_t> path;
    Failure failure;
    std::int64_t jumpsUsed = 0;
    std::size_t lowest = 1;
  };
  Furthest furthest_;
  std::int64_t passJumps_ = 0;  // the jumps the present pass may take in all
  bool jumpsRanOut_ = false;
  bool wide_ = true;          // jumps behind and far ahead are tried too, not only near ahead
  bool preferStride_ = true;  // the stride followed so far goes before the next free cluster
};

}  // namespace

std::optional<FragmentAssembly> repairFragments(const UsedSectorMap& claims, CarveReader& reader,
                                                const GapSearchGeometry& geometry, std::int64_t startSector,
                                                FragmentCheck& check, const GapSearchLimits& limits, GapSearchWork& work) {
  return RepairSearch(claims, reader, geometry, startSector, check, limits, work).run();
}

}  // namespace vellumark
