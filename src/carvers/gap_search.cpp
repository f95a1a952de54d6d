#include "carvers/gap_search.h"

#include <algorithm>
#include <unordered_set>

namespace vellumark {

namespace {

GapSearchTotals gTotals;

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Where the next candidate comes from: just after the last cluster taken, then the free
// clusters left behind between the start and the last one, then the rest of the window.
enum class Stage { Near, Behind, Far, Done };

struct Frame {
  std::int64_t last = 0;  // the cluster taken at this depth
  Stage stage = Stage::Near;
  std::int64_t next = 0;
};

class Search {
 public:
  Search(const UsedSectorMap& claims, CarveReader& reader, const GapSearchGeometry& g, std::int64_t startSector,
         FragmentCheck& check, const GapSearchLimits& limits, GapSearchWork& work)
      : claims_(claims), reader_(reader), g_(g), start_(startSector), check_(check), limits_(limits), work_(work),
        spc_(std::max<std::int64_t>(1, g.sectorsPerCluster)),
        buffer_(static_cast<std::size_t>(spc_) * g.bytesPerSector),
        began_(std::chrono::steady_clock::now()) {}

  std::optional<FragmentAssembly> run() {
    const std::int64_t first = clusterOf(start_);
    const std::int64_t firstEnd = firstSectorOf(first + 1);
    if (firstEnd - 1 > g_.lastSector) return std::nullopt;
    for (std::int64_t s = start_ + 1; s < firstEnd; ++s)
      if (claims_.isSectorUsed(s)) return std::nullopt;
    if (!piece(start_, firstEnd - start_)) return std::nullopt;
    ++work_.clustersTried;
    const FragmentVerdict v = check_.take(Bytes(buffer_.data(), static_cast<std::size_t>((firstEnd - start_) * g_.bytesPerSector)));
    if (v == FragmentVerdict::Broken) return std::nullopt;
    startCluster_ = first;
    chosen_.push_back(first);
    if (v == FragmentVerdict::Complete) return assembly();
    check_.save(1);
    frames_.push_back(Frame{first, Stage::Near, first + 1});
    std::size_t deepest = 1;
    for (;;) {
      if (outOfBounds()) return giveUp();
      const std::size_t depth = frames_.size();
      const std::optional<std::int64_t> c = nextCandidate(frames_.back());
      if (!c) {
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
      if (verdict == FragmentVerdict::Broken) continue;
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
  std::int64_t clusterOf(std::int64_t sector) const { return floorDiv(sector - g_.clusterPhase, spc_); }
  std::int64_t firstSectorOf(std::int64_t cluster) const { return cluster * spc_ + g_.clusterPhase; }

  bool free(std::int64_t cluster) const {
    if (taken_.count(cluster) != 0 || cluster == startCluster_) return false;
    const std::int64_t s = firstSectorOf(cluster);
    if (s < g_.firstSector || s + spc_ - 1 > g_.lastSector) return false;
    for (std::int64_t i = 0; i < spc_; ++i)
      if (claims_.isSectorUsed(s + i)) return false;
    return true;
  }

  // Reads `count` sectors from `sector` into the buffer.
  bool piece(std::int64_t sector, std::int64_t count) {
    const std::size_t n = static_cast<std::size_t>(count) * g_.bytesPerSector;
    if (n > buffer_.size()) return false;
    return reader_.read(sector * g_.bytesPerSector, std::span(buffer_.data(), n));
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

  bool outOfBounds() const {
    if (work_.clustersTried >= limits_.maxClustersTried) return true;
    if ((work_.clustersTried & 63) != 0) return false;
    return std::chrono::steady_clock::now() - began_ > limits_.maxTime;
  }

  std::optional<FragmentAssembly> giveUp() {
    work_.gaveUp = true;
    return std::nullopt;
  }

  std::optional<FragmentAssembly> assembly() const {
    FragmentAssembly a;
    a.clusters = static_cast<std::int64_t>(chosen_.size());
    for (std::size_t i = 0; i < chosen_.size(); ++i) {
      const std::int64_t from = i == 0 ? start_ : firstSectorOf(chosen_[i]);
      for (std::int64_t s = from; s < firstSectorOf(chosen_[i]) + spc_; ++s) a.sectors.push_back(s);
    }
    return a;
  }

  const UsedSectorMap& claims_;
  CarveReader& reader_;
  GapSearchGeometry g_;
  std::int64_t start_;
  FragmentCheck& check_;
  const GapSearchLimits& limits_;
  GapSearchWork& work_;
  std::int64_t spc_;
  std::vector<std::uint8_t> buffer_;
  std::chrono::steady_clock::time_point began_;
  std::int64_t startCluster_ = 0;
  std::vector<std::int64_t> chosen_;
  std::unordered_set<std::int64_t> taken_;
  std::vector<Frame> frames_;
};

}  // namespace

std::optional<FragmentAssembly> searchFragments(const UsedSectorMap& claims, CarveReader& reader,
                                                const GapSearchGeometry& geometry, std::int64_t startSector,
                                                FragmentCheck& check, const GapSearchLimits& limits, GapSearchWork& work) {
  if (geometry.bytesPerSector == 0 || startSector < geometry.firstSector || startSector > geometry.lastSector)
    return std::nullopt;
  std::optional<FragmentAssembly> found = Search(claims, reader, geometry, startSector, check, limits, work).run();
  work.decodedBytes = check.decodedBytes();
  ++gTotals.searches;
  if (found) ++gTotals.found;
  gTotals.clustersTried += work.clustersTried;
  gTotals.decodedBytes += work.decodedBytes;
  return found;
}

GapSearchTotals gapSearchTotals() { return gTotals; }
void resetGapSearchTotals() { gTotals = {}; }

}  // namespace vellumark
