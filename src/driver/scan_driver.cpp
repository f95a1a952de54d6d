#include "driver/scan_driver.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <thread>
#include <unordered_set>

#include "driver/far_looks.h"
#include "platform/storage_topology.h"
#include "source/output_placement.h"
#include "scan/prefetch_reader.h"
#include "scan/read_ahead.h"
#include "scan/type_codes.h"

namespace vellumark {

namespace {

// The candidate lists double from a small start up to a million entries, then grow a million
// at a time: a small source never pays for a million-entry reservation.
constexpr std::size_t kCandidateGrowth = 1'000'000;
constexpr std::size_t kFirstCandidateReserve = 1024;

// The first pass reads the range in chunks of this size, this many at a time in memory.
constexpr std::size_t kPrefetchChunkBytes = std::size_t{1} << 20;
constexpr std::size_t kPrefetchDepth = 4;

std::size_t grownCandidateCapacity(std::size_t size) {
  if (size < kFirstCandidateReserve) return kFirstCandidateReserve;
  return platform::largeCapacity<std::uint64_t>(size + std::min(size, kCandidateGrowth));
}

std::uint32_t clusterSectors(const ScanState& state) {
  return state.geometry.sectorsPerCluster == 0 ? 1u : state.geometry.sectorsPerCluster;
}

// When the folder is (or may be) on the source, says why in detail.
bool defaultFolderOnSource(const ScanState& state, const std::string& folder, std::string* detail) {
  const platform::PlacementCheck check = checkOutputFolder(*state.sourceHandle, state.sourceName, folder);
  if (check.placement == platform::Placement::Elsewhere) return false;
  if (detail != nullptr) *detail = check.detail;
  return true;
}

void emptyCandidates(ScanState& state) {
  CandidateSectorList().swap(state.candidateSectors);
  CandidateTypeList().swap(state.candidateTypes);
}

// Appends a candidate. False when memory ran out.
bool appendCandidate(ScanState& state, std::uint64_t sector, std::uint8_t code) {
  try {
    if (state.candidateSectors.size() == state.candidateSectors.capacity()) {
      const std::size_t capacity = grownCandidateCapacity(state.candidateSectors.size());
      state.candidateSectors.reserve(capacity);
      state.candidateTypes.reserve(capacity);
    }
    state.candidateSectors.push_back(sector);
    state.candidateTypes.push_back(code);
  } catch (const std::bad_alloc&) {
    state.candidateTypes.resize(state.candidateSectors.size());
    return false;
  }
  return true;
}

ProgressReport firstPassReport(const ScanState& state, std::int64_t s, const ScanSummary& summary) {
  ProgressReport r;
  r.phase = ScanPhase::FirstPass;
  r.sector = s;
  r.done = s - state.scanStartSector;
  r.total = state.scanLength;
  r.documentCandidates = summary.documentCandidates;
  r.candidates = static_cast<std::uint32_t>(state.candidateSectors.size());
  return r;
}

// Records what the classifier said of sector s. False when the candidate lists cannot grow
// any more.
bool recordSector(ScanState& state, std::int64_t s, std::uint8_t code, ScanSummary& summary) {
  if (code == kTypeNone) return true;
  if (code == kTypeOle2 || code == kTypeOoxml) ++summary.documentCandidates;
  if (isUnrecordedCode(code)) return true;
  if (!appendCandidate(state, static_cast<std::uint64_t>(s), code)) return false;
  ++summary.foundByType[code];
  ++summary.candidatesFound;
  return true;
}

// The first pass over the range: chunks are read ahead on a thread of their own and each
// examined sector is classified where it lies in its chunk. A chunk that could not be read
// whole is read again sector by sector, with the reader stopped, as a walk that meets a bad
// spot does.
class FirstPass {
 public:
  FirstPass(ScanState& state, FrontEnd& frontEnd, const ScanHooks& hooks, const ScanLayout& layout, ScanSummary& summary)
      : state_(state), frontEnd_(frontEnd), hooks_(hooks), layout_(layout), summary_(summary),
        bps_(state.geometry.bytesPerSector), end_((state.scanEndSector + 1) * bps_) {}

  // The bytes of the places the carves will look at, kept as the pass went by them.
  [[nodiscard]] FarLooks takeLooks() { return std::move(looks_); }
  [[nodiscard]] CandidateNotes takeNotes() { return std::move(notes_); }
  [[nodiscard]] SectorMarks takeMarks() { return std::move(marks_); }
  // The last sector the pass went through (before the one it stopped at, when it stopped).
  [[nodiscard]] std::int64_t lastSectorPassed() const { return std::min(s_, state_.scanEndSector + 1) - 1; }

