#pragma once
// What every fragment search has in common: the cluster arithmetic of the scan's geometry,
// the one-cluster buffer candidates are read into, the clusters chosen so far, and the bounds
// of its work. The searches themselves differ only in the order they try candidates in.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_set>
#include <vector>

#include "carvers/gap_search.h"

namespace vellumark {

// Division rounding towards minus infinity: the cluster of a sector before the cluster phase
// is -1, not 0.
[[nodiscard]] inline std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

class ClusterSearch {
 public:
  ClusterSearch(const UsedSectorMap& claims, CarveReader& reader, const GapSearchGeometry& g, std::int64_t startSector,
                FragmentCheck& check, const GapSearchLimits& limits, GapSearchWork& work)
      : claims_(claims), reader_(reader), g_(g), start_(startSector), check_(check), limits_(limits), work_(work),
        spc_(std::max<std::int64_t>(1, g.sectorsPerCluster)),
        buffer_(static_cast<std::size_t>(spc_) * g.bytesPerSector),
        began_(std::chrono::steady_clock::now()) {}

 protected:
  // Feeds the check the file's first piece: from the start sector to the end of its cluster.
  // Empty when that piece cannot be the start of a file (past the range, partly claimed,
  // unreadable, or refused); otherwise the check's verdict, the start cluster chosen.
  std::optional<FragmentVerdict> takeFirst() {
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
    firstBytes_ = (firstEnd - start_) * g_.bytesPerSector;
    return v;
  }

  std::int64_t clusterOf(std::int64_t sector) const { return floorDiv(sector - g_.clusterPhase, spc_); }
  std::int64_t firstSectorOf(std::int64_t cluster) const { return cluster * spc_ + g_.clusterPhase; }

  // The level (index in chosen_) that holds file offset `offset`.
  std::size_t levelOf(std::int64_t offset) const {
    if (offset < firstBytes_) return 0;
    return 1 + static_cast<std::size_t>((offset - firstBytes_) / (spc_ * g_.bytesPerSector));
  }

  // A cluster wholly inside the range that no other file and no level of this one holds.
  bool free(std::int64_t cluster) const {
    if (cluster == startCluster_ || taken_.count(cluster) != 0) return false;
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

  bool outOfBounds() const {
    if (work_.clustersTried >= limits_.maxClustersTried) return true;
    if (work_.clustersTried >= limits_.maxBlindClustersTried && !check_.guided()) return true;
    if (limits_.maxDecodedBytes != 0 && check_.decodedBytes() > limits_.maxDecodedBytes) return true;
    if ((work_.clustersTried & 63) != 0) return false;
    return std::chrono::steady_clock::now() - began_ > limits_.maxTime;
  }

  std::optional<FragmentAssembly> giveUp() {
    work_.gaveUp = true;
    return std::nullopt;
  }

  // The sectors of `clusters` in file order, the first cluster from the start sector on.
  std::vector<std::int64_t> sectorsOf(const std::vector<std::int64_t>& clusters) const {
    std::vector<std::int64_t> sectors;
    for (std::size_t i = 0; i < clusters.size(); ++i) {
      const std::int64_t from = i == 0 ? start_ : firstSectorOf(clusters[i]);
      for (std::int64_t s = from; s < firstSectorOf(clusters[i]) + spc_; ++s) sectors.push_back(s);
    }
    return sectors;
  }

  std::optional<FragmentAssembly> assembly() const {
    FragmentAssembly a;
    a.clusters = static_cast<std::int64_t>(chosen_.size());
    a.sectors = sectorsOf(chosen_);
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
  std::int64_t firstBytes_ = 0;
  std::vector<std::int64_t> chosen_;
  std::unordered_set<std::int64_t> taken_;
};

}  // namespace vellumark
