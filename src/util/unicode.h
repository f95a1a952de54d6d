#pragma once
// Conversions between UTF-8 and UTF-16 for text taken from documents. Malformed input never
// fails: a lone surrogate or an invalid UTF-8 sequence becomes U+FFFD.

#include <string>
#include <string_view>

namespace vellumark {

[[nodiscard]] std::string toUtf8(std::u16string_view text);
[[nodiscard]] std::u16string fromUtf8(std::string_view text);

// The longest prefix of valid UTF-8 text that is at most maxBytes long (never a part of a
// character).
[[nodiscard]] std::string_view utf8Prefix(std::string_view text, std::size_t maxBytes);

}  // namespace vellumark
