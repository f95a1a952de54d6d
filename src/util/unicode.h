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

// Bytes of unknown encoding (a file name) as valid UTF-8 for a report: valid UTF-8 stays as
// it is, and each byte that is not part of a valid sequence is taken as the Latin-1
// character of that value, so that the name of a file written on an older system still reads
// right. Control characters other than tab become U+FFFD when forXml is set (XML 1.0 can
// carry none of them).
[[nodiscard]] std::string displayUtf8(std::string_view bytes, bool forXml = false);

}  // namespace vellumark
