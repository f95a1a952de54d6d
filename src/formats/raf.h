#pragma once
// Fujifilm RAF camera raw files: the signature and the header fields that give the raw
// data blocks, which the RAF carver claims without reading.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vellumark::raf {

inline constexpr std::string_view kSignature = "FUJIFILMCCD-RAW ";

// u32 big-endian header fields.
inline constexpr std::size_t kRawOffsetOffset = 100;
inline constexpr std::size_t kRawLengthOffset = 104;
inline constexpr std::size_t kSecondBlockMarkerOffset = 84;
inline constexpr std::uint32_t kSecondBlockMarker = 148;
inline constexpr std::size_t kSecondOffsetOffset = 128;
inline constexpr std::size_t kSecondLengthOffset = 132;

inline constexpr std::int64_t kMaxFileBytes = 209'715'200;  // 200 MiB

}  // namespace vellumark::raf
