#pragma once
// The one read routine that the scan and the carvers share: any byte range of the scan
// range, through a 64 KiB read-ahead window, so forward walks touch the source in 64 KiB
// blocks.

#include <cstdint>
#include <span>

#include "scan/scan_state.h"

namespace vellumark {

// Copies dest.size() bytes of the source at byte offset into dest. Returns the number of
// bytes NOT delivered: 0 means all of dest is filled; n > 0 means only the first
// dest.size() - n bytes are. Bytes at or past (scanEndSector + 1) * bytesPerSector, bytes
// the source could not read, and bytes past the end of the source are never delivered.
[[nodiscard]] std::size_t readSource(ScanState& state, std::span<std::uint8_t> dest, std::int64_t offset);

}  // namespace vellumark
