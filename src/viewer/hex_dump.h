#pragma once
// A sector as text: a header line and one line per 32 bytes, each 117 characters.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vellumark {

inline constexpr std::string_view kHexDumpHeader =
    "     0 1  2 3  4 5  6 7  8 9  A B  C D  E F  0 1  2 3  4 5  6 7  8 9  A B  C D  E F  "
    "0123456789ABCDEF0123456789ABCDEF";

// The header followed by the lines of `sector`, whose size is a multiple of 32 bytes.
[[nodiscard]] std::vector<std::string> hexDumpLines(std::span<const std::uint8_t> sector);

}  // namespace vellumark
