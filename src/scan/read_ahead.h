#pragma once
// The one read routine that the scan and the carvers share: any byte range of the scan
// range, through a 64 KiB read-ahead window, so forward walks touch the source in 64 KiB
// blocks.

#include <cstdint>
#include <span>
#include <vector>

#include "scan/scan_state.h"

namespace vellumark {

// Copies dest.size() bytes of the source at byte offset into dest. Returns the number of
// bytes NOT delivered: 0 means all of dest is filled; n > 0 means only the first
// dest.size() - n bytes are. Bytes at or past (scanEndSector + 1) * bytesPerSector, bytes
// the source could not read, and bytes past the end of the source are never delivered.
// A refill starts the window at the requested offset, except for a request that lies wholly
// within the 64 KiB before the window: the new window then ends 8 KiB past where the old
// one began (or where the request starts, when that lies further down).
[[nodiscard]] std::size_t readSource(ScanState& state, std::span<std::uint8_t> dest, std::int64_t offset);

// Reads the sectors of a range one after another, as the first pass does: through the
// read-ahead window, and directly where the window cannot be filled. A failed window read
// means a bad sector somewhere in the next 64 KiB: the sectors up to it are read one by one,
// and the window takes over again just past it, so one bad spot does not make every sector
// before it fail a large read.
//
// Within a window that failed, every sector is read once on its own, also those the walk
// steps over (one sector a cluster), so each unreadable sector there is found and recorded
// in state.unreadableSectors. Sectors must be asked for in increasing order.
class SectorWalkReader {
 public:
  explicit SectorWalkReader(ScanState& state) : state_(state) {}
  // Reads sector s into dest (bytesPerSector bytes). False when it cannot be read at all.
  [[nodiscard]] bool read(std::int64_t s, std::span<std::uint8_t> dest);
  // Reads the rest of a failed window that the walk did not reach.
  void finish();

 private:
  void probeUpTo(std::int64_t offset);
  ScanState& state_;
  std::int64_t directUntil_ = -1;  // byte offset up to which sectors are read directly
  std::int64_t probedUpTo_ = -1;   // byte offset of the next sector of that stretch to read
  std::vector<std::uint8_t> scratch_;
};

}  // namespace vellumark
