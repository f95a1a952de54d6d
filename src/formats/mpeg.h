#pragma once
// MPEG program streams and transport streams: start codes, pack and packet layout, the
// 192-byte units of time-stamped transport streams, and the clock limits the classifier and
// the MPEG carvers apply.

#include <cstddef>
#include <cstdint>

namespace vellumark::mpeg {

// Program stream. Every unit begins with the prefix 00 00 01 and a stream identifier.
inline constexpr std::uint32_t kStartCodePrefix = 0x000001;
inline constexpr std::uint32_t kPackStartCode = 0x000001BA;
inline constexpr std::uint8_t kPackId = 0xBA;
inline constexpr std::uint8_t kProgramEndId = 0xB9;  // 00 00 01 B9: no length, nothing follows
inline constexpr std::size_t kProgramEndBytes = 4;
// A pack header is 12 bytes in MPEG-1; the byte after the start code tells the versions
// apart (top bits 01 for MPEG-2, 001 for MPEG-1).
inline constexpr std::size_t kPackHeaderBytes = 12;
inline constexpr std::size_t kPackFieldsOffset = 4;
// Any other unit: a 16-bit big-endian length of what follows its 6-byte header.
inline constexpr std::size_t kPacketLengthOffset = 4;
inline constexpr std::size_t kPacketHeaderBytes = 6;

[[nodiscard]] constexpr bool isMpeg1PackByte(std::uint8_t b) { return (b >> 5) == 0x1; }
[[nodiscard]] constexpr bool isMpeg2PackByte(std::uint8_t b) { return (b >> 6) == 0x1; }

// An MPEG-2 pack whose clock is this far into its stream is no stream start.
inline constexpr std::int64_t kMpeg2EarlyClockLimit = 320'000;
// Where a pack starts on a cluster boundary, its clock (90 kHz) may have moved on by at
// most this much since the previous pack, or a different stream begins there.
inline constexpr std::int64_t kMaxPackClockStep = 800'000;

// Transport stream: 188-byte packets starting with the sync byte; in the 192-byte form each
// is preceded by a 4-byte big-endian prefix whose low 30 bits are an arrival time stamp.
inline constexpr std::uint8_t kSyncByte = 0x47;
inline constexpr std::size_t kPacketBytes = 188;
inline constexpr std::size_t kTimestampedUnitBytes = 192;
inline constexpr std::size_t kUnitSyncOffset = 4;
inline constexpr std::uint32_t kArrivalTimeMask = 0x3FFFFFFF;
// Largest step of the arrival time stamp (27 MHz) between units of one stream.
inline constexpr std::uint32_t kMaxArrivalStep = 3'200'000;

}  // namespace vellumark::mpeg
