#include "carvers/carver_framework.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <vector>

namespace vellumark {

namespace {

constexpr std::uint32_t kMaxSectorBytes = 4096;

// Why a carve was turned down when its format gives no reason of its own.
constexpr std::string_view kNotAccepted = "not accepted by its format";

// Candidates are carved one after another, most of them failing within a few sectors: each
// carve takes the buffer the last one left instead of mapping memory of its own. Only a
// modest buffer is kept for the next; a large one is given back.
constexpr std::size_t kLargestKeptBuffer = 8u << 20;
thread_local platform::GrowableBuffer tSpareBuffer;

// What readThrough reads at once, and where it reads it to.
constexpr std::size_t kThroughChunkBytes = 256u << 10;
thread_local std::vector<std::uint8_t> tThroughScratch;

}  // namespace

Carve::Carve(CarveContext& ctx, std::int64_t startOffset)
    : ctx_(ctx),
      settings_(ctx.settings.current(startOffset)),
      startOffset_(startOffset),
      startSector_(0),
      bytesPerSector_(settings_.bytesPerSector),
      readOffset_(startOffset) {
  buffer_.swap(tSpareBuffer);
  if (settings_.sectorsPerCluster == 0) settings_.sectorsPerCluster = 1;
  if (bytesPerSector_ == 0 || bytesPerSector_ > kMaxSectorBytes || startOffset < 0) return;
  startSector_ = startOffset / bytesPerSector_;
  if (ctx_.claims.isSectorUsed(startSector_)) {
    ctx_.reporter.rejected(startSector_, "its first sector belongs to a file traced earlier");
    return;
  }
  active_ = true;
  if (!claimNextFreeSector()) return;
  try {
    started_ = readNextSector();
  } catch (const std::bad_alloc&) {
    started_ = false;
  }
}

Carve::~Carve() {
  if (buffer_.capacity() <= kLargestKeptBuffer && buffer_.capacity() > tSpareBuffer.capacity()) buffer_.swap(tSpareBuffer);
  if (!active_) return;
  if (accepted_) {
    // Sectors now claimed for good change where later carves step: what failed walks
    // learnt no longer holds.
    if (ctx_.memory != nullptr) ctx_.memory->forget();
    claimClusterSlack();
    return;
  }
  releaseClaims();
  ctx_.reporter.rejected(startSector_, reason_.empty() ? kNotAccepted : std::string_view(reason_));
}

bool Carve::claimNextFreeSector() {
  const std::int64_t current = readOffset_ / bytesPerSector_;
  const std::int64_t sector = ctx_.claims.nextFreeSector(current, settings_.scanEndSector);
  if (sector < 0) {
    if (reason_.empty()) reason_ = "the scan range ended before the file did";
    return false;
  }
  readOffset_ += (sector - current) * static_cast<std::int64_t>(bytesPerSector_);
  ctx_.claims.markSector(sector);
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
    if (!readSectorAt(std::span(buffer_.data() + at, bytesPerSector_))) return false;
  } else {
    std::array<std::uint8_t, kMaxSectorBytes> staging{};
    if (!readSectorAt(std::span(staging.data(), bytesPerSector_))) return false;
    const std::int64_t keep = filled_ + bps - keptFrom_;
    if (keep > 0) {
      reserve(static_cast<std::size_t>(keep));
      std::memcpy(buffer_.data(), staging.data() + (bps - keep), static_cast<std::size_t>(keep));
    }
  }
  readOffset_ += bps;
  filled_ += bps;
  storedEnd_ = filled_;
  return true;
}

bool Carve::readSectorAt(std::span<std::uint8_t> dest) {
  if (ctx_.reader.read(readOffset_, dest)) return true;
  reason_ = "a sector of it could not be read";
  troubled_ = true;
  ctx_.reporter.unreadable(startSector_, readOffset_ / bytesPerSector_);
  return false;
}

bool Carve::outOfMemory(std::int64_t target) {
  reason_ = "not enough memory to assemble it";
  troubled_ = true;
  ctx_.reporter.outOfMemory(startSector_, target);
  return false;
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
    return outOfMemory(target);
  }
  return true;
}

bool Carve::claimFollowingSector() {
  if (claimed_.empty()) return false;
  Run& last = claimed_.back();
  const std::int64_t sector = last.first + last.count;
  if (sector > settings_.scanEndSector || ctx_.claims.isSectorUsed(sector)) return false;
  ctx_.claims.markSector(sector);
  ++last.count;
  return true;
}

std::int64_t freeFirstSector(CarveContext& ctx, std::int64_t startOffset, CarveSettings& settings) {
  settings = ctx.settings.current(startOffset);
  const std::int64_t bps = settings.bytesPerSector;
  if (bps == 0 || bps > kMaxSectorBytes || startOffset < 0 || startOffset % bps != 0) return -1;
  const std::int64_t startSector = startOffset / bps;
  if (startSector > settings.scanEndSector || ctx.claims.isSectorUsed(startSector)) return -1;
  return startSector;
}

