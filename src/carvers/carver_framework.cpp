#include "carvers/carver_framework.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "carvers/recovered_output.h"
#include "scan/read_ahead.h"
#include "source/source_fields.h"

namespace vellumark {

namespace {

// One sector at offset. The read-ahead window fails as a whole when any sector in it cannot
// be read, so a failure there is retried as a direct read of just this sector: a bad sector
// nearby must not cost a document that does not need it.
bool readOneSector(ScanState& state, std::span<std::uint8_t> dest, std::int64_t offset) {
  if (readSource(state, dest, offset) == 0) return true;
  const std::int64_t limit = (state.scanEndSector + 1) * static_cast<std::int64_t>(state.geometry.bytesPerSector);
  if (!state.isOpen() || offset < 0 || offset + static_cast<std::int64_t>(dest.size()) > limit) return false;
  auto got = state.sourceHandle->readAt(static_cast<std::uint64_t>(offset), dest);
  return got && *got == dest.size();
}

}  // namespace

Carve::Carve(CarveContext& ctx, std::int64_t startOffset)
    : ctx_(ctx),
      startOffset_(startOffset),
      startSector_(0),
      bytesPerSector_(ctx.state.geometry.bytesPerSector),
      readOffset_(startOffset) {
  if (bytesPerSector_ == 0 || bytesPerSector_ > kMaxSectorSize || startOffset < 0) return;
  startSector_ = startOffset / bytesPerSector_;
  if (ctx_.state.usedSectorMap.isSectorUsed(startSector_)) return;
  active_ = true;
  if (!claimNextFreeSector()) return;
  try {
    started_ = readNextSector();
  } catch (const std::bad_alloc&) {
    started_ = false;
  }
}

Carve::~Carve() {
  if (!active_) return;
  if (accepted_) {
    claimClusterSlack();
  } else {
    releaseClaims();
  }
}

bool Carve::claimNextFreeSector() {
  const ScanState& state = ctx_.state;
  const UsedSectorMap& map = state.usedSectorMap;
  const std::vector<std::uint8_t>& bits = map.bytes();
  const std::int64_t last = std::min(state.scanEndSector, map.sectorCount() - 1);
  std::int64_t sector = readOffset_ / bytesPerSector_;
  while (sector <= last) {
    // Whole bytes of claimed sectors are stepped over at once.
    if ((sector & 7) == 0 && bits[static_cast<std::size_t>(sector >> 3)] == 0xFF && sector + 8 <= last + 1) {
      sector += 8;
      readOffset_ += 8 * static_cast<std::int64_t>(bytesPerSector_);
      continue;
    }
    if (!map.isSectorUsed(sector)) break;
    ++sector;
    readOffset_ += bytesPerSector_;
  }
  if (sector > last) return false;
  ctx_.state.usedSectorMap.markSector(sector);
  if (!claimed_.empty() && claimed_.back().first + claimed_.back().count == sector) {
    ++claimed_.back().count;
  } else {
    claimed_.push_back(Run{sector, 1});
  }
  return true;
}

bool Carve::readNextSector() {
  // After a claim-only stretch or a discard, bytes are kept only from keptFrom_ on.
  if (storedEnd_ != filled_) {
    keptFrom_ = std::max(keptFrom_, filled_);
    storedEnd_ = filled_;
  }
  const std::int64_t bps = bytesPerSector_;
  if (filled_ >= keptFrom_) {
    const std::size_t at = static_cast<std::size_t>(filled_ - keptFrom_);
    reserve(at + bytesPerSector_);
    if (!readOneSector(ctx_.state, std::span(buffer_.get() + at, bytesPerSector_), readOffset_)) return false;
  } else {
    std::array<std::uint8_t, kMaxSectorSize> staging{};
    if (!readOneSector(ctx_.state, std::span(staging.data(), bytesPerSector_), readOffset_)) return false;
    const std::int64_t keep = filled_ + bps - keptFrom_;
    if (keep > 0) {
      reserve(static_cast<std::size_t>(keep));
      std::memcpy(buffer_.get(), staging.data() + (bps - keep), static_cast<std::size_t>(keep));
    }
  }
  readOffset_ += bps;
  filled_ += bps;
  storedEnd_ = filled_;
  return true;
}

bool Carve::fetchUpTo(std::int64_t target) {
  if (!started_) return false;
  try {
    while (filled_ < target) {
      if (!claimNextFreeSector()) return false;
      if (!readNextSector()) return false;
      reportProgress();
    }
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool Carve::claimUpTo(std::int64_t length) {
  if (!started_) return false;
  while (filled_ < length) {
    if (!claimNextFreeSector()) return false;
    readOffset_ += bytesPerSector_;
    filled_ += bytesPerSector_;
    reportProgress();
  }
  return true;
}

void Carve::releaseClaimsBeyond(std::int64_t length) {
  const std::int64_t bps = bytesPerSector_;
  const std::int64_t keep = std::max<std::int64_t>(1, length / bps + (length % bps != 0));
  std::int64_t held = 0;
  for (const Run& run : claimed_) held += run.count;
  while (held > keep) {
    Run& last = claimed_.back();
    const std::int64_t sector = last.first + last.count - 1;
    ctx_.state.usedSectorMap.clearSector(sector);
    readOffset_ = sector * bps;
    --held;
    if (--last.count == 0) claimed_.pop_back();
  }
  filled_ = std::min(filled_, held * bps);
  storedEnd_ = std::min(storedEnd_, filled_);
  keptFrom_ = std::min(keptFrom_, storedEnd_);
}

void Carve::discardBefore(std::int64_t offset) {
  if (offset <= keptFrom_) return;
  if (offset < storedEnd_) {
    std::memmove(buffer_.get(), buffer_.get() + (offset - keptFrom_), static_cast<std::size_t>(storedEnd_ - offset));
  }
  keptFrom_ = offset;
}

Bytes Carve::bytes() const {
  if (storedEnd_ <= keptFrom_) return {};
  return Bytes(buffer_.get(), static_cast<std::size_t>(storedEnd_ - keptFrom_));
}

void Carve::reserve(std::size_t bytes) {
  if (bytes <= capacity_) return;
  const std::size_t step = static_cast<std::size_t>(kGrowthStep);
  const std::size_t wanted = std::max((bytes + step - 1) / step * step, std::min(2 * capacity_, capacity_ + 64 * step));
  std::unique_ptr<std::uint8_t[]> grown(new std::uint8_t[wanted]);
  const std::int64_t held = storedEnd_ - keptFrom_;
  if (held > 0) std::memcpy(grown.get(), buffer_.get(), static_cast<std::size_t>(held));
  buffer_ = std::move(grown);
  capacity_ = wanted;
}

std::int64_t Carve::saveDocument(std::string_view extension, std::uint8_t typeCode, std::int64_t length) {
  const Bytes held = bytes();
  if (keptFrom_ != 0 || length < 0 || static_cast<std::uint64_t>(length) > held.size()) return -1;
  ScanState& state = ctx_.state;
  std::string path = recoveredFileName(state.outputFolder, startOffset_, extension);
  if (!saveRecovered(ctx_, path, held.first(static_cast<std::size_t>(length)))) {
    ++state.saveFailures;
    return -1;
  }
  ++state.recoveredCount;
  state.recoveredFiles.push_back(RecoveredFile{std::move(path), static_cast<std::uint64_t>(length), startSector_, typeCode});
  return static_cast<std::int64_t>(state.recoveredFiles.size()) - 1;
}

std::uint32_t Carve::typeFlags() const { return ctx_.state.typeFlags; }
std::uint32_t Carve::sectorsPerCluster() const {
  const std::uint32_t spc = ctx_.state.geometry.sectorsPerCluster;
  return spc == 0 ? 1 : spc;
}
std::uint32_t Carve::clusterPhase() const { return ctx_.state.clusterPhase; }
std::int64_t Carve::scanEndSector() const { return ctx_.state.scanEndSector; }

void Carve::reportProgress() {
  ScanState& state = ctx_.state;
  if (!state.refreshDue()) return;
  ProgressReport report;
  report.phase = ScanPhase::SecondPass;
  report.sector = readOffset_ / bytesPerSector_;
  report.carveStartSector = startSector_;
  report.recovered = state.recoveredCount;
  // Candidates are visited from the highest down: those above this one are done. The list
  // is ascending, so a long carve shows the same progress as the loop that called it.
  const auto& candidates = state.candidateSectors;
  const auto above = std::upper_bound(candidates.begin(), candidates.end(), static_cast<std::uint64_t>(startSector_));
  report.total = static_cast<std::int64_t>(candidates.size());
  report.done = static_cast<std::int64_t>(candidates.end() - above);
  report.candidates = static_cast<std::uint32_t>(candidates.size());
  ctx_.frontEnd.progress(report);
  ctx_.frontEnd.pump();
}

void Carve::releaseClaims() {
  UsedSectorMap& map = ctx_.state.usedSectorMap;
  for (const Run& run : claimed_)
    for (std::int64_t i = 0; i < run.count; ++i) map.clearSector(run.first + i);
  claimed_.clear();
}

// Claims the sectors from the next unread one up to the next cluster boundary: the slack
// of the file's last cluster, which holds nothing another file could own.
void Carve::claimClusterSlack() {
  const std::int64_t spc = ctx_.state.geometry.sectorsPerCluster;
  if (spc <= 1) return;
  const std::int64_t phase = ctx_.state.clusterPhase;
  for (std::int64_t s = readOffset_ / bytesPerSector_; (s - phase) % spc > 0; ++s) ctx_.state.usedSectorMap.markSector(s);
}

}  // namespace vellumark
