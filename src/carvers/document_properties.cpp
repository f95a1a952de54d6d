#include "carvers/document_properties.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

#include "platform/code_page.h"
#include "util/unicode.h"

namespace vellumark {

namespace {

// Property set stream: a header with the sections' format ids and offsets; each section a
// size, a property count and (id, offset) pairs, offsets from the section's start.
constexpr std::uint16_t kByteOrder = 0xFFFE;
constexpr std::size_t kSectionCountOffset = 24;
constexpr std::size_t kFirstSectionOffset = 28;  // format id (16 bytes), then the offset
constexpr std::array<std::uint8_t, 16> kSummaryFormatId{0xE0, 0x85, 0x9F, 0xF2, 0xF9, 0x4F, 0x68, 0x10,
                                                        0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9};
constexpr std::uint32_t kPidCodePage = 1;
constexpr std::uint32_t kPidTitle = 2;
constexpr std::uint32_t kPidAuthor = 4;
constexpr std::uint32_t kPidLastSaved = 13;
constexpr std::uint16_t kVtI2 = 2;
constexpr std::uint16_t kVtLpStr = 30;
constexpr std::uint16_t kVtLpWStr = 31;
constexpr std::uint16_t kVtFileTime = 64;
// No title or author worth naming a file after is longer.
constexpr std::uint32_t kMaxStringBytes = 64 * 1024;

constexpr std::int64_t kFileTimeUnitsPerSecond = 10'000'000;
constexpr std::int64_t kSecondsFrom1601To1970 = 11'644'473'600;

// A string without its terminator and anything after it.
std::u16string untilNul(std::u16string s) {
  if (const auto nul = s.find(u'\0'); nul != std::u16string::npos) s.resize(nul);
  return s;
}

std::optional<std::u16string> stringProperty(Bytes section, std::size_t at, std::uint16_t codePage) {
  const std::uint16_t type = le16(section, at);
  const std::uint32_t count = le32(section, at + 4);
  if (count > kMaxStringBytes) return std::nullopt;
  if (type == kVtLpWStr) {
    if (!fits(section, at + 8, 2 * std::size_t{count})) return std::nullopt;
    std::u16string s;
    for (std::size_t i = 0; i < count; ++i) s.push_back(static_cast<char16_t>(le16(section, at + 8 + 2 * i)));
    return untilNul(std::move(s));
  }
  if (type != kVtLpStr || !fits(section, at + 8, count)) return std::nullopt;
  const Bytes raw = section.subspan(at + 8, count);
  if (codePage == 1200) {  // the "8-bit" strings are UTF-16 in such a set
    std::u16string s;
    for (std::size_t i = 0; i + 1 < raw.size(); i += 2) s.push_back(static_cast<char16_t>(le16(raw, i)));
    return untilNul(std::move(s));
  }
  std::size_t length = 0;
  while (length < raw.size() && raw[length] != 0) ++length;
  const Bytes text = raw.first(length);
  if (auto decoded = platform::decodeCodePage(text, codePage == 0 ? 1252 : codePage)) return decoded;
  std::u16string latin;  // unknown code page or invalid bytes: the bytes as they stand
  for (std::uint8_t b : text) latin.push_back(b);
  return latin;
}

}  // namespace

std::optional<std::int64_t> unixTimeOfFileTime(std::uint64_t fileTime) {
  if (fileTime == 0 || fileTime > 0x7FFFFFFFFFFFFFFFull) return std::nullopt;
  return static_cast<std::int64_t>(fileTime) / kFileTimeUnitsPerSecond - kSecondsFrom1601To1970;
}

std::optional<DocumentProperties> readSummaryInformation(Bytes stream) {
  if (le16(stream, 0) != kByteOrder || le32(stream, kSectionCountOffset) == 0) return std::nullopt;
  if (!fits(stream, kFirstSectionOffset, 20) ||
      !std::equal(kSummaryFormatId.begin(), kSummaryFormatId.end(), stream.begin() + kFirstSectionOffset))
    return std::nullopt;
  const std::uint32_t sectionAt = le32(stream, kFirstSectionOffset + 16);
  if (!fits(stream, sectionAt, 8)) return std::nullopt;
  const std::uint32_t declared = le32(stream, sectionAt);
  const Bytes section = stream.subspan(sectionAt, std::min<std::size_t>(declared, stream.size() - sectionAt));
  const std::uint32_t count = le32(section, 4);
  if (!fits(section, 8, 8 * std::size_t{count})) return std::nullopt;

  DocumentProperties p;
  // The code page first: the strings before it in the list are written in it too.
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t id = le32(section, 8 + 8 * i);
    const std::uint32_t at = le32(section, 12 + 8 * i);
    if (id == kPidCodePage && le16(section, at) == kVtI2 && fits(section, at, 6)) p.codePage = le16(section, at + 4);
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t id = le32(section, 8 + 8 * i);
    const std::uint32_t at = le32(section, 12 + 8 * i);
    if (id == kPidTitle || id == kPidAuthor) {
      if (auto s = stringProperty(section, at, p.codePage)) (id == kPidTitle ? p.title : p.author) = std::move(*s);
    } else if (id == kPidLastSaved && le16(section, at) == kVtFileTime && fits(section, at, 12)) {
      p.lastSaved = unixTimeOfFileTime(le64(section, at + 4));
    }
  }
  return p;
}

