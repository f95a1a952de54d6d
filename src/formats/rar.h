#pragma once
// RAR archives (format 1.5 to 4.x): the marker block that starts every archive.

#include <array>
#include <cstdint>

namespace vellumark::rar {

inline constexpr std::array<std::uint8_t, 7> kMarker{0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};  // "Rar!" 1A 07 00

}  // namespace vellumark::rar
