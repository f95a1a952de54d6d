#pragma once
// Two ways the ZIP record walk avoids reading what cannot become a file: it looks where a
// record claims to end before it fetches the record, and it remembers where walks of
// earlier candidates failed, so that a lower candidate whose records run into them stops
// there at once.

#include <cstdint>
#include <optional>
#include <vector>

#include "carvers/zip_walk.h"

namespace vellumark {

class Carve;
class CarveMemory;

namespace zip {

// True for the signatures of the records the walk knows.
[[nodiscard]] bool isRecordSignature(std::uint32_t signature);

// A local header whose entry's size it gives itself (no data descriptor, no ZIP64 sizes): the
// header's length with its name and extra field, and its data's. nullopt for any other
// header, or for fewer bytes than a header's fixed part.
struct PlainLocalHeader {
  std::int64_t headerBytes = 0;
  std::int64_t dataBytes = 0;
  [[nodiscard]] std::int64_t recordBytes() const { return headerBytes + dataBytes; }
};
[[nodiscard]] std::optional<PlainLocalHeader> plainLocalHeader(Bytes header);

// Local headers that checkRecordEnd follows ahead of the walk, at most.
inline constexpr int kRecordEndHops = 16;

// Whether a record may begin at file offset `end`, which the walk has not fetched yet, and
// the local headers that follow from there (up to kRecordEndHops, as far as their sizes are
// plain): End
// when the walk may go on (or the bytes cannot be looked at: the walk then finds out by
// fetching), UnknownRecord when the bytes at one of those places are no ZIP record,
// OutOfRange when one lies past the scan range, RecordTooLong when one of those headers
// gives an entry past the record or archive bound. Just what the walk would meet there.
[[nodiscard]] WalkStop checkRecordEnd(Carve& carve, std::int64_t end, const WalkOptions& options);

// A walk remembered under `tag` (checking record ends, with the default record bound and
// this archive bound) whose first record is a plain local header, held in its first sector,
// with its entry ending at file offset `end`, at source byte offset endSource, all decided
// without a read: when what the memory knows of the record at `end` tells where the walk
// stops (see WalkMemory::passesRecordEnd), that stop is taught as the walk would teach it,
// and returned. nullopt when the walk has to be run. The walk would fetch the record: the
// caller makes sure that its reads could not have failed, nor its memory run out.
[[nodiscard]] std::optional<WalkStop> stopPastFirstRecord(CarveMemory& memory, std::uint8_t tag, std::int64_t startSource,
                                                          std::int64_t end, std::int64_t endSource,
                                                          std::int64_t maxArchiveBytes);

// One walk's use of the carve memory: the records it began are noted, and when it fails,
// each of them is remembered as a place from which walks fail in this way.
class WalkMemory {
 public:
  WalkMemory(Carve& carve, const WalkOptions& options);
  // Called at the record at file offset pos (fetched): the stop a walk from there is known
  // to come to, with stoppedAt moved to where it comes to it; nullopt when not known.
  [[nodiscard]] std::optional<WalkStop> recall(std::int64_t pos, std::int64_t& stoppedAt);
  // The walk has passed the record it began last.
  void passed() { ++passed_; }
  // True when checkRecordEnd(end) is known to come to End: an earlier walk passed the
  // kRecordEndHops records from there, and stopped inside this walk's archive bound. Nothing
  // is read.
  [[nodiscard]] bool passesRecordEnd(std::int64_t end) const;
  // The walk stopped: a failure that the bytes alone explain is remembered.
  void teach(WalkStop stop, std::int64_t stoppedAt);

 private:
  struct Start {
    std::int64_t pos;       // file offset of the record
    std::int64_t source;    // its source byte offset
    std::uint32_t passed;   // records the walk had passed before it
  };
  Carve& carve_;
  CarveMemory* memory_;
  std::uint8_t tag_;
  std::uint8_t runsPastTag_;
  bool keepsPartial_;
  std::int64_t maxArchiveBytes_;
  std::vector<Start> starts_;
  std::uint32_t passed_ = 0;
  std::uint32_t recalledRecords_ = 0;  // those the walk that stopped at the last start passed
};

}  // namespace zip
}  // namespace vellumark
