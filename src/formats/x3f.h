#pragma once
// Sigma X3F camera raw files: the signature and the directory pointer in the file's last
// four bytes that the X3F carver looks for.

#include <cstdint>
#include <string_view>

namespace vellumark::x3f {

inline constexpr std::string_view kSignature = "FOVb";
inline constexpr std::string_view kDirectorySignature = "SECd";

// The pointer at position p points back at the directory, which holds a 12-byte header and
// 12-byte entries: p minus the directory's position is a multiple of 12 in (12, 240).
inline constexpr std::uint32_t kDirectoryUnitBytes = 12;
inline constexpr std::uint32_t kMaxDirectoryBytes = 240;

inline constexpr std::int64_t kMaxFileBytes = 209'715'200;  // 200 MiB

}  // namespace vellumark::x3f
