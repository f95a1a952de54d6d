#pragma once
// Windows bitmaps: the signature and header fields read by the classifier and the bitmap
// carver, and the file sizes the carver believes.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vellumark::bmp {

inline constexpr std::string_view kSignature = "BM";
inline constexpr std::size_t kFileSizeOffset = 2;   // u32 LE: the whole file
inline constexpr std::size_t kReservedOffset = 6;   // u32 LE: two reserved words, both 0

// A declared size outside these bounds is not trusted: only the first sector is claimed.
inline constexpr std::uint32_t kMinFileBytes = 58;
inline constexpr std::uint32_t kMaxFileBytes = 104'857'600;  // 100 MiB

}  // namespace vellumark::bmp
