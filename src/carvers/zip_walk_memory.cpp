#include "carvers/zip_walk_memory.h"

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

WalkStop checkRecordEnd(Carve& carve, std::int64_t end) {
  std::array<std::uint8_t, 4> signature{};
  switch (carve.peekAhead(end, signature)) {
    case Carve::Peek::PastRange: return WalkStop::OutOfRange;
    case Carve::Peek::Unreadable: return WalkStop::End;
    case Carve::Peek::Read: break;
  }
  return isRecordSignature(le32(Bytes(signature), 0)) ? WalkStop::End : WalkStop::UnknownRecord;
}

WalkMemory::WalkMemory(Carve& carve, const WalkOptions& options)
    : carve_(carve),
      memory_(options.rememberAs != 0 ? carve.context().memory : nullptr),
      tag_(options.rememberAs),
      keepsPartial_(options.keepsPartial),
      maxArchiveBytes_(options.maxArchiveBytes) {}

std::optional<WalkStop> WalkMemory::recall(std::int64_t pos, std::int64_t& stoppedAt) {
  if (memory_ == nullptr) return std::nullopt;
  const std::int64_t source = carve_.sourceOffsetOf(pos);
  if (source < 0) return std::nullopt;
  starts_.push_back(Start{pos, source});
  const std::optional<CarveMemory::Failure> known = memory_->recall(tag_, source);
  // Further from the start than the walk that failed, the archive could grow too long first.
  if (!known || pos + known->distance > maxArchiveBytes_) return std::nullopt;
  stoppedAt = pos + known->distance;
  return static_cast<WalkStop>(known->stop);
}

void WalkMemory::teach(WalkStop stop, std::int64_t stoppedAt) {
  if (memory_ == nullptr) return;
  // A read that failed or memory that ran out says nothing about the records; a stop the
  // carver keeps a file for is no failure.
  const bool failure = stop != WalkStop::End && !(keepsPartial_ && stop == WalkStop::UnknownRecord) && !carve_.troubled();
  if (failure) {
    for (const Start& start : starts_)
      memory_->remember(tag_, start.source, CarveMemory::Failure{static_cast<std::uint8_t>(stop), stoppedAt - start.pos});
  }
  starts_.clear();
}

}  // namespace vellumark::zip