  void run() {
    frontEnd_.pump();
    s_ = layout_.nextExamined(state_.scanStartSector);
    std::int64_t offset = state_.scanStartSector * bps_;
    while (s_ <= state_.scanEndSector && offset < end_) {
      std::int64_t failedEnd = -1;
      {
        PrefetchReader reader(*state_.sourceHandle, offset, end_, options());
        for (const PrefetchChunk* chunk = reader.next(); chunk != nullptr; chunk = reader.next()) {
          offset = chunk->offset + chunk->length;
          if (chunk->status == ChunkStatus::Failed) {
            failedEnd = offset / bps_;
            break;
          }
          if (!examineChunk(*chunk) || s_ > state_.scanEndSector) return;
        }
      }  // the reader has stopped: the source may be read directly now
      if (failedEnd < 0 || !examineSectorBySector(failedEnd)) return;
    }
  }

 private:
  PrefetchOptions options() const {
    PrefetchOptions o;
    o.chunkBytes = std::max<std::size_t>(kPrefetchChunkBytes / bps_ * bps_, static_cast<std::size_t>(bps_));
    o.depth = kPrefetchDepth;
    if (state_.freeSpaceOnly) {
      // A chunk whose sectors are all in use holds nothing to examine: it is not read.
      const UsedSectorMap& map = state_.usedSectorMap;
      const std::int64_t bps = bps_;
      o.wanted = [&map, bps](std::int64_t at, std::int64_t length) {
        return map.nextFreeSector(at / bps, (at + length) / bps - 1) >= 0;
      };
    }
    return o;
  }

  // Cancellation, the used-sector test and the progress refresh, for sector s_. False when
  // the pass is to end.
  bool pending(bool& examine) {
    if (state_.scanCancelled.load(std::memory_order_relaxed)) {
      summary_.cancelled = true;
      return false;
    }
    examine = !(state_.freeSpaceOnly && state_.usedSectorMap.isSectorUsed(s_));
    return true;
  }

  void refresh() {
    if (!state_.refreshDue()) return;
    frontEnd_.progress(firstPassReport(state_, s_, summary_));
    frontEnd_.pump();
  }

  bool listFull() {
    summary_.candidateListFull = true;
    return false;
  }

  // Examines the sectors of a chunk that was read (or skipped: then none of them is free).
  bool examineChunk(const PrefetchChunk& chunk) {
    const std::int64_t endSector = (chunk.offset + chunk.length) / bps_;
    const auto sectorBytes = static_cast<std::size_t>(bps_);
    for (; s_ < endSector; s_ = layout_.nextExamined(s_ + 1)) {
      bool examine = false;
      if (!pending(examine)) return false;
      if (examine && chunk.status == ChunkStatus::Read) {
        ++summary_.sectorsExamined;
        const auto at = static_cast<std::size_t>(s_ * bps_ - chunk.offset);
        const std::span<const std::uint8_t> sector = chunk.bytes.subspan(at, sectorBytes);
        const std::uint8_t code = hooks_.classify(sector);
        if (!recordSector(state_, s_, code, summary_)) return listFull();
        noteCandidate(code, sector, chunk.bytes.subspan(at + sectorBytes));
        if (keepMarks_) marks_.note(s_, hooks_.wantedByLooks(sector));
      }
      refresh();
    }
    if (chunk.status == ChunkStatus::Read) harvest_.take(chunk.offset, chunk.bytes, looks_);
    return true;
  }

  // What the carvers of the candidate at s_ are handed of its first sector (and of the bytes
  // after it at hand), and where they will look far ahead, to keep those bytes when the pass
  // reaches them.
  void noteCandidate(std::uint8_t code, std::span<const std::uint8_t> sector, std::span<const std::uint8_t> following) {
    if (code == kTypeNone) return;
    // Where the marks are kept, they tell of the sectors that follow: a note need not.
    if (hooks_.candidateNote != nullptr) notes_.add(s_, hooks_.candidateNote(code, sector, keepMarks_ ? following.first(0) : following));
    if (hooks_.firstLookAhead == nullptr) return;
    const std::int64_t ahead = hooks_.firstLookAhead(code, sector);
    if (ahead <= 0 || ahead > end_ - s_ * bps_ - static_cast<std::int64_t>(FarLooks::kBytes)) return;
    harvest_.want(s_ * bps_ + ahead);
  }

