#pragma once
// The two thumbnail settings files in the program's folder: "ThumbSiz.ini" (first line: the
// largest pixel count that is a thumbnail) and "ThumbSpc.ini" (one pixel count or WIDTHxHEIGHT
// per line). Parsing is a pure function of the file text; the loader reads the files.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scan/thumbnail_rules.h"

namespace vellumark {

inline constexpr std::string_view kThumbLimitFileName = "ThumbSiz.ini";
inline constexpr std::string_view kThumbSizesFileName = "ThumbSpc.ini";

// The first line as a signed 32-bit decimal number; -1 when it is not one.
[[nodiscard]] std::int64_t parseThumbPixelLimit(std::string_view text);

struct ThumbSizeList {
  std::vector<std::int64_t> pixelCounts;   // the counts above 0, in file order
  // Set when a WIDTH*HEIGHT line had a part that is not a number: the reading ended there.
  std::optional<std::string> conversionError;
};

// Line by line: blanks trimmed, an empty line ends the list, ";" starts a comment (what is
// left is not trimmed again), the first lower-case "x" stands for "*", and a line with "*"
// is the product of the numbers on either side. A line that is not a number is skipped.
[[nodiscard]] ThumbSizeList parseThumbSizeList(std::string_view text);

struct ThumbnailSettings {
  ThumbnailRules rules;
  std::vector<std::string> warnings;   // for a person: files that could not be read or parsed
};

// Reads both files from folder (which ends in '/'); a missing file leaves its rule unset.
[[nodiscard]] ThumbnailSettings loadThumbnailSettings(const std::string& folder);

}  // namespace vellumark