DocumentProperties compoundFileProperties(Bytes file, const cfb::CompoundFile& cf) {
  const cfb::DirEntry* entry = cf.stream("\005SummaryInformation");
  if (entry == nullptr) return {};
  const auto stream = cfb::readStream(file, cf.header, cf.fat, cf.entries, *entry);
  if (!stream) return {};
  return readSummaryInformation(*stream).value_or(DocumentProperties{});
}

namespace {

std::string decodeEntities(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::size_t semi = text[i] == '&' ? text.find(';', i) : std::string_view::npos;
    if (semi == std::string_view::npos || semi - i > 10) {
      out.push_back(text[i]);
      continue;
    }
    const std::string_view name = text.substr(i + 1, semi - i - 1);
    std::u16string one;
    if (name == "amp") out += '&';
    else if (name == "lt") out += '<';
    else if (name == "gt") out += '>';
    else if (name == "quot") out += '"';
    else if (name == "apos") out += '\'';
    else if (name.size() > 1 && name[0] == '#') {
      const bool hex = name[1] == 'x' || name[1] == 'X';
      std::uint32_t c = 0;
      bool ok = name.size() > (hex ? 2u : 1u);
      for (char ch : name.substr(hex ? 2 : 1)) {
        const int d = (ch >= '0' && ch <= '9') ? ch - '0'
                      : hex && (ch | 0x20) >= 'a' && (ch | 0x20) <= 'f' ? (ch | 0x20) - 'a' + 10 : -1;
        if (d < 0 || c > 0x10FFFF) ok = false;
        else c = c * (hex ? 16 : 10) + static_cast<std::uint32_t>(d);
      }
      if (!ok || c == 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
      if (c >= 0x10000) one = {static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)), static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF))};
      else one = {static_cast<char16_t>(c)};
      out += toUtf8(one);
    } else {
      out.append(text.substr(i, semi - i + 1));
    }
    i = semi;
  }
  return out;
}