bool turnedDownByFirstSector(CarveContext& ctx, std::int64_t startOffset) {
  if (ctx.note != kNoteTurnedDown) return false;
  CarveSettings settings;
  const std::int64_t startSector = freeFirstSector(ctx, startOffset, settings);
  if (startSector < 0) return false;
  ctx.reporter.rejected(startSector, kNotAccepted);
  return true;
}

bool Carve::readThrough(std::int64_t target) {
  if (!started_) return false;
  const std::int64_t bps = bytesPerSector_;
  // Contiguous free sectors are read together, into a scratch buffer the carve never keeps.
  std::vector<std::uint8_t>& scratch = tThroughScratch;
  if (scratch.size() < kThroughChunkBytes) scratch.resize(kThroughChunkBytes);
  const std::int64_t perChunk = static_cast<std::int64_t>(kThroughChunkBytes) / bps;
  try {
    while (filled_ < target) {
      if (!claimNextFreeSector()) return false;
      const std::int64_t wanted = std::min(perChunk, (target - filled_ + bps - 1) / bps);
      std::int64_t count = 1;
      while (count < wanted && claimFollowingSector()) ++count;
      const std::int64_t from = readOffset_;
      if (!ctx_.reader.read(from, std::span(scratch.data(), static_cast<std::size_t>(count * bps)))) {
        // Sector by sector, so that the one that fails is the one reported.
        for (std::int64_t i = 0; i < count; ++i) {
          readOffset_ = from + i * bps;
          if (!readSectorAt(std::span(scratch.data(), bytesPerSector_))) return false;
        }
      }
      readOffset_ = from + count * bps;
      filled_ += count * bps;
      reportProgress();
    }
  } catch (const std::bad_alloc&) {
    return outOfMemory(target);
  }
  return true;
}

Bytes Carve::need(std::int64_t offset, std::size_t n) {
  if (offset < keptFrom_ || !fetchUpTo(offset + static_cast<std::int64_t>(n))) return {};
  const Bytes held = bytes();
  const auto at = static_cast<std::size_t>(offset - keptFrom_);
  if (!fits(held, at, n)) return {};
  return held.subspan(at, n);
}

Carve::Peek Carve::peekAhead(std::int64_t offset, std::span<std::uint8_t> dest) {
  const std::int64_t bps = bytesPerSector_;
  if (!started_ || offset < filled_) return Peek::Unreadable;
  std::size_t done = 0;
  while (done < dest.size()) {
    const std::int64_t at = offset + static_cast<std::int64_t>(done);
    const std::int64_t source = sourceOffsetAhead(at);
    if (source < 0) return Peek::PastRange;
    // Only the bytes looked at are read: a look of a few bytes does not cost a sector.
    const std::size_t n = std::min(dest.size() - done, static_cast<std::size_t>(bps - source % bps));
    if (!ctx_.reader.peek(source, dest.subspan(done, n))) return Peek::Unreadable;
    done += n;
  }
  return Peek::Read;
}

std::int64_t Carve::sourceOffsetAhead(std::int64_t offset) const {
  const std::int64_t bps = bytesPerSector_;
  if (!started_ || offset < filled_) return -1;
  const std::int64_t s = ctx_.claims.freeSectorAfter(readOffset_ / bps, (offset - filled_) / bps, settings_.scanEndSector);
  return s < 0 ? -1 : s * bps + (offset - filled_) % bps;
}

bool Carve::reachable(std::int64_t length) const {
  if (!started_) return false;
  if (length <= filled_) return true;
  const std::int64_t ahead = (length - 1 - filled_) / bytesPerSector_;
  return ctx_.claims.freeSectorAfter(readOffset_ / bytesPerSector_, ahead, settings_.scanEndSector) >= 0;
}

