#pragma once
// 7-Zip archives: the 32-byte signature header. Its first eight bytes are the magic and the
// format version (major 0; minor 2 to 4: 7-Zip has written 0.4 for years), then come the
// start header's CRC, the offset of the next header (counted from the end of the signature
// header) and its size.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vellumark::sevenzip {

inline constexpr std::array<std::uint8_t, 6> kMagic{0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C};  // "7z" BC AF 27 1C
inline constexpr std::size_t kMajorVersionOffset = 6;
inline constexpr std::size_t kMinorVersionOffset = 7;
inline constexpr std::uint8_t kMajorVersion = 0;
inline constexpr std::uint8_t kMinorVersionLowest = 2;
inline constexpr std::uint8_t kMinorVersionHighest = 4;
inline constexpr std::size_t kNextHeaderOffsetOffset = 12;
inline constexpr std::size_t kNextHeaderSizeOffset = 20;
inline constexpr std::int64_t kSignatureHeaderBytes = 32;
// A longer archive is taken for garbage.
inline constexpr std::int64_t kMaxArchiveBytes = 0x500000000;  // 20 GiB

// True when the bytes begin with the magic and a format version this tracer knows.
[[nodiscard]] constexpr bool isSignatureHeader(std::span<const std::uint8_t> b) {
  if (b.size() < 8) return false;
  for (std::size_t i = 0; i < kMagic.size(); ++i)
    if (b[i] != kMagic[i]) return false;
  const std::uint8_t minor = b[kMinorVersionOffset];
  return b[kMajorVersionOffset] == kMajorVersion && minor >= kMinorVersionLowest && minor <= kMinorVersionHighest;
}

}  // namespace vellumark::sevenzip
