#pragma once
// Microsoft cabinet files: the "MSCF" header and its format version.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vellumark::cab {

inline constexpr std::string_view kSignature = "MSCF";
inline constexpr std::size_t kVersionOffset = 24;     // minor byte, then major byte
inline constexpr std::uint16_t kVersion = 0x0103;     // 1.3, read little-endian
inline constexpr std::size_t kCabinetSizeOffset = 8;  // le32: the whole cabinet, header included

}  // namespace vellumark::cab