  // Examines the sectors before endSector one by one through the read-ahead window, and
  // directly where it cannot be filled; every unreadable sector there is recorded.
  bool examineSectorBySector(std::int64_t endSector) {
    SectorWalkReader walk(state_);
    std::vector<std::uint8_t> sector(static_cast<std::size_t>(bps_));
    for (; s_ < endSector && s_ <= state_.scanEndSector; s_ = layout_.nextExamined(s_ + 1)) {
      bool examine = false;
      if (!pending(examine)) return false;
      if (examine) {
        ++summary_.sectorsExamined;
        if (!walk.read(s_, sector)) {
          refresh();
          continue;
        }
        const std::uint8_t code = hooks_.classify(sector);
        if (!recordSector(state_, s_, code, summary_)) return listFull();
        noteCandidate(code, sector, {});
      }
      refresh();
    }
    walk.finish();
    return true;
  }

  ScanState& state_;
  FrontEnd& frontEnd_;
  const ScanHooks& hooks_;
  const ScanLayout& layout_;
  ScanSummary& summary_;
  const std::int64_t bps_;
  const std::int64_t end_;   // byte offset just past the scan range
  std::int64_t s_ = 0;       // the next sector to examine
  LookHarvest harvest_;
  FarLooks looks_;
  CandidateNotes notes_;
  // Kept only where every sector is examined: with first sectors of clusters only, looks
  // into the rest of the clusters would learn nothing from them.
  const bool keepMarks_ = hooks_.wantedByLooks != nullptr && layout_.examinesEverySector();
  SectorMarks marks_;
};

void reportEstimate(ScanState& state, FrontEnd& frontEnd, std::int64_t done) {
  if (!state.refreshDue()) return;
  ProgressReport r;
  r.phase = ScanPhase::Estimating;
  r.done = done;
  r.total = static_cast<std::int64_t>(state.candidateSectors.size());
  r.candidates = static_cast<std::uint32_t>(state.candidateSectors.size());
  frontEnd.progress(r);
  frontEnd.pump();
}

// Before each candidate: lets the front end act, waits while paused. False on a stop request.
bool continueAfterPause(ScanState& state, FrontEnd& frontEnd) {
  for (;;) {
    frontEnd.pump();
    const std::uint8_t rs = state.recoveryState.load(std::memory_order_relaxed);
    if (rs == kRecoveryStopRequested) return false;
    if (rs != kRecoveryPaused) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Visits every candidate from the highest sector down. Returns false when stopped.
template <typename Action>
bool visitCandidates(ScanState& state, FrontEnd& frontEnd, ScanPhase phase, Action&& act) {
  const std::int64_t count = static_cast<std::int64_t>(state.candidateSectors.size());
  for (std::int64_t i = count - 1; i >= 0; --i) {
    if (!continueAfterPause(state, frontEnd)) return false;
    const auto s = static_cast<std::int64_t>(state.candidateSectors[static_cast<std::size_t>(i)]);
    const std::uint8_t t = state.candidateTypes[static_cast<std::size_t>(i)];
    if (state.refreshDue()) {
      ProgressReport r;
      r.phase = phase;
      r.sector = s;
      r.carveStartSector = s;
      r.done = count - 1 - i;
      r.total = count;
      r.candidates = static_cast<std::uint32_t>(count);
      r.recovered = state.recoveredCount;
      frontEnd.progress(r);
    }
    act(s, t);
  }
  return true;
}

void runCarver(CarverFn carver, ScanCarveServices& services, const ScanState& state, std::int64_t s, std::uint8_t t) {
  if (carver == nullptr) return;
  services.flushSavedIfDue();
  services.setCandidateType(t);
  services.setCandidateNote(s);
  carver(services.context(), s * static_cast<std::int64_t>(state.geometry.bytesPerSector));
}

// Second pass and final sweep. Returns false when a stop request ended them.
bool carveCandidates(ScanState& state, FrontEnd& frontEnd, const ScanHooks& hooks, const ScanLayout& layout,
                     ScanCarveServices& services) {
  const std::uint32_t spc = clusterSectors(state);
  state.phase = ScanPhase::SecondPass;
  services.setPhase(ScanPhase::SecondPass);
  // Files confirmed whole by their own checks are claimed first, so that no file traced by
  // the stepping rule alone takes their clusters; their candidates are not carved again.
  std::unordered_set<std::int64_t> confirmed;
  if (hooks.confirmedPassCarver != nullptr) {
    services.setQuiet(true);
    const bool done = visitCandidates(state, frontEnd, ScanPhase::SecondPass, [&](std::int64_t s, std::uint8_t t) {
      const CarverFn carver = hooks.confirmedPassCarver(t);
      if (carver == nullptr || state.usedSectorMap.isSectorUsed(s)) return;
      runCarver(carver, services, state, s, t);
      if (state.usedSectorMap.isSectorUsed(s)) confirmed.insert(s);
    });
    services.setQuiet(false);
    if (!done) return false;
  }
  const bool finished = visitCandidates(state, frontEnd, ScanPhase::SecondPass, [&](std::int64_t s, std::uint8_t t) {
    if (confirmed.count(s) != 0) return;
    if (t == kTypeFsMetadata) {
      const ScanRegion* region = layout.regionOf(s);
      const std::int64_t rest = region != nullptr ? sectorsToClusterEnd(s, region->clusterPhase, region->sectorsPerCluster)
                                                  : sectorsToClusterEnd(s, state.clusterPhase, spc);
      state.usedSectorMap.markSectorRun(rest, s);
      services.memory().forget();
      return;
    }
    runCarver(hooks.mainPassCarver(t), services, state, s, t);
  });
  if (!finished) return false;
  state.phase = ScanPhase::FinalSweep;
  services.setPhase(ScanPhase::FinalSweep);
  return visitCandidates(state, frontEnd, ScanPhase::FinalSweep, [&](std::int64_t s, std::uint8_t t) {
    runCarver(hooks.finalSweepCarver(t), services, state, s, t);
  });
}

void markAllocated(ScanState& state, FrontEnd& frontEnd, const ScanHooks& hooks, const ScanLayout& layout,
                   ScanSummary& summary) {
  const AllocatedSpaceResult result = layout.regions().empty() ? hooks.markAllocated(state, frontEnd)
                                                               : markAllocatedRegions(state, frontEnd, layout.regions());
  if (result.ok) return;
  state.freeSpaceOnly = false;
  summary.freeSpaceMarkingFailed = true;
  summary.disableFreeSpace = !result.cancelled;
}

}  // namespace

std::int64_t sectorsToClusterEnd(std::int64_t s, std::uint32_t phase, std::uint32_t sectorsPerCluster) {
  const std::int64_t spc = sectorsPerCluster == 0 ? 1 : sectorsPerCluster;
  const std::int64_t into = (((s - static_cast<std::int64_t>(phase)) % spc) + spc) % spc;
  return spc - into;
}

ScanRefusal validateScan(ScanState& state, const ScanRequest& request, std::string* refusalDetail) {
  if (!state.isOpen()) return ScanRefusal::NoSource;
  if (state.typeFlags == 0) return ScanRefusal::NoFamilies;
  if (!platform::isDirectory(request.outputFolder)) return ScanRefusal::NoOutputFolder;
  const bool onSource = request.folderOnSource ? request.folderOnSource(request.outputFolder)
                                               : defaultFolderOnSource(state, request.outputFolder, refusalDetail);
  if (onSource) return ScanRefusal::OutputOnSource;
  if (request.lists != nullptr) reapplyClusterSize(*request.lists, state.geometry);
  state.outputFolder = request.outputFolder;
  if (state.outputFolder.back() != '/') state.outputFolder += '/';
  const std::uint32_t bps = state.geometry.bytesPerSector;
  if (bps == 0 || bps > kMaxSectorSize) return ScanRefusal::BadSectorSize;
  if (request.startSector < 0 || request.startSector > request.endSector ||
      request.endSector > state.geometry.lastSector)
    return ScanRefusal::BadRange;
  state.scanStartSector = request.startSector;
  state.scanEndSector = request.endSector;
  state.scanLength = request.endSector - request.startSector + 1;
  // The map covers the range only: memory follows the work, not the size of the source.
  if (!state.usedSectorMap.allocate(state.scanStartSector, state.scanEndSector)) return ScanRefusal::NoMemory;
  return ScanRefusal::None;
}

std::uint32_t estimateClusterPhase(ScanState& state, FrontEnd& frontEnd, std::uint32_t sectorsPerCluster) {
  const std::uint32_t spc = sectorsPerCluster == 0 ? 1 : sectorsPerCluster;
  auto& sectors = state.candidateSectors;
  auto& types = state.candidateTypes;
  const std::int64_t count = static_cast<std::int64_t>(sectors.size());

  // Weights in half units: a JPEG without APP0/APP1 counts half, file-system metadata nothing.
  std::vector<std::uint64_t> halves(spc, 0);
  for (std::int64_t i = count - 1; i >= 0; --i) {
    const auto k = static_cast<std::size_t>(i);
    const std::uint8_t t = types[k];
    if (t != kTypeFsMetadata) halves[sectors[k] % spc] += t == kTypeJpegOther ? 1 : 2;
    reportEstimate(state, frontEnd, count - 1 - i);
  }
  std::uint32_t phase = 0;
  for (std::uint32_t j = 1; j < spc; ++j) {
    if (halves[j] > halves[phase]) phase = j;
  }

  // Keep the candidates at that offset, in order.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < sectors.size(); ++i) {
    if (sectors[i] % spc != phase) continue;
    sectors[kept] = sectors[i];
    types[kept] = types[i];
    ++kept;
    reportEstimate(state, frontEnd, static_cast<std::int64_t>(i));
  }
  sectors.resize(kept);
  types.resize(kept);
  return phase;
}

ScanSummary runScan(ScanState& state, FrontEnd& frontEnd, const ScanRequest& request, const ScanHooks& hooks) {
  ScanSummary summary;
  summary.refusal = validateScan(state, request, &summary.refusalDetail);
  if (summary.refusal != ScanRefusal::None) return summary;

  const ScanLayout layout(scanRegions(state), state.geometry);
  state.scanCancelled = false;
  state.unreadableSectors.clear();
  state.freeSpaceOnly = request.freeSpaceOnly;
  if (state.freeSpaceOnly) {
    state.phase = ScanPhase::MarkingAllocated;
    markAllocated(state, frontEnd, hooks, layout, summary);
  }
  emptyCandidates(state);

  FarLooks looks;
  CandidateNotes notes;
  SectorMarks marks;
  std::int64_t firstPassLast = -1;
  if (state.scanCancelled.load()) {
    summary.cancelled = true;
  } else {
    state.phase = ScanPhase::FirstPass;
    FirstPass firstPass(state, frontEnd, hooks, layout, summary);
    firstPass.run();
    looks = firstPass.takeLooks();
    notes = firstPass.takeNotes();
    marks = firstPass.takeMarks();
    firstPassLast = firstPass.lastSectorPassed();
    const std::uint32_t spc = clusterSectors(state);
    state.phase = ScanPhase::Estimating;
    if (state.geometry.clusterOffset == -1 && spc > 1) {
      state.clusterPhase = estimateClusterPhase(state, frontEnd, spc);
    } else {
      state.clusterPhase = state.geometry.clusterOffset == -1 ? 0u : static_cast<std::uint32_t>(state.geometry.clusterOffset) % spc;
    }
    // Nothing gave the cluster size: estimated for this scan only, every candidate kept.
    if (spc == 1 && state.geometry.clusterOffset == -1 && !request.clusterSizeChosen) {
      summary.clusterEstimate = estimateClusterSize(state.candidateSectors, state.candidateTypes, state.geometry.bytesPerSector);
      state.geometry.sectorsPerCluster = summary.clusterEstimate->sectorsPerCluster;
      state.clusterPhase = summary.clusterEstimate->phase;
    }
  }
  summary.candidatesKept = state.candidateSectors.size();
  summary.clusterPhase = state.clusterPhase;

  // The second pass.
  state.scanCancelled = true;
  state.phase = ScanPhase::SecondPass;
  state.recoveryState = kRecoveryRunning;
  state.recoveredCount = 0;
  state.saveFailures = 0;
  state.damagedCount = 0;
  state.recoveredFiles.clear();
  ScanCarveServices services(state, frontEnd);
  services.setLayout(&layout);
  services.adoptFarLooks(std::move(looks));
  services.adoptCandidateNotes(std::move(notes));
  services.adoptSectorMarks(std::move(marks));
  services.setFirstPassReach(state.scanStartSector, firstPassLast);
  // Documents are saved in batches that take their final names together; every one has its
  // name before the summary is made.
  services.setBatchedSaving(true);
  const bool finished = carveCandidates(state, frontEnd, hooks, layout, services);
  services.flushSaved();
  if (summary.clusterEstimate) state.geometry.sectorsPerCluster = 1;
  state.phase = ScanPhase::Done;
  state.usedSectorMap.release();
  summary.rejections = services.takeRejections();
  summary.sectorsUnreadable = static_cast<std::int64_t>(state.unreadableSectors.size());

  summary.stopped = !finished || state.recoveryState.load() == kRecoveryStopRequested;
  summary.recovered = state.recoveredCount;
  summary.saveFailures = state.saveFailures;
  ProgressReport done;
  done.phase = ScanPhase::Done;
  done.recovered = state.recoveredCount;
  done.candidates = static_cast<std::uint32_t>(summary.candidatesKept);
  frontEnd.progress(done);
  emptyCandidates(state);
  return summary;
}

}  // namespace vellumark
