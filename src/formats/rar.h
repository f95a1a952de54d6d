#pragma once
// RAR archives (format 1.5 to 4.x): the marker block that starts every archive.

#include <array>
#include <cstddef>
#include <cstdint>

namespace vellumark::rar {

inline constexpr std::array<std::uint8_t, 7> kMarker{0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};  // "Rar!" 1A 07 00

// Block header: CRC (le16), type (u8), flags (le16), header size (le16); with flag 0x8000 a
// le32 "added size" (the packed data that follows the header) comes next.
inline constexpr std::size_t kBlockHeaderBytes = 7;
inline constexpr std::size_t kTypeOffset = 2;
inline constexpr std::size_t kFlagsOffset = 3;
inline constexpr std::size_t kHeaderSizeOffset = 5;
inline constexpr std::size_t kAddedSizeOffset = 7;
inline constexpr std::uint16_t kHasAddedSize = 0x8000;

// Block types from the archive header to the end of the archive.
inline constexpr std::uint8_t kFirstBlockType = 0x73;
inline constexpr std::uint8_t kEndOfArchive = 0x7B;

}  // namespace vellumark::rar
