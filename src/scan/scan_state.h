#pragma once
// The one record of the opened source and of the scan in progress. An engine object (or a
// test) owns it; nothing keeps it in a global.

#include <atomic>
#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "platform/large_pages.h"
#include "scan/document_families.h"
#include "scan/front_end.h"
#include "scan/recovered_file.h"
#include "scan/thumbnail_rules.h"
#include "scan/used_sector_map.h"
#include "source/source_fields.h"

namespace vellumark {

inline constexpr std::size_t kReadWindowBytes = 65536;

// The 64 KiB read-ahead window of readSource.
struct ReadWindow {
  std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kReadWindowBytes);
  std::int64_t start = 0;    // source offset of bytes[0]
  std::size_t length = 0;    // bytes actually read into the window
  bool valid = false;
  // What the window held before its last refill (length 0: nothing). Carves go downwards
  // while their looks reach a few clusters up, into the block the window just left.
  std::vector<std::uint8_t> earlierBytes;
  std::int64_t earlierStart = 0;
  std::size_t earlierLength = 0;
  void invalidate() {
    valid = false;
    length = 0;
    start = 0;
    earlierLength = 0;
  }
  // Copies [offset, offset + dest.size()) from the block held before the last refill; false
  // when that block does not hold all of it.
  [[nodiscard]] bool copyEarlier(std::int64_t offset, std::span<std::uint8_t> dest) const;
};

enum RecoveryState : std::uint8_t { kRecoveryRunning = 0, kRecoveryPaused = 1, kRecoveryStopRequested = 2 };

// The first pass grows these to millions of entries on a large source: in large pages.
using CandidateSectorList = std::vector<std::uint64_t, platform::LargePageAllocator<std::uint64_t>>;
using CandidateTypeList = std::vector<std::uint8_t, platform::LargePageAllocator<std::uint8_t>>;

// One scan's job: what the user chose, what the first pass found and what the carvers
// wrote. The driver owns it from validation to the summary.
struct ScanJob {
  // Used-sector map.
  UsedSectorMap usedSectorMap;
  bool freeSpaceOnly = false;

  // Scan settings and candidates.
  std::uint32_t typeFlags = kAllFamilies;
  std::int64_t scanStartSector = 0;
  std::int64_t scanEndSector = -1;   // inclusive; also bounds readSource and the carvers
  std::int64_t scanLength = 0;
  CandidateSectorList candidateSectors;  // 64-bit: sources past 2 TiB lose nothing
  CandidateTypeList candidateTypes;
  std::uint32_t clusterPhase = 0;
  std::string outputFolder;          // ends in '/'
  ThumbnailRules thumbnailRules;     // read at start-up; the JPEG carver releases thumbnails
  bool keepDamaged = false;          // write documents that fail their check into outputFolder/damaged/
  bool renameByTitle = true;         // name recovered documents after their title or first line
  // A recovered file whose name is taken gets "-2", "-3", ... before its extension instead of
  // replacing the file there (the command line's rule: one rescue never overwrites another).
  bool keepExistingFiles = false;

  // Results.
  std::uint32_t recoveredCount = 0;
  std::uint32_t saveFailures = 0;    // documents that could not be written (not counted above)
  std::vector<RecoveredFile> recoveredFiles;
  std::uint32_t damagedCount = 0;    // documents that failed their check (never counted as recovered)

  // Sectors that could not be read, wherever the scan met them (each counted once).
  std::set<std::int64_t> unreadableSectors;
};

// The controls another thread or a front end writes while the engine's loops run: they
// only set them, the loops only test them.
struct ScanControls {
  std::atomic<bool> scanCancelled{false};
  std::atomic<std::uint8_t> recoveryState{kRecoveryRunning};
  std::atomic<ScanPhase> phase{ScanPhase::Idle};  // what the engine is doing now
  std::atomic<std::uint32_t> displayTick{0};
  std::uint32_t displayTickShown = 0;

  // True (and records the tick) when the display tick has moved since the last refresh.
  [[nodiscard]] bool refreshDue() {
    std::uint32_t tick = displayTick.load(std::memory_order_relaxed);
    if (tick == displayTickShown) return false;
    displayTickShown = tick;
    return true;
  }
  // The recovery dialog may close once the carving is over (or before it began).
  [[nodiscard]] bool carvingOver() const {
    const ScanPhase p = phase.load(std::memory_order_relaxed);
    return p != ScanPhase::SecondPass && p != ScanPhase::FinalSweep;
  }
};

// The opened source, the scan job and the controls together, with the read-ahead window
// that serves the scan. Each part has one owner: opening and closing own SourceFields, the
// driver owns ScanJob, front ends and the timer write ScanControls.
struct ScanState : SourceFields, ScanJob, ScanControls {
  ReadWindow readWindow;
};

// Opening and closing through the scan state also empty the read-ahead window, so it can
// never serve bytes of another source.
[[nodiscard]] platform::Expected<bool> openScanSource(ScanState& state, const std::string& path);
void openScanSource(ScanState& state, std::unique_ptr<SectorSource> source, std::string name);
void closeScanSource(ScanState& state);

}  // namespace vellumark