std::int64_t Carve::sourceOffsetOf(std::int64_t offset) const {
  const std::int64_t bps = bytesPerSector_;
  if (offset < 0 || offset >= filled_) return -1;
  std::int64_t sectorIndex = offset / bps;  // among the sectors taken
  std::int64_t before = filled_ / bps;
  for (auto run = claimed_.rbegin(); run != claimed_.rend(); ++run) {
    before -= run->count;
    if (sectorIndex >= before) return (run->first + (sectorIndex - before)) * bps + offset % bps;
  }
  return -1;
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

void Carve::trimTo(std::int64_t length) {
  const std::int64_t bps = bytesPerSector_;
  const std::int64_t keep = std::max<std::int64_t>(1, (length + bps - 1) / bps);
  std::int64_t held = 0;
  for (const Run& run : claimed_) held += run.count;
  if (held <= keep) return;
  std::int64_t surplus = held - keep;
  std::int64_t firstReleased = 0;
  while (surplus > 0 && !claimed_.empty()) {
    Run& last = claimed_.back();
    const std::int64_t drop = std::min(surplus, last.count);
    for (std::int64_t i = last.count - drop; i < last.count; ++i) ctx_.claims.clearSector(last.first + i);
    firstReleased = last.first + last.count - drop;
    last.count -= drop;
    surplus -= drop;
    if (last.count == 0) claimed_.pop_back();
  }
  readOffset_ = firstReleased * bps;
  filled_ = std::min(filled_, keep * bps);
  storedEnd_ = std::min(storedEnd_, filled_);
  keptFrom_ = std::min(keptFrom_, storedEnd_);
}

bool Carve::adopt(std::span<const std::int64_t> sectors, Bytes content) {
  if (!started_ || sectors.empty() || sectors.front() != startSector_) return false;
  const std::int64_t bps = bytesPerSector_;
  if (static_cast<std::int64_t>(content.size()) > static_cast<std::int64_t>(sectors.size()) * bps) return false;
  releaseClaims();
  for (const std::int64_t s : sectors) {
    if (ctx_.claims.isSectorUsed(s) || s > settings_.scanEndSector) {
      releaseClaims();
      ctx_.claims.markSector(startSector_);
      claimed_.push_back(Run{startSector_, 1});
      return false;
    }
    ctx_.claims.markSector(s);
    if (!claimed_.empty() && claimed_.back().first + claimed_.back().count == s) ++claimed_.back().count;
    else claimed_.push_back(Run{s, 1});
  }
  try {
    reserve(content.size());
  } catch (const std::bad_alloc&) {
    reason_ = "not enough memory to assemble it";
    return false;
  }
  std::memcpy(buffer_.data(), content.data(), content.size());
  keptFrom_ = 0;
  storedEnd_ = static_cast<std::int64_t>(content.size());
  filled_ = static_cast<std::int64_t>(sectors.size()) * bps;
  readOffset_ = (sectors.back() + 1) * bps;
  return true;
}

void Carve::discardBefore(std::int64_t offset) {
  if (offset <= keptFrom_) return;
  if (offset < storedEnd_) {
    std::memmove(buffer_.data(), buffer_.data() + (offset - keptFrom_), static_cast<std::size_t>(storedEnd_ - offset));
  }
  keptFrom_ = offset;
}

void Carve::reserve(std::size_t bytes) {
  const std::size_t capacity = buffer_.capacity();
  if (bytes <= capacity) return;
  const std::size_t step = static_cast<std::size_t>(kGrowthStep);
  const std::size_t wanted = std::max((bytes + step - 1) / step * step, std::min(2 * capacity, capacity + 64 * step));
  // The buffer grows in place; when the generous size cannot be had, the exact one may.
  if (!buffer_.reserve(wanted) && !buffer_.reserve(bytes)) throw std::bad_alloc();
}

std::int64_t Carve::saveDocument(std::string_view extension, std::uint8_t typeCode, std::int64_t length) {
  const Bytes held = bytes();
  if (keptFrom_ != 0 || length < 0 || static_cast<std::uint64_t>(length) > held.size()) return -1;
  const std::vector<ByteRun> runs = runsOf(length);
  const DocumentToSave document{startOffset_, startSector_, extension, typeCode, runs};
  return ctx_.documents.save(document, held.first(static_cast<std::size_t>(length)));
}

std::vector<ByteRun> Carve::runsOf(std::int64_t length) const {
  std::vector<ByteRun> runs;
  const std::int64_t bps = bytesPerSector_;
  std::int64_t left = length;
  for (const Run& run : claimed_) {
    if (left <= 0) break;
    const std::int64_t take = std::min(left, run.count * bps);
    runs.push_back(ByteRun{run.first * bps, take});
    left -= take;
  }
  return runs;
}

bool Carve::saveDamaged(std::string_view extension, std::uint8_t typeCode, std::int64_t length) {
  const Bytes held = bytes();
  const DocumentToSave document{startOffset_, startSector_, extension, typeCode, {}};
  if (keptFrom_ != 0 || length < 0 || static_cast<std::uint64_t>(length) > held.size()) return ctx_.documents.saveDamaged(document, {});
  return ctx_.documents.saveDamaged(document, held.first(static_cast<std::size_t>(length)));
}

const ThumbnailRules& Carve::thumbnailRules() const {
  static const ThumbnailRules kNone{};
  return settings_.thumbnails != nullptr ? *settings_.thumbnails : kNone;
}

void Carve::reportProgress() { ctx_.reporter.carving(startSector_, readOffset_ / bytesPerSector_); }

void Carve::releaseClaims() {
  UsedSectorMap& map = ctx_.claims;
  for (const Run& run : claimed_)
    for (std::int64_t i = 0; i < run.count; ++i) map.clearSector(run.first + i);
  claimed_.clear();
}

// Claims the sectors from the next unread one up to the next cluster boundary: the slack
// of the file's last cluster, which holds nothing another file could own.
void Carve::claimClusterSlack() {
  const std::int64_t spc = settings_.sectorsPerCluster;
  if (spc <= 1) return;
  const std::int64_t phase = settings_.clusterPhase;
  for (std::int64_t s = readOffset_ / bytesPerSector_; (s - phase) % spc > 0; ++s) ctx_.claims.markSector(s);
}

}  // namespace vellumark
