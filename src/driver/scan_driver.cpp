#include "driver/scan_driver.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <thread>
#include <unordered_set>

#include "platform/storage_topology.h"
#include "source/output_placement.h"
#include "scan/read_ahead.h"
#include "scan/type_codes.h"

namespace vellumark {

namespace {

// The candidate lists double from a small start up to a million entries, then grow a million
// at a time: a small source never pays for a million-entry reservation.
constexpr std::size_t kCandidateGrowth = 1'000'000;
constexpr std::size_t kFirstCandidateReserve = 1024;

std::size_t grownCandidateCapacity(std::size_t size) {
  if (size < kFirstCandidateReserve) return kFirstCandidateReserve;
  return size + std::min(size, kCandidateGrowth);
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
  std::vector<std::uint64_t>().swap(state.candidateSectors);
  std::vector<std::uint8_t>().swap(state.candidateTypes);
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

// Classifies sector s and records it when something begins there. False when the
// candidate lists cannot grow any more.
bool examineSector(ScanState& state, const ScanHooks& hooks, std::int64_t s, SectorWalkReader& reader,
                   std::span<std::uint8_t> buffer, ScanSummary& summary) {
  ++summary.sectorsExamined;
  if (!reader.read(s, buffer)) return true;  // recorded as unreadable by the reader
  const std::uint8_t code = hooks.classify(buffer);
  if (code == kTypeNone) return true;
  if (code == kTypeOle2 || code == kTypeOoxml) ++summary.documentCandidates;
  if (isUnrecordedCode(code)) return true;
  if (!appendCandidate(state, static_cast<std::uint64_t>(s), code)) return false;
  ++summary.foundByType[code];
  ++summary.candidatesFound;
  return true;
}

// Examines the sectors the layout names: with a known cluster geometry only the first
// sector of each cluster.
void firstPass(ScanState& state, FrontEnd& frontEnd, const ScanHooks& hooks, const ScanLayout& layout,
               ScanSummary& summary) {
  SectorWalkReader reader(state);
  std::vector<std::uint8_t> buffer(state.geometry.bytesPerSector);
  frontEnd.pump();
  for (std::int64_t s = layout.nextExamined(state.scanStartSector); s <= state.scanEndSector;
       s = layout.nextExamined(s + 1)) {
    if (state.scanCancelled.load(std::memory_order_relaxed)) {
      summary.cancelled = true;
      return;
    }
    if (!(state.freeSpaceOnly && state.usedSectorMap.isSectorUsed(s)) && !examineSector(state, hooks, s, reader, buffer, summary)) {
      summary.candidateListFull = true;
      return;
    }
    if (state.refreshDue()) {
      frontEnd.progress(firstPassReport(state, s, summary));
      frontEnd.pump();
    }
  }
  reader.finish();
}

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
  services.setCandidateType(t);
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

  if (state.scanCancelled.load()) {
    summary.cancelled = true;
  } else {
    state.phase = ScanPhase::FirstPass;
    firstPass(state, frontEnd, hooks, layout, summary);
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
  const bool finished = carveCandidates(state, frontEnd, hooks, layout, services);
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
