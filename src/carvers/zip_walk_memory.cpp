#include "carvers/zip_walk_memory.h"

#include <algorithm>
#include <array>

#include "carvers/carve_memory.h"
#include "carvers/carver_framework.h"
#include "formats/zip.h"

namespace vellumark::zip {

bool isRecordSignature(std::uint32_t signature) {
  switch (signature) {
    case kLocalHeader:
    case kCentralHeader:
    case kDigitalSignature:
    case kArchiveExtraData:
    case kZip64EndOfCentralDirectory:
    case kZip64EndLocator:
    case kEndOfCentralDirectory: return true;
    default: return false;
  }
}

std::optional<PlainLocalHeader> plainLocalHeader(Bytes header) {
  if (header.size() < kLocalHeaderBytes || le32(header, 0) != kLocalHeader) return std::nullopt;
  const std::uint32_t compressed = le32(header, kLocalCompressedSizeOffset);
  if ((le16(header, kLocalFlagsOffset) & kFlagDataDescriptor) || compressed == kZip64Marker ||
      le32(header, kLocalUncompressedSizeOffset) == kZip64Marker)
    return std::nullopt;
  const std::int64_t length = static_cast<std::int64_t>(kLocalHeaderBytes) + le16(header, kLocalNameLengthOffset) +
                              le16(header, kLocalExtraLengthOffset);
  return PlainLocalHeader{length, static_cast<std::int64_t>(compressed)};
}

WalkStop checkRecordEnd(Carve& carve, std::int64_t end, const WalkOptions& options) {
  // Local headers are followed ahead before the walk is let fetch: a chance hit on a
  // signature is not enough to make it read a long entry, two in a row almost never happen.
  for (int hop = 0; hop < kRecordEndHops; ++hop) {
    std::array<std::uint8_t, kLocalHeaderBytes> h{};
    switch (carve.peekAhead(end, std::span(h).first(4))) {
      case Carve::Peek::PastRange: return WalkStop::OutOfRange;
      case Carve::Peek::Unreadable: return WalkStop::End;
      case Carve::Peek::Read: break;
    }
    const std::uint32_t signature = le32(Bytes(h), 0);
    if (!isRecordSignature(signature)) return WalkStop::UnknownRecord;
    // Only a local header whose sizes are plain is followed further; anything else is left
    // for the walk to judge.
    if (signature != kLocalHeader || carve.peekAhead(end, h) != Carve::Peek::Read) return WalkStop::End;
    const std::optional<PlainLocalHeader> plain = plainLocalHeader(h);
    if (!plain) return WalkStop::End;
    // A chain of plain headers that runs past the bounds ends the walk there whatever its
    // data holds: said now, before the walk fetches (and holds) every byte up to them.
    if (plain->dataBytes > options.maxRecordBytes - plain->headerBytes) return WalkStop::RecordTooLong;
    end += plain->recordBytes();
    if (end > options.maxArchiveBytes) return WalkStop::RecordTooLong;
  }
  return WalkStop::End;
}

namespace {

// The stop a walk bounded at maxArchiveBytes comes to at the record at file offset pos, whose
// walk is known, with stoppedAt moved to where. Where the walk that failed went on over these
// records past this walk's bound, this one stops on the bound first. (Walking the records
// again to find out would make every lower candidate of a long chain read up to the bound.)
WalkStop stopFromKnown(const CarveMemory::Failure& known, std::int64_t pos, std::int64_t maxArchiveBytes, std::int64_t& stoppedAt) {
  if (pos + known.distance > maxArchiveBytes) {
    stoppedAt = std::max(pos, maxArchiveBytes);
    return WalkStop::RecordTooLong;
  }
  stoppedAt = pos + known.distance;
  return static_cast<WalkStop>(known.stop);
}

}  // namespace

WalkMemory::WalkMemory(Carve& carve, const WalkOptions& options)
    : carve_(carve),
      memory_(options.rememberAs != 0 ? carve.context().memory : nullptr),
      tag_(options.rememberAs),
      runsPastTag_(options.takesRunsPastFrom),
      keepsPartial_(options.keepsPartial),
      maxArchiveBytes_(options.maxArchiveBytes) {}

std::optional<WalkStop> WalkMemory::recall(std::int64_t pos, std::int64_t& stoppedAt) {
  if (memory_ == nullptr) return std::nullopt;
  const std::int64_t source = carve_.sourceOffsetOf(pos);
  if (source < 0) return std::nullopt;
  starts_.push_back(Start{pos, source, passed_});
  std::optional<CarveMemory::Failure> known = memory_->recall(tag_, source);
  recalledRecords_ = known ? known->records : 0;
  if (!known && runsPastTag_ != 0) {
    // The records counted there were passed under another walk's limits: not counted here.
    known = memory_->recall(runsPastTag_, source);
    if (known && static_cast<WalkStop>(known->stop) != WalkStop::OutOfRange) known.reset();
  }
  if (!known) return std::nullopt;
  return stopFromKnown(*known, pos, maxArchiveBytes_, stoppedAt);
}

void WalkMemory::teach(WalkStop stop, std::int64_t stoppedAt) {
  if (memory_ == nullptr) return;
  // A read that failed or memory that ran out says nothing about the records; a stop the
  // carver keeps a file for is no failure.
  const bool failure = stop != WalkStop::End && !(keepsPartial_ && stop == WalkStop::UnknownRecord) && !carve_.troubled();
  if (failure) {
    for (const Start& start : starts_)
      memory_->remember(tag_, start.source,
                        CarveMemory::Failure{static_cast<std::uint8_t>(stop), stoppedAt - start.pos, passed_ - start.passed + recalledRecords_});
  }
  starts_.clear();
}

namespace {

// Whether a walk that has a record ending at file offset `end` knows, from what is known of
// the walk from there, that the look at the records ahead would come to End. That walk
// passed the kRecordEndHops records the look follows, and they end before where it stopped,
// so every look finds what it found; and where that walk stopped is inside this walk's
// archive bound, so the look does not reach the bound either. (Past the bound the look
// would stop on it before this record is fetched, however long the record is.)
bool passesLookAhead(const CarveMemory::Failure& known, std::int64_t end, std::int64_t maxArchiveBytes) {
  return known.records >= kRecordEndHops && end + known.distance <= maxArchiveBytes;
}

}  // namespace

bool WalkMemory::passesRecordEnd(std::int64_t end) const {
  if (memory_ == nullptr) return false;
  const std::int64_t source = carve_.sourceOffsetAhead(end);
  if (source < 0) return false;
  const std::optional<CarveMemory::Failure> known = memory_->recall(tag_, source);
  return known && passesLookAhead(*known, end, maxArchiveBytes_);
}

std::optional<WalkStop> stopPastFirstRecord(CarveMemory& memory, std::uint8_t tag, std::int64_t startSource, std::int64_t end,
                                            std::int64_t endSource, std::int64_t maxArchiveBytes) {
  if (end <= 0 || end > maxArchiveBytes || memory.recall(tag, startSource)) return std::nullopt;
  const std::optional<CarveMemory::Failure> known = memory.recall(tag, endSource);
  if (!known) return std::nullopt;
  // The look ahead comes to End, and the walk fetches the record and stops at `end`. Or,
  // where that walk stopped on a bound, the look or the walk stops on this walk's bound: on
  // RecordTooLong either way, only remembered as if the look had not come to it first.
  const bool onBound = known->records >= kRecordEndHops && static_cast<WalkStop>(known->stop) == WalkStop::RecordTooLong;
  if (!passesLookAhead(*known, end, maxArchiveBytes) && !onBound) return std::nullopt;
  // As WalkMemory::recall at `end`, then WalkMemory::teach for the two records begun.
  std::int64_t stoppedAt = 0;
  const WalkStop stop = stopFromKnown(*known, end, maxArchiveBytes, stoppedAt);
  memory.remember(tag, startSource, CarveMemory::Failure{static_cast<std::uint8_t>(stop), stoppedAt, known->records + 1});
  memory.remember(tag, endSource, CarveMemory::Failure{static_cast<std::uint8_t>(stop), stoppedAt - end, known->records});
  return stop;
}

}  // namespace vellumark::zip
