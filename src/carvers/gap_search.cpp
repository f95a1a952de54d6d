#include "carvers/gap_search.h"

#include "carvers/cluster_search.h"
#include "carvers/gap_repair_search.h"

#include <algorithm>

namespace vellumark {

namespace {

GapSearchTotals gTotals;
// Packages are searched by repair. Most are found within a few hundred clusters tried; one
// whose deflate data goes on decoding wrong clusters to its entry's end may need a few
// thousand, inflating up to some 70 times its largest part. Past that the package is given up.
// One whose first entry is stored data that no check has vouched for is searched blind, each
// try settled only by that entry's CRC-32: a chain of such headers, one per cluster, would
// otherwise cost thousands of tries each.
GapSearchLimits defaultPackageLimits() {
  GapSearchLimits limits;
  limits.order = GapSearchOrder::Repair;
  limits.maxClustersTried = 5000;
  limits.maxBlindClustersTried = 16;
  limits.maxDecodedBytes = 96ull << 20;
  return limits;
}

GapSearchLimits gPackageLimits = defaultPackageLimits();
GapSearchLimits gCompoundLimits;

// Where the next candidate comes from: just after the last cluster taken, then the free
// clusters left behind between the start and the last one, then the rest of the window.
enum class Stage { Near, Behind, Far, Done };

struct Frame {
  std::int64_t last = 0;  // the cluster taken at this depth
  Stage stage = Stage::Near;
  std::int64_t next = 0;
  std::int64_t blame = -1;     // the earliest offset the check blamed for a candidate here
  bool stretchTried = false;
};

class Search : ClusterSearch {
 public:
  using ClusterSearch::ClusterSearch;

  std::optional<FragmentAssembly> run() {
    const std::optional<FragmentVerdict> v = takeFirst();
    if (!v) return std::nullopt;
    if (*v == FragmentVerdict::Complete) return assembly();
    const std::int64_t first = startCluster_;
    check_.save(1);
    frames_.push_back(Frame{first, Stage::Near, first + 1});
    std::size_t& deepest = deepest_;
    for (;;) {
      if (outOfBounds()) return giveUp();
      const std::size_t depth = frames_.size();
      const std::optional<std::int64_t> c = nextCandidate(frames_.back());
      if (!c) {
        Frame& f = frames_.back();
        if (f.blame >= 0 && !f.stretchTried) {
          f.stretchTried = true;
          const std::size_t from = levelOf(f.blame);
          if (from >= 1 && from < depth) {
            bool complete = false;
            if (tryStretch(from, depth, complete)) {
              if (complete) return assembly();
              deepest = std::max(deepest, frames_.size());
              continue;
            }
          }
        }
        // Nothing continues the file here: the cluster taken at this depth was wrong after all.
        if (depth == 1) return std::nullopt;
        if (depth - 1 + limits_.maxBacktrack < deepest) return giveUp();
        check_.forget(depth);
        frames_.pop_back();
        taken_.erase(chosen_.back());
        chosen_.pop_back();
        ++work_.backtracks;
        continue;
      }
      if (!piece(firstSectorOf(*c), spc_)) continue;
      check_.load(depth);
      ++work_.clustersTried;
      const FragmentVerdict verdict = check_.take(buffer_);
      if (verdict == FragmentVerdict::Broken) {
        std::int64_t& blame = frames_.back().blame;
        blame = blame < 0 ? check_.blameFrom() : std::min(blame, check_.blameFrom());
        continue;
      }
      chosen_.push_back(*c);
      taken_.insert(*c);
      if (verdict == FragmentVerdict::Complete) return assembly();
      if (static_cast<std::int64_t>(chosen_.size()) >= limits_.maxClusters) return giveUp();
      check_.save(depth + 1);
      frames_.push_back(Frame{*c, Stage::Near, *c + 1});
      if (depth + 1 > deepest) {
        deepest = depth + 1;
        // Levels this far behind are never gone back to.
        if (deepest > limits_.maxBacktrack + 1) check_.forget(deepest - limits_.maxBacktrack - 1);
      }
    }
  }

 private:
  // The n-th cluster after c that is free for levels from `level` on (those taken at that
  // level or later are being replaced); -1 past the window or the range.
  std::int64_t nthFree(std::int64_t c, std::int64_t n, std::size_t level, std::int64_t limit) const {
    while (n > 0) {
      ++c;
      if (c > limit || firstSectorOf(c) > g_.lastSector) return -1;
      if (free(c) || (taken_.count(c) != 0 && takenFrom(c, level))) --n;
    }
    return c;
  }
  bool takenFrom(std::int64_t c, std::size_t level) const {
    return std::find(chosen_.begin() + static_cast<std::ptrdiff_t>(level), chosen_.end(), c) != chosen_.end();
  }

