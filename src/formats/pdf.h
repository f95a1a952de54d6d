#pragma once
// PDF documents: the header that opens the file.

#include <string_view>

namespace vellumark::pdf {

inline constexpr std::string_view kHeader = "%PDF-";

}  // namespace vellumark::pdf
