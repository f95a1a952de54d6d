#include "scan/allocation_walk.h"

#include <algorithm>
#include <array>

namespace vellumark::allocation {

void Walk::refresh() {
  if (!state.refreshDue()) return;
  ProgressReport report;
  report.phase = ScanPhase::MarkingAllocated;
  report.sector = cursor;
  report.done = tableDone;
  report.total = tableTotal;
  frontEnd.progress(report);
  frontEnd.pump();
}

bool Walk::readExact(std::uint64_t offset, std::span<std::uint8_t> out) {
  if (!state.sourceHandle) return false;
  if (offset > UINT64_MAX - byteBase) return false;
  auto got = state.sourceHandle->readAt(byteBase + offset, out);
  if (got && *got == out.size()) return true;
  noteUnreadable(byteBase + offset, out.size());
  return false;
}

// Finds which sectors of a failed read (at a byte offset of the source) are unreadable,
// reading them one by one.
void Walk::noteUnreadable(std::uint64_t offset, std::size_t length) {
  const std::uint32_t bps = geo.bytesPerSector;
  if (bps == 0 || bps > 4096) return;
  std::array<std::uint8_t, 4096> sector{};
  const std::uint64_t end = std::min<std::uint64_t>(offset + length, state.sourceHandle->sizeBytes() / bps * bps);
  for (std::uint64_t at = offset / bps * bps; at < end; at += bps) {
    auto got = state.sourceHandle->readAt(at, std::span(sector.data(), bps));
    if (!got || *got != bps) state.unreadableSectors.insert(static_cast<std::int64_t>(at / bps));
  }
}

void Walk::markSectors(std::int64_t first, std::int64_t count) {
  if (first < 0 || count <= 0 || first > geo.lastSector) return;
  count = std::min(count, geo.lastSector - first + 1);
  state.usedSectorMap.markSectorRun(count, sectorBase + first);
}

void BitmapMarker::markRun(std::int64_t first, std::int64_t count) {
  if (first <= last_) map_.markSectorRun(std::min(count, last_ - first + 1), base_ + first);
}

void BitmapMarker::consume(std::span<const std::uint8_t> bytes) {
  const std::int64_t byteSectors = 8 * spc_;
  for (std::uint8_t b : bytes) {
    if (finished()) return;
    if (b == 0x00) {
      cursor_ += byteSectors;
      continue;
    }
    if (b == 0xFF && cursor_ + byteSectors <= last_ + 1) {
      map_.markSectorRun(byteSectors, base_ + cursor_);
      cursor_ += byteSectors;
      continue;
    }
    // Neighbouring set bits become one run of sectors.
    std::int64_t runStart = -1;
    for (int i = 0; i < 8; ++i) {
      const int bit = msbFirst_ ? 7 - i : i;
      if ((b >> bit) & 1u) {
        if (runStart < 0) runStart = cursor_;
      } else if (runStart >= 0) {
        markRun(runStart, cursor_ - runStart);
        runStart = -1;
      }
      cursor_ += spc_;
    }
    if (runStart >= 0) markRun(runStart, cursor_ - runStart);
  }
}

std::uint64_t BitmapMarker::usefulBytesLeft() const {
  if (finished()) return 0;
  auto sectors = static_cast<std::uint64_t>(last_ - cursor_ + 1);
  auto clusters = (sectors + static_cast<std::uint64_t>(spc_) - 1) / static_cast<std::uint64_t>(spc_);
  return (clusters + 7) / 8;
}

void BitmapMarker::skipZeroBytes(std::uint64_t count) {
  if (count >= usefulBytesLeft()) {
    cursor_ = last_ + 1;
    return;
  }
  cursor_ += static_cast<std::int64_t>(count) * 8 * spc_;
}

Outcome walkBitmap(Walk& walk, std::span<const Extent> extents, std::uint64_t bitmapBytes, BitmapMarker& marker) {
  bitmapBytes = std::min(bitmapBytes, marker.usefulBytesLeft());
  walk.tableTotal = static_cast<std::int64_t>(bitmapBytes);
  walk.tableDone = 0;
  std::vector<std::uint8_t> buffer(kTableChunkBytes);
  std::uint64_t remaining = bitmapBytes;
  for (const Extent& extent : extents) {
    if (remaining == 0 || marker.finished()) break;
    std::uint64_t extentLeft = std::min(extent.bytes, remaining);
    if (extent.sparse) {
      marker.skipZeroBytes(extentLeft);
      remaining -= extentLeft;
      walk.tableDone += static_cast<std::int64_t>(extentLeft);
      continue;
    }
    for (std::uint64_t at = 0; at < extentLeft && !marker.finished();) {
      if (walk.cancelRequested()) return Outcome::Cancelled;
      auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kTableChunkBytes, extentLeft - at));
      if (extent.offset > UINT64_MAX - at) return walk.fail("the allocation bitmap lies outside the source");
      if (!walk.readExact(extent.offset + at, std::span(buffer).first(n)))
        return walk.fail("reading the allocation bitmap failed");
      marker.consume(std::span(buffer).first(n));
      at += n;
      remaining -= n;
      walk.tableDone += static_cast<std::int64_t>(n);
      walk.cursor = marker.cursor();
      walk.refresh();
    }
  }
  if (remaining > 0 && !marker.finished()) return walk.fail("the allocation bitmap is incomplete");
  return Outcome::Done;
}

}  // namespace vellumark::allocation
