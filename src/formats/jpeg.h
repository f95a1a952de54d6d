#pragma once
// JPEG images: the start-of-image signature the classifier looks for, the markers the JPEG
// carver walks and the limit on how far it searches for the end of the image.

#include <array>
#include <cstddef>
#include <cstdint>

namespace vellumark::jpeg {

// Start of image (FF D8) and the prefix of the first marker.
inline constexpr std::array<std::uint8_t, 3> kSignature{0xFF, 0xD8, 0xFF};
inline constexpr std::size_t kFirstMarkerCodeOffset = 3;

inline constexpr std::uint8_t kMarkerPrefix = 0xFF;
inline constexpr std::uint8_t kMarkerApp0 = 0xE0;
inline constexpr std::uint8_t kMarkerApp1 = 0xE1;
inline constexpr std::uint8_t kMarkerStartOfScan = 0xDA;
inline constexpr std::uint8_t kMarkerEndOfImage = 0xD9;

// A marker segment: prefix, code, then a 16-bit big-endian length that counts itself.
inline constexpr std::size_t kMarkerHeaderBytes = 4;
inline constexpr std::uint32_t kSegmentLengthFieldBytes = 2;

// The end-of-image search gives up once it has looked this far into the file.
inline constexpr std::int64_t kMaxSearchBytes = 33'554'432;  // 32 MiB

}  // namespace vellumark::jpeg
