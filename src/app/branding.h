#pragma once
// The branding file "Vellumark.dll" in the program's folder: one zlib stream holding 45
// NUL-terminated strings that are not used, then a text of at least four lines: the product
// name, an unused line, the status-bar text and the status-bar link. Without a usable one
// the desktop program does not start. Also the two whole-file loaders it is read with.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vellumark {

inline constexpr std::string_view kBrandingFileName = "Vellumark.dll";
inline constexpr int kBrandingSkippedStrings = 45;
inline constexpr int kLoadAttempts = 11;          // a file held by another program is tried again
inline constexpr int kLoadRetryDelayMs = 100;     // ... after this pause
// More than this is not a branding file; inflating stops there.
inline constexpr std::size_t kMaxBrandingTextBytes = 1 << 20;

// A whole file in memory with a read position.
struct MemoryStream {
  std::vector<std::uint8_t> bytes;
  std::size_t position = 0;
};

// Reads the whole file at path into stream (position 0). Tries kLoadAttempts times,
// kLoadRetryDelayMs apart, when the file cannot be opened. False when every attempt failed.
[[nodiscard]] bool loadFileToMemory(MemoryStream& stream, const std::string& path);

// The file's lines, CR LF or LF separated (a final line break adds no empty line).
[[nodiscard]] bool loadTextFile(std::vector<std::string>& lines, const std::string& path);
[[nodiscard]] std::vector<std::string> splitLines(std::string_view text);

// The NUL-terminated string at the stream's position; the position moves past it and its
// NUL. Empty, and no movement, at or past the end; a string that runs to the end is cut there.
[[nodiscard]] std::string readCString(MemoryStream& stream);

struct BrandingTexts {
  std::string brandName;
  std::string brandStatusText;
  std::string brandLink;
};

enum class BrandingStatus {
  Loaded,
  Unusable,         // missing, unreadable, or fewer than four lines: entry 34
  NotCompressed,    // not one whole zlib stream
};

struct BrandingResult {
  BrandingStatus status = BrandingStatus::Unusable;
  BrandingTexts texts;
  std::string error;  // what zlib reported, for NotCompressed
};

[[nodiscard]] BrandingResult loadBranding(const std::string& path);

// The bytes of a branding file for the given lines (the writer of the build's default file
// and of test files).
[[nodiscard]] std::vector<std::uint8_t> brandingFileBytes(const std::vector<std::string>& lines);

}  // namespace vellumark
