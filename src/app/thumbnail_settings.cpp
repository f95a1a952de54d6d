#include "app/thumbnail_settings.h"

#include <cerrno>
#include <charconv>
#include <limits>

#include "platform/file.h"

namespace vellumark {

namespace {

// Settings files are a few lines; anything bigger is not one.
constexpr std::size_t kMaxSettingsBytes = 1 << 20;

// A whole field as a signed 32-bit decimal number (optional sign, digits, nothing else).
std::optional<std::int64_t> decimal32(std::string_view field) {
  if (!field.empty() && field.front() == '+') field.remove_prefix(1);
  std::int32_t value = 0;
  const char* end = field.data() + field.size();
  const auto [ptr, ec] = std::from_chars(field.data(), end, value);
  if (field.empty() || ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

bool isBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Splits off the next line (LF or CR LF ended).
std::string_view nextLine(std::string_view& text) {
  const std::size_t end = text.find('\n');
  std::string_view line = text.substr(0, end);
  text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

std::optional<std::string> readSettingsFile(const std::string& path, std::vector<std::string>& warnings) {
  auto file = platform::openReadOnly(path);
  if (!file) {
    if (file.error().code != ENOENT) warnings.push_back(file.error().message());
    return std::nullopt;
  }
  std::string text(kMaxSettingsBytes, '\0');
  auto got = file->readAt(0, std::span(reinterpret_cast<std::uint8_t*>(text.data()), text.size()));
  if (!got) {
    warnings.push_back(got.error().message());
    return std::nullopt;
  }
  text.resize(*got);
  return text;
}

}  // namespace

std::int64_t parseThumbPixelLimit(std::string_view text) {
  return decimal32(nextLine(text)).value_or(-1);
}

ThumbSizeList parseThumbSizeList(std::string_view text) {
  ThumbSizeList out;
  while (!text.empty()) {
    std::string_view line = trimmed(nextLine(text));
    if (line.empty()) break;
    if (const std::size_t semicolon = line.find(';'); semicolon != std::string_view::npos) line = line.substr(0, semicolon);
    std::string owned(line);
    if (const std::size_t x = owned.find('x'); x != std::string::npos) owned[x] = '*';
    std::int64_t value = -1;
    if (const std::size_t star = owned.find('*'); star != std::string::npos) {
      const auto width = decimal32(std::string_view(owned).substr(0, star));
      const auto height = decimal32(std::string_view(owned).substr(star + 1));
      if (!width || !height) {
        out.conversionError = "'" + owned + "' is not WIDTHxHEIGHT";
        break;
      }
      value = *width * *height;
    } else {
      value = decimal32(owned).value_or(-1);
    }
    if (value > 0) out.pixelCounts.push_back(value);
  }
  return out;
}

ThumbnailSettings loadThumbnailSettings(const std::string& folder) {
  ThumbnailSettings settings;
  if (auto text = readSettingsFile(folder + std::string(kThumbLimitFileName), settings.warnings))
    settings.rules.pixelLimit = parseThumbPixelLimit(*text);
  const std::string sizesPath = folder + std::string(kThumbSizesFileName);
  if (auto text = readSettingsFile(sizesPath, settings.warnings)) {
    ThumbSizeList list = parseThumbSizeList(*text);
    settings.rules.pixelCounts = std::move(list.pixelCounts);
    if (list.conversionError) settings.warnings.push_back(sizesPath + ": " + *list.conversionError + "; reading stopped there");
  }
  return settings;
}

}  // namespace vellumark
