#include "carvers/lookahead_supply.h"

#include <algorithm>
#include <cstring>

#include "carvers/carver_framework.h"
#include "formats/ole2.h"

namespace vellumark {

namespace {

// The view is anonymous memory of which only the units asked for are ever touched. Mapping
// and unmapping one per candidate costs more than the reading it saves, so the last view is
// kept for the next supply, until the pages its supplies touched add up to this much.
constexpr std::int64_t kMostTouchedBytes = 16 << 20;
thread_local platform::GrowableBuffer tSpareView;
thread_local std::int64_t tSpareTouched = 0;

}  // namespace

LookaheadSupply::~LookaheadSupply() {
  if (tSpareTouched + touched_ > kMostTouchedBytes) {
    tSpareTouched = 0;
    return;  // view_ is given back to the system
  }
  tSpareTouched += touched_;
  view_.swap(tSpareView);
}

LookaheadSupply::LookaheadSupply(Carve& carve, std::int64_t unit) : carve_(carve), unit_(unit) {
  view_.swap(tSpareView);
  // Room for any document at once, so that the view never moves while it grows.
  (void)view_.reserve(static_cast<std::size_t>(ole2::kMaxDocumentBytes + 2 * unit));
  const Bytes held = carve_.bytes();
  if (!view_.reserve(held.size())) return;
  std::memcpy(view_.data(), held.data(), held.size());
  size_ = prefix_ = furthest_ = static_cast<std::int64_t>(held.size());
}

bool LookaheadSupply::ensure(std::int64_t end) {
  if (end <= 0) return end == 0;
  if (end <= prefix_) return true;
  // Each request is served anew: the units asked for are few (the FAT and the directory).
  if (!view_.reserve(static_cast<std::size_t>(std::max(end, size_)))) return false;
  const std::int64_t from = std::max<std::int64_t>(0, end - unit_);
  const Bytes held = carve_.bytes();
  const std::int64_t assembled = carve_.keptFrom() == 0 ? static_cast<std::int64_t>(held.size()) : 0;
  std::int64_t at = from;
  if (at < assembled) {
    const std::int64_t n = std::min(assembled, end) - at;
    std::memcpy(view_.data() + at, held.data() + at, static_cast<std::size_t>(n));
    at += n;
  }
  if (at < end) {
    const std::span<std::uint8_t> dest(view_.data() + at, static_cast<std::size_t>(end - at));
    switch (carve_.peekAhead(at, dest)) {
      case Carve::Peek::Read: break;
      case Carve::Peek::PastRange: return false;
      case Carve::Peek::Unreadable:
        // Fetched for real, so that the sector that fails is reported as it always was.
        if (!carve_.fetchUpTo(end)) return false;
        return ensure(end);
    }
  }
  touched_ += unit_ + 4096;
  size_ = std::max(size_, end);
  furthest_ = std::max(furthest_, end);
  return true;
}

Bytes LookaheadSupply::bytes() const { return Bytes(view_.data(), static_cast<std::size_t>(size_)); }

std::int64_t LookaheadSupply::reached() const {
  const std::int64_t bps = carve_.bytesPerSector();
  return std::max(carve_.filled(), (furthest_ + bps - 1) / bps * bps);
}

bool LookaheadSupply::extendTo(std::int64_t length) {
  if (!carve_.reachable(length)) return false;
  furthest_ = std::max(furthest_, length);
  return true;
}

bool LookaheadSupply::settle(std::int64_t keep) {
  return carve_.fetchUpTo(std::min(keep, furthest_)) && carve_.readThrough(furthest_);
}

}  // namespace vellumark