  // Levels from..last-1 passed, yet nothing continues the file at level `last`, and the check
  // blamed a stretch that began at level `from`: its clusters are tried as runs, a gap at one
  // level k of it, then every s-th free cluster. On success the run replaces levels k on.
  bool tryStretch(std::size_t from, std::size_t last, bool& complete) {
    for (std::size_t k = last - 1; k >= from && k >= 1; --k) {
      if (k + limits_.maxBacktrack < deepest_) break;
      const std::int64_t limit = chosen_[k - 1] + limits_.windowClusters;
      for (std::int64_t s = 1; s <= limits_.maxStride; ++s) {
        for (std::int64_t gap = 0; gap < (s == 1 ? limits_.maxGap : s + 1); ++gap) {
          if (s == 1 && gap == 0) continue;  // the run that failed
          if (outOfBounds()) return false;
          std::vector<std::int64_t> run;
          std::int64_t c = nthFree(chosen_[k - 1], gap + 1, k, limit);
          check_.load(k);
          bool ok = c >= 0;
          for (std::size_t level = k; ok && level <= last; ++level) {
            if (level > k) c = nthFree(c, s, k, limit);
            if (c < 0 || !piece(firstSectorOf(c), spc_)) {
              ok = false;
              break;
            }
            ++work_.clustersTried;
            const FragmentVerdict v = check_.take(buffer_);
            if (v == FragmentVerdict::Broken) ok = false;
            run.push_back(c);
            if (v == FragmentVerdict::Complete) break;
          }
          if (ok) return adoptRun(k, run, complete);
        }
      }
      if (k == 1) break;
    }
    return false;
  }

  // Levels k on become `run`, fed again so that every level has its saved state.
  bool adoptRun(std::size_t k, const std::vector<std::int64_t>& run, bool& complete) {
    for (std::size_t i = k; i < chosen_.size(); ++i) taken_.erase(chosen_[i]);
    chosen_.resize(k);
    frames_.resize(k);
    check_.load(k);
    for (std::size_t i = 0; i < run.size(); ++i) {
      if (!piece(firstSectorOf(run[i]), spc_)) return false;
      const FragmentVerdict v = check_.take(buffer_);
      if (v == FragmentVerdict::Broken) return false;
      chosen_.push_back(run[i]);
      taken_.insert(run[i]);
      if (v == FragmentVerdict::Complete) {
        complete = true;
        return true;
      }
      check_.save(chosen_.size());
      const bool lastOne = i + 1 == run.size();
      frames_.push_back(Frame{run[i], lastOne ? Stage::Near : Stage::Done, run[i] + 1});
    }
    return true;
  }

  std::optional<std::int64_t> nextCandidate(Frame& f) const {
    const std::int64_t nearEnd = f.last + limits_.nearClusters;
    const std::int64_t farEnd = f.last + limits_.windowClusters;
    for (;;) {
      switch (f.stage) {
        case Stage::Near:
          if (f.next > nearEnd) {
            f.stage = Stage::Behind;
            f.next = std::max(startCluster_ + 1, f.last - limits_.windowClusters);
            continue;
          }
          break;
        case Stage::Behind:
          if (f.next >= f.last) {
            f.stage = Stage::Far;
            f.next = nearEnd + 1;
            continue;
          }
          break;
        case Stage::Far:
          if (f.next > farEnd) {
            f.stage = Stage::Done;
            continue;
          }
          break;
        case Stage::Done:
          return std::nullopt;
      }
      const std::int64_t c = f.next++;
      if (firstSectorOf(c) > g_.lastSector && f.stage != Stage::Behind) {
        f.stage = f.stage == Stage::Near ? Stage::Behind : Stage::Done;
        if (f.stage == Stage::Behind) f.next = std::max(startCluster_ + 1, f.last - limits_.windowClusters);
        continue;
      }
      if (free(c)) return c;
    }
  }

  std::size_t deepest_ = 1;
  std::vector<Frame> frames_;
};

}  // namespace

std::optional<FragmentAssembly> searchFragments(const UsedSectorMap& claims, CarveReader& reader,
                                                const GapSearchGeometry& geometry, std::int64_t startSector,
                                                FragmentCheck& check, const GapSearchLimits& limits, GapSearchWork& work) {
  if (geometry.bytesPerSector == 0 || startSector < geometry.firstSector || startSector > geometry.lastSector)
    return std::nullopt;
  std::optional<FragmentAssembly> found = limits.order == GapSearchOrder::Repair
                                             ? repairFragments(claims, reader, geometry, startSector, check, limits, work)
                                             : Search(claims, reader, geometry, startSector, check, limits, work).run();
  work.decodedBytes = check.decodedBytes();
  ++gTotals.searches;
  if (found) ++gTotals.found;
  gTotals.clustersTried += work.clustersTried;
  gTotals.decodedBytes += work.decodedBytes;
  return found;
}

GapSearchGeometry searchGeometry(const CarveSettings& settings, const UsedSectorMap& claims) {
  GapSearchGeometry geometry;
  geometry.bytesPerSector = settings.bytesPerSector;
  geometry.sectorsPerCluster = std::max<std::uint32_t>(1, settings.sectorsPerCluster);
  geometry.clusterPhase = settings.clusterPhase;
  geometry.firstSector = claims.firstSector();
  geometry.lastSector = std::min(settings.scanEndSector, claims.sectorCount() - 1);
  return geometry;
}

GapSearchTotals gapSearchTotals() { return gTotals; }
void resetGapSearchTotals() { gTotals = {}; }

const GapSearchLimits& packageSearchLimits() { return gPackageLimits; }
void setPackageSearchLimits(const GapSearchLimits& limits) { gPackageLimits = limits; }
GapSearchLimits defaultPackageSearchLimits() { return defaultPackageLimits(); }
const GapSearchLimits& compoundSearchLimits() { return gCompoundLimits; }
void setCompoundSearchLimits(const GapSearchLimits& limits) { gCompoundLimits = limits; }

}  // namespace vellumark
