#pragma once
// Sector numbers typed by a person, in the range boxes, the hex view's sector box or on the
// command line.

#include <cstdint>
#include <string_view>

namespace vellumark {

// Signed 64-bit decimal; -1 when the text is not a number.
[[nodiscard]] std::int64_t parseSectorNumber(std::string_view text);

}  // namespace vellumark
