#pragma once
// The one table from type code to carver. The scan driver knows no format: it asks here.

#include <cstdint>
#include <span>

#include "carvers/carve_context.h"

namespace vellumark {

// Carver for a candidate of this code in the second pass; null when none acts on it.
[[nodiscard]] CarverFn mainPassCarver(std::uint8_t code);

// Carver for a candidate of this code in the final sweep; null when none acts on it.
[[nodiscard]] CarverFn finalSweepCarver(std::uint8_t code);

// Carver for a candidate of this code in the pass before the second one, which claims only
// files whose own checks confirm them whole; null when none acts on it.
[[nodiscard]] CarverFn confirmedPassCarver(std::uint8_t code);

// Where the carvers of a candidate of this code, whose first sector is `sector`, first look
// beyond what they read: a byte offset from the candidate's start, or -1 when nothing in the
// sector says. The scan keeps the few bytes there as it passes them, so the look costs no
// read of its own later.
[[nodiscard]] std::int64_t firstLookAhead(std::uint8_t code, std::span<const std::uint8_t> sector);

// What the first pass keeps of a candidate of this code, whose first sector is `sector`, for
// its carvers (a code of the format's own, handed to them as CarveContext::note); 0 for
// nothing. `following` holds the bytes after the sector that the pass has at hand (none
// where its read ends), of which a format looks at the few it needs.
[[nodiscard]] std::uint64_t candidateNote(std::uint8_t code, std::span<const std::uint8_t> sector,
                                          std::span<const std::uint8_t> following);

// Whether some carver's look far ahead may be after this sector: the compound-file carver
// looks for FAT sectors among the clusters ahead of a header. Those the first pass found no
// such sector in are passed over unread.
[[nodiscard]] bool wantedByLooks(std::span<const std::uint8_t> sector);

}  // namespace vellumark
