#include "carvers/document_naming.h"

#include "carvers/carver_framework.h"
#include "carvers/document_properties.h"
#include "carvers/word_text.h"
#include "util/unicode.h"

namespace vellumark {

namespace {

// A document's core properties are small; a bigger part is not read.
constexpr std::uint64_t kMaxCorePropertiesBytes = 1u << 20;

bool keptInName(char16_t c) {
  if (c < 256) return c == u' ' || isAsciiLetter(static_cast<std::uint8_t>(c)) || isAsciiDigit(static_cast<std::uint8_t>(c));
  if (c >= 0xD800 && c <= 0xDFFF) return true;  // pairs are checked as pairs below
  if (c >= 0x200B && c <= 0x200F) return false;  // zero-width characters and direction marks
  if (c >= 0x2028 && c <= 0x202E) return false;  // separators and embeddings, overrides
  if (c >= 0x2060 && c <= 0x206F) return false;  // invisible operators, isolates
  return c != 0xFEFF && c != 0xFFFE && c != 0xFFFF;
}

bool isHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

bool isBreak(char16_t c) { return c == u'\r' || c == u'\n' || c == 0x2028 || c == 0x2029; }

bool blank(std::u16string_view s) { return s.find_first_not_of(u' ') == std::u16string_view::npos; }

// A property of nothing but blanks is no property.
std::string textOf(const std::u16string& s) {
  return s.find_first_not_of(u" \t\r\n") == std::u16string::npos ? std::string{} : toUtf8(s);
}

void describeFrom(const DocumentProperties& p, DocumentDescription& d) {
  d.title = textOf(p.title);
  d.author = textOf(p.author);
  d.lastSaved = p.lastSaved;
}

}  // namespace

std::u16string filterTitleChars(std::u16string_view line) {
  std::u16string out;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char16_t c = line[i];
    if (!keptInName(c)) continue;
    if (isHigh(c) && i + 1 < line.size() && isLow(line[i + 1])) {
      out.push_back(c);
      out.push_back(line[++i]);
    } else if (!isHigh(c) && !isLow(c)) {
      out.push_back(c);
    }
  }
  return out;
}

std::optional<std::u16string> firstTitleLine(std::u16string_view text) {
  std::size_t at = 0;
  while (at <= text.size()) {
    std::size_t end = at;
    while (end < text.size() && !isBreak(text[end])) ++end;
    std::u16string line = filterTitleChars(text.substr(at, end - at));
    if (!blank(line)) return line;
    at = end + 1;
  }
  return std::nullopt;
}

std::string titleForName(std::u16string_view filtered) {
  std::size_t end = 0;
  for (std::size_t chars = 0; end < filtered.size() && chars < kMaxTitleChars; ++chars)
    end += (isHigh(filtered[end]) && end + 1 < filtered.size()) ? 2 : 1;
  return toUtf8(filtered.substr(0, end));
}

DocumentDescription describeCompoundFile(Bytes file, bool word) {
  DocumentDescription d;
  const std::optional<cfb::CompoundFile> cf = cfb::openCompoundFile(file);
  if (!cf) return d;
  const DocumentProperties p = compoundFileProperties(file, *cf);
  describeFrom(p, d);
  std::optional<std::u16string> line;
  if (word) {
    if (const auto text = word::mainText(file, *cf, p.codePage)) line = firstTitleLine(*text);
  } else {
    line = firstTitleLine(p.title);
  }
  if (line) d.nameTitle = titleForName(*line);
  return d;
}

DocumentDescription describePackage(Bytes file, const zip::Archive& archive) {
  DocumentDescription d;
  const auto xml = zip::entryContent(file, archive, "docProps/core.xml", kMaxCorePropertiesBytes);
  if (!xml) return d;
  const DocumentProperties p = readCoreProperties(std::string_view(reinterpret_cast<const char*>(xml->data()), xml->size()));
  describeFrom(p, d);
  if (const auto line = firstTitleLine(p.title)) d.nameTitle = titleForName(*line);
  return d;
}

}  // namespace vellumark