// The text of the first element whose name, without its namespace prefix, is localName
// (and whose prefix is `prefix`, when the element has one); nullopt when there is none.
std::optional<std::string> elementText(std::string_view xml, std::string_view prefix, std::string_view localName) {
  std::size_t at = 0;
  while ((at = xml.find('<', at)) != std::string_view::npos) {
    ++at;
    std::size_t nameEnd = at;
    while (nameEnd < xml.size() && xml[nameEnd] != '>' && xml[nameEnd] != '/' && xml[nameEnd] != ' ' &&
           xml[nameEnd] != '\t' && xml[nameEnd] != '\r' && xml[nameEnd] != '\n')
      ++nameEnd;
    const std::string_view qname = xml.substr(at, nameEnd - at);
    const std::size_t colon = qname.find(':');
    const std::string_view local = colon == std::string_view::npos ? qname : qname.substr(colon + 1);
    const std::string_view pfx = colon == std::string_view::npos ? std::string_view{} : qname.substr(0, colon);
    if (local != localName || (!pfx.empty() && pfx != prefix)) continue;
    const std::size_t close = xml.find('>', nameEnd);
    if (close == std::string_view::npos) return std::nullopt;
    if (xml[close - 1] == '/') return std::string{};
    const std::size_t end = xml.find("</", close);
    if (end == std::string_view::npos) return std::nullopt;
    return decodeEntities(xml.substr(close + 1, end - close - 1));
  }
  return std::nullopt;
}

bool digits(std::string_view s, std::size_t at, std::size_t n, int& value) {
  if (at + n > s.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    value = value * 10 + (s[i] - '0');
  }
  return true;
}

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
std::int64_t daysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return static_cast<std::int64_t>(era) * 146097 + doe - 719468;
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n')) s.remove_suffix(1);
  return s;
}

}  // namespace

std::optional<std::int64_t> unixTimeOfW3cDate(std::string_view text) {
  const std::string_view s = trimmed(text);
  int y = 0, mo = 1, d = 1, h = 0, mi = 0, sec = 0;
  if (!digits(s, 0, 4, y)) return std::nullopt;
  std::size_t at = 4;
  if (at < s.size()) {
    if (s[at] != '-' || !digits(s, at + 1, 2, mo)) return std::nullopt;
    at += 3;
  }
  if (at < s.size()) {
    if (s[at] != '-' || !digits(s, at + 1, 2, d)) return std::nullopt;
    at += 3;
  }
  std::int64_t offset = 0;
  if (at < s.size()) {
    if (s[at] != 'T' || !digits(s, at + 1, 2, h) || at + 3 >= s.size() || s[at + 3] != ':' || !digits(s, at + 4, 2, mi))
      return std::nullopt;
    at += 6;
    if (at < s.size() && s[at] == ':') {
      if (!digits(s, at + 1, 2, sec)) return std::nullopt;
      at += 3;
      if (at < s.size() && s[at] == '.') {
        ++at;
        while (at < s.size() && s[at] >= '0' && s[at] <= '9') ++at;
      }
    }
    if (at < s.size() && (s[at] == '+' || s[at] == '-')) {
      int oh = 0, om = 0;
      if (!digits(s, at + 1, 2, oh) || at + 3 >= s.size() || s[at + 3] != ':' || !digits(s, at + 4, 2, om))
        return std::nullopt;
      offset = (s[at] == '+' ? 1 : -1) * (oh * 3600 + om * 60);
      at += 6;
    } else if (at < s.size() && s[at] == 'Z') {
      ++at;
    }
    if (at != s.size()) return std::nullopt;
  }
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 60) return std::nullopt;
  return daysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + sec - offset;
}

std::string w3cDateOfUnixTime(std::int64_t seconds) {
  std::int64_t days = seconds / 86400;
  std::int64_t rest = seconds % 86400;
  if (rest < 0) rest += 86400, --days;
  // Civil date from days since 1970-01-01 (proleptic Gregorian).
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t doe = days - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t y = yoe + era * 400 + (m <= 2);
  char out[96];
  std::snprintf(out, sizeof out, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", static_cast<long long>(y),
                static_cast<long long>(m), static_cast<long long>(d), static_cast<long long>(rest / 3600),
                static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
  return out;
}

DocumentProperties readCoreProperties(std::string_view xml) {
  DocumentProperties p;
  if (auto title = elementText(xml, "dc", "title")) p.title = fromUtf8(*title);
  if (auto creator = elementText(xml, "dc", "creator")) p.author = fromUtf8(*creator);
  if (auto modified = elementText(xml, "dcterms", "modified")) p.lastSaved = unixTimeOfW3cDate(*modified);
  return p;
}

}  // namespace vellumark
