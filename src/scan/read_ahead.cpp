#include "scan/read_ahead.h"

#include <algorithm>
#include <cstring>

namespace vellumark {

namespace {

// How far a window refilled below the old one reaches back into it.
constexpr std::int64_t kReadWindowOverlap = 8192;

}  // namespace

bool ReadWindow::copyEarlier(std::int64_t offset, std::span<std::uint8_t> dest) const {
  const auto size = static_cast<std::int64_t>(dest.size());
  if (earlierLength == 0 || offset < earlierStart || offset + size > earlierStart + static_cast<std::int64_t>(earlierLength))
    return false;
  std::memcpy(dest.data(), earlierBytes.data() + (offset - earlierStart), dest.size());
  return true;
}

std::size_t readSource(ScanState& state, std::span<std::uint8_t> dest, std::int64_t offset) {
  ReadWindow& w = state.readWindow;
  const std::int64_t limit = (state.scanEndSector + 1) * static_cast<std::int64_t>(state.geometry.bytesPerSector);
  std::size_t remaining = dest.size();
  std::uint8_t* out = dest.data();
  if (!state.isOpen() || offset < 0) return remaining;

  bool refilled = false;
  while (remaining > 0) {
    const std::int64_t windowEnd = std::min(w.start + static_cast<std::int64_t>(w.length), limit);
    if (w.valid && offset >= w.start && offset < windowEnd) {
      std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(remaining), windowEnd - offset));
      std::memcpy(out, w.bytes.data() + (offset - w.start), n);
      out += n;
      offset += static_cast<std::int64_t>(n);
      remaining -= n;
      refilled = false;
      continue;
    }
    // A refill that did not cover the offset means the source ended or is short there.
    if (refilled || offset >= limit) return remaining;
    // The block held before the last refill covers it: the two trade places, unread. A carve
    // that looks far ahead and near in turn (a FAT sought clusters away) keeps both.
    if (w.valid && w.earlierLength > 0 && offset >= w.earlierStart &&
        offset < std::min(w.earlierStart + static_cast<std::int64_t>(w.earlierLength), limit)) {
      std::swap(w.bytes, w.earlierBytes);
      std::swap(w.start, w.earlierStart);
      std::swap(w.length, w.earlierLength);
      continue;
    }

    std::int64_t newStart = offset;
    // Candidates are carved from the highest down, so the next read often lies just before
    // the window: the new window then ends a little past where the old one began, and
    // serves the candidates below as well, together with the cluster or two above each of
    // them that their carvers look at.
    const auto windowBytes = static_cast<std::int64_t>(kReadWindowBytes);
    if (w.valid && offset < w.start && offset >= w.start - windowBytes &&
        offset + static_cast<std::int64_t>(remaining) <= w.start)
      newStart = std::min(offset, w.start - windowBytes + kReadWindowOverlap);
    if (newStart > limit - static_cast<std::int64_t>(kReadWindowBytes)) newStart = limit - static_cast<std::int64_t>(kReadWindowBytes);
    if (newStart < 0) newStart = 0;
    // The block the window leaves is kept for looks back into it; the buffers trade places.
    std::swap(w.bytes, w.earlierBytes);
    if (w.bytes.size() != kReadWindowBytes) w.bytes.resize(kReadWindowBytes);
    auto got = state.sourceHandle->readAt(static_cast<std::uint64_t>(newStart), w.bytes);
    if (!got) {
      std::swap(w.bytes, w.earlierBytes);  // the window keeps what it held
      return remaining;
    }
    w.earlierStart = w.start;
    w.earlierLength = w.valid ? w.length : 0;
    w.start = newStart;
    w.length = *got;
    w.valid = true;
    refilled = true;
  }
  return 0;
}

bool SectorWalkReader::read(std::int64_t s, std::span<std::uint8_t> dest) {
  const std::int64_t bps = state_.geometry.bytesPerSector;
  const std::int64_t offset = s * bps;
  probeUpTo(std::min(offset, directUntil_));
  if (offset >= directUntil_) {
    if (readSource(state_, dest.first(static_cast<std::size_t>(bps)), offset) == 0) return true;
    const std::int64_t rangeEnd = (state_.scanEndSector + 1) * bps;
    directUntil_ = std::min(offset + static_cast<std::int64_t>(kReadWindowBytes), std::max(rangeEnd, offset + bps));
  }
  probedUpTo_ = offset + bps;
  if (readSector(state_, s, dest)) return true;
  state_.unreadableSectors.insert(s);
  return false;
}

void SectorWalkReader::finish() { probeUpTo(directUntil_); }

void SectorWalkReader::probeUpTo(std::int64_t offset) {
  const std::int64_t bps = state_.geometry.bytesPerSector;
  if (probedUpTo_ >= offset || bps <= 0) return;
  scratch_.resize(static_cast<std::size_t>(bps));
  for (; probedUpTo_ < offset; probedUpTo_ += bps) {
    const std::int64_t sector = probedUpTo_ / bps;
    if (!readSector(state_, sector, scratch_)) state_.unreadableSectors.insert(sector);
  }
}

}  // namespace vellumark
