#include "util/unicode.h"

#include <cstdint>

namespace vellumark {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

void appendUtf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out.push_back(static_cast<char16_t>(c));
    return;
  }
  c -= 0x10000;
  out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
  out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
}

bool isHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Length of the UTF-8 sequence starting at text[i] when it is valid (shortest form, no
// surrogates, at most U+10FFFF), else 0; the decoded character in c.
std::size_t decodeAt(std::string_view text, std::size_t i, char32_t& c) {
  const auto b0 = static_cast<std::uint8_t>(text[i]);
  if (b0 < 0x80) {
    c = b0;
    return 1;
  }
  std::size_t n = 0;
  if ((b0 & 0xE0) == 0xC0) n = 2, c = b0 & 0x1F;
  else if ((b0 & 0xF0) == 0xE0) n = 3, c = b0 & 0x0F;
  else if ((b0 & 0xF8) == 0xF0) n = 4, c = b0 & 0x07;
  else return 0;
  if (text.size() - i < n) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    const auto b = static_cast<std::uint8_t>(text[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    c = (c << 6) | (b & 0x3F);
  }
  static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kMin[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  return n;
}

}  // namespace

std::string toUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (isHigh(c) && i + 1 < text.size() && isLow(text[i + 1])) {
      appendUtf8(out, 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (isHigh(c) || isLow(c)) {
      appendUtf8(out, kReplacement);
    } else {
      appendUtf8(out, c);
    }
  }
  return out;
}

std::u16string fromUtf8(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t c = 0;
    const std::size_t n = decodeAt(text, i, c);
    appendUtf16(out, n == 0 ? kReplacement : c);
    i += n == 0 ? 1 : n;
  }
  return out;
}

std::string_view utf8Prefix(std::string_view text, std::size_t maxBytes) {
  std::size_t end = 0;
  while (end < text.size()) {
    char32_t c = 0;
    const std::size_t n = decodeAt(text, end, c);
    if (n == 0 || end + n > maxBytes) break;
    end += n;
  }
  return text.substr(0, end);
}

std::string displayUtf8(std::string_view bytes, bool forXml) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t at = 0;
  while (at < bytes.size()) {
    char32_t c = 0;
    std::size_t n = decodeAt(bytes, at, c);
    if (n == 0) {
      c = static_cast<unsigned char>(bytes[at]);
      n = 1;
    }
    if (forXml && ((c < 0x20 && c != '\t') || (c >= 0x7F && c < 0xA0))) c = kReplacement;
    appendUtf8(out, c);
    at += n;
  }
  return out;
}

}  // namespace vellumark
