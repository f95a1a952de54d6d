#pragma once
// 7-Zip archives: the signature header, whose first eight bytes are the magic and the format
// version (major 0, minor 3 in the archives the classifier takes).

#include <array>
#include <cstddef>
#include <cstdint>

namespace vellumark::sevenzip {

inline constexpr std::array<std::uint8_t, 6> kMagic{0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C};  // "7z" BC AF 27 1C
inline constexpr std::size_t kMajorVersionOffset = 6;
inline constexpr std::size_t kMinorVersionOffset = 7;
inline constexpr std::uint8_t kMajorVersion = 0;
inline constexpr std::uint8_t kMinorVersion = 3;

}  // namespace vellumark::sevenzip
