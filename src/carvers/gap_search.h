#pragma once
// Reassembling a fragmented file cluster by cluster when its own checks can tell right
// clusters from wrong ones.
//
// A file written while other files were written too (cluster by cluster, round robin), or
// cut by clusters of data no carver recognises, cannot be put together by stepping over
// claimed sectors: the stepping takes the other file's clusters. A file whose format checks
// itself as it is read (deflate streams and CRC-32s, chains and record structure) can do
// better: after each cluster the check says whether the file so far is still consistent,
// and where it is not, the next cluster is searched among the free clusters nearby.
//
// The search is depth first: the next cluster is tried first right after the last one
// taken, then among the free clusters between the file's start and the last one taken
// (pieces out of order), then further ahead up to the window's end. A cluster the check
// turns down is passed over; a level with nothing left backtracks into the level before,
// because a check may notice a wrong cluster only some way after it (a stored stretch is
// not checked until its CRC). Where the check blames a stretch of several clusters it could
// not look into, the clusters of that stretch are tried as one run instead: a gap of a few
// clusters at one place in it, then every first, second, third or fourth free cluster (the
// file written alone, or round robin with up to three others). The work is bounded per file (clusters tried, backtracking
// depth, time); past the bound the file is given up.
//
// Nothing is claimed while searching: the caller claims the clusters of an assembly it
// accepts.

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "carvers/carve_context.h"
#include "util/byte_reader.h"

namespace vellumark {

// What a check says after taking one more cluster.
enum class FragmentVerdict {
  Consistent,  // the file so far holds together; more is needed
  Complete,    // the file ends inside what was taken, and holds together
  Broken,      // what was taken cannot be this file
};

// A format's incremental check. It keeps the assembled bytes itself, and can save its
// state after each cluster in a numbered slot and go back to it.
class FragmentCheck {
 public:
  virtual ~FragmentCheck() = default;
  // Appends one cluster (or the first, possibly shorter, piece) and checks as far as it can.
  [[nodiscard]] virtual FragmentVerdict take(Bytes cluster) = 0;
  // Saves the present state in `slot` (slots are numbered by how many clusters were taken).
  virtual void save(std::size_t slot) = 0;
  // Returns to the state saved in `slot`.
  virtual void load(std::size_t slot) = 0;
  // The state in `slot` will not be asked for again.
  virtual void forget(std::size_t slot) = 0;
  // After a Broken verdict: the first file offset that may be at fault. Checks that cannot
  // look into a stretch (stored data, settled only by its CRC-32) blame its start.
  [[nodiscard]] virtual std::int64_t blameFrom() const = 0;
  // How many content bytes the check has decoded (for the work counters).
  [[nodiscard]] virtual std::uint64_t decodedBytes() const = 0;
  // Whether anything the check took so far, on any path, told right bytes from wrong ones
  // before an end: a part checked whole, or data checked as it comes. Until then (a stored
  // stretch that only its CRC-32 at its end settles) the search is blind, and bounded by
  // maxBlindClustersTried.
  [[nodiscard]] virtual bool guided() const { return true; }
};

// How the search goes: depth first over every free cluster of the window at each level, or
// by repairing the run where its check fails (see gap_repair_search.h).
enum class GapSearchOrder { DepthFirst, Repair };

struct GapSearchLimits {
  GapSearchOrder order = GapSearchOrder::DepthFirst;
  std::int64_t maxJumps = 8;              // repairs of one file (Repair order)
  std::int64_t windowClusters = 4096;     // how far past the last cluster taken a continuation may lie
  std::int64_t nearClusters = 64;         // tried before the earlier free clusters
  std::int64_t maxClustersTried = 20'000;
  std::int64_t maxBlindClustersTried = 20'000;  // while the check is not guided
  std::size_t maxBacktrack = 48;          // levels behind the furthest one reached
  std::int64_t maxGap = 32;               // clusters skipped at once in a stretch the check could not look into
  std::int64_t maxStride = 4;
  std::chrono::milliseconds maxTime{4000};
  std::int64_t maxClusters = 51'200;      // 200 MiB of 4 KiB clusters
  std::uint64_t maxDecodedBytes = 0;      // content checked on every path tried; 0 for no bound (Repair order)
};

struct GapSearchWork {
  std::int64_t clustersTried = 0;
  std::int64_t backtracks = 0;
  std::uint64_t decodedBytes = 0;
  bool gaveUp = false;  // a bound was reached
  // When nothing was found (Repair order): the sectors of the longest assembly the check
  // accepted, in file order, for a partial copy of the file; empty when not even the first
  // cluster was.
  std::vector<std::int64_t> furthest;
};

// Where the file was found: the sectors it takes, in file order.
struct FragmentAssembly {
  std::vector<std::int64_t> sectors;
  std::int64_t clusters = 0;
};

// The cluster geometry of the search and the scan range it stays in.
struct GapSearchGeometry {
  std::uint32_t bytesPerSector = 512;
  std::uint32_t sectorsPerCluster = 1;
  std::uint32_t clusterPhase = 0;
  std::int64_t firstSector = 0;  // of the scan range
  std::int64_t lastSector = 0;   // inclusive
};

// The geometry a carve searches in: its cluster size and phase, within the scan range.
[[nodiscard]] GapSearchGeometry searchGeometry(const CarveSettings& settings, const UsedSectorMap& claims);

// Searches for the file that begins at startSector, among clusters whose sectors are all
// free in `claims`. The check has been given nothing yet. Returns the assembly when the
// check said Complete; nullopt when the search ran out of candidates or of its bounds.
[[nodiscard]] std::optional<FragmentAssembly> searchFragments(const UsedSectorMap& claims, CarveReader& reader,
                                                              const GapSearchGeometry& geometry, std::int64_t startSector,
                                                              FragmentCheck& check, const GapSearchLimits& limits,
                                                              GapSearchWork& work);

// The work of every search since the program started (or since the last reset), for the
// scan's summary and for measurements.
struct GapSearchTotals {
  std::int64_t searches = 0;
  std::int64_t found = 0;
  std::int64_t clustersTried = 0;
  std::uint64_t decodedBytes = 0;
};
[[nodiscard]] GapSearchTotals gapSearchTotals();
void resetGapSearchTotals();

// The bounds the package carver searches with: defaultPackageSearchLimits() unless a tool
// lowered them.
// Tools that run many thousands of small scans (fuzzing) lower them, so that an input whose
// package cannot be found does not cost the seconds a real search may take.
[[nodiscard]] const GapSearchLimits& packageSearchLimits();
void setPackageSearchLimits(const GapSearchLimits& limits);
[[nodiscard]] GapSearchLimits defaultPackageSearchLimits();
// The same for the compound-file carver, whose defaults are GapSearchLimits{}.
[[nodiscard]] const GapSearchLimits& compoundSearchLimits();
void setCompoundSearchLimits(const GapSearchLimits& limits);

}  // namespace vellumark
