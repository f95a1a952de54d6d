#pragma once
// What begins in a sector, from its first bytes. Pure: no I/O, no state, no allocation.

#include <cstdint>
#include <span>

namespace vellumark {

// Type code (see type_codes.h) of the sector held in `sector` (exactly bytesPerSector bytes,
// at least 512). Bytes past the span read as 0.
[[nodiscard]] std::uint8_t classifySector(std::span<const std::uint8_t> sector);

// System clock reference (90 kHz units) of the MPEG-1 / MPEG-2 pack header at the
// start of `sector`, read from bytes 4..11. -1 when the header's three marker bits are not
// all set: then it is no real pack header, and the classifier gives it no MPEG code.
[[nodiscard]] std::int64_t mpeg1PackClock(std::span<const std::uint8_t> sector);
[[nodiscard]] std::int64_t mpeg2PackClock(std::span<const std::uint8_t> sector);

// False for bytes that cannot stand in a FAT short name (controls, 0xFF, \ / : * ? " < > |).
[[nodiscard]] bool isNameChar(std::uint8_t c);

}  // namespace vellumark
