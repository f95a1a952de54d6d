#pragma once
// The deep scan: checks the user's choices, optionally marks allocated space, reads and
// classifies every sector of the range (first pass), settles the cluster alignment, hands
// each candidate to its carver from the highest sector down (second pass), sweeps once more
// for JPEG images without APP0/APP1, and reports what was found and written.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "carvers/carve_context.h"
#include "driver/carve_services.h"
#include "driver/scan_refusal.h"
#include "driver/cluster_estimate.h"
#include "driver/scan_regions.h"
#include "scan/allocated_space.h"
#include "scan/front_end.h"
#include "scan/scan_state.h"
#include "source/cluster_selection.h"

namespace vellumark {

// What the driver calls out to; tests replace them to run the driver alone.
struct ScanHooks {
  std::uint8_t (*classify)(std::span<const std::uint8_t> sector);
  CarverFn (*mainPassCarver)(std::uint8_t code);
  CarverFn (*finalSweepCarver)(std::uint8_t code);
  AllocatedSpaceResult (*markAllocated)(ScanState& state, FrontEnd& frontEnd);
  // Carvers run before the second pass that claim only what their checks confirm; null for none.
  CarverFn (*confirmedPassCarver)(std::uint8_t code) = nullptr;
  // Where the carvers of a candidate first look past what they read (a byte offset from its
  // start, -1 for nowhere); null for no such looks.
  std::int64_t (*firstLookAhead)(std::uint8_t code, std::span<const std::uint8_t> sector) = nullptr;
  // What the carvers of a candidate are to be handed of its first sector and of the bytes the
  // pass holds after it (0 for nothing); null for no such notes.
  std::uint64_t (*candidateNote)(std::uint8_t code, std::span<const std::uint8_t> sector,
                                 std::span<const std::uint8_t> following) = nullptr;
  // Whether a carve's look far ahead may be after this sector (a table of its format's);
  // the sectors examined that it says no of are passed over by such looks unread. Null for
  // no such looks.
  bool (*wantedByLooks)(std::span<const std::uint8_t> sector) = nullptr;
};

// The classifier, the carver registry and the allocation walkers of the program (wired
// together in one place, the driver's composition file).
[[nodiscard]] ScanHooks defaultScanHooks();

// The user's choices for one scan. The document families are state.typeFlags.
struct ScanRequest {
  std::string outputFolder;
  std::int64_t startSector = 0;   // -1 when what was typed is not a number
  std::int64_t endSector = -1;    // inclusive; -1 when not a number
  bool freeSpaceOnly = false;
  // When set, the cluster-size list is re-applied to the geometry before the scan.
  const SelectionLists* lists = nullptr;
  // Decides whether the output folder lies on the source. Empty: checkOutputFolder, where a
  // folder whose storage cannot be found out counts as "on the source".
  std::function<bool(const std::string& folder)> folderOnSource;
  // The user gave the cluster size. Otherwise, when neither it nor the cluster offset is known,
  // the cluster size is estimated from the candidates.
  bool clusterSizeChosen = false;
};

struct ScanSummary {
  ScanRefusal refusal = ScanRefusal::None;       // why the scan did not run
  std::string refusalDetail;                     // what an output-on-source refusal was based on
  std::array<std::uint64_t, 256> foundByType{};  // candidates recorded by the first pass, by code
  std::uint64_t candidatesFound = 0;             // recorded by the first pass
  std::uint64_t candidatesKept = 0;              // left after the cluster-alignment filter
  std::uint32_t documentCandidates = 0;          // codes 5 and 21 seen by the first pass
  std::uint32_t clusterPhase = 0;
  std::optional<ClusterEstimate> clusterEstimate;  // set when the cluster size was estimated for this scan
  std::int64_t sectorsExamined = 0;
  std::int64_t sectorsUnreadable = 0;            // could be read neither through the window nor directly
  std::uint32_t recovered = 0;
  std::uint32_t saveFailures = 0;
  bool cancelled = false;            // Cancel during the marking or the first pass
  bool stopped = false;              // Stop (or an abort after a failed save) during the second pass or sweep
  bool candidateListFull = false;    // memory ran out for candidates; the first pass ended there
  bool freeSpaceMarkingFailed = false;
  bool disableFreeSpace = false;     // the marking failed on its own (not cancelled): offer it no more
  RejectionLog rejections;           // why candidates gave no file
};

// Runs the whole scan on state's open source. A refusal is returned in refusal (the front
// end shows it); nothing else is shown (the caller presents the summary: entry 27 and the
// count). state.recoveredFiles lists what was written.
[[nodiscard]] ScanSummary runScan(ScanState& state, FrontEnd& frontEnd, const ScanRequest& request,
                                  const ScanHooks& hooks = defaultScanHooks());

// Pieces of the scan, exposed for tests and tools.

// The first validation failure, in the order families, output folder, output on the source,
// sector size, range, memory; None when all is well. On success the range, output folder
// and map are set in state. When the default check refuses the output folder,
// refusalDetail receives what was found.
[[nodiscard]] ScanRefusal validateScan(ScanState& state, const ScanRequest& request,
                                       std::string* refusalDetail = nullptr);

// Picks the sector offset within a cluster where most candidates start (JPEGs without
// APP0/APP1 count half, file-system metadata not at all; ties go to the lowest offset) and
// drops the candidates at other offsets. Returns that offset.
std::uint32_t estimateClusterPhase(ScanState& state, FrontEnd& frontEnd, std::uint32_t sectorsPerCluster);

// Sectors from s to the end of the cluster that holds it (clusters start at phase modulo spc).
[[nodiscard]] std::int64_t sectorsToClusterEnd(std::int64_t s, std::uint32_t phase, std::uint32_t sectorsPerCluster);

}  // namespace vellumark
