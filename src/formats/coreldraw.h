#pragma once
// CorelDRAW drawings: a RIFF file whose form type begins with "CDR" (any letter case), or a
// ZIP package whose first entry is "content/riffData.cdr" (see zip.h).

#include <cstddef>
#include <string_view>

namespace vellumark::coreldraw {

inline constexpr std::string_view kRiff = "RIFF";
inline constexpr std::size_t kRiffSizeOffset = 4;   // le32: bytes after the first 8
inline constexpr std::size_t kRiffHeaderBytes = 8;
inline constexpr std::size_t kFormTypeOffset = 8;
inline constexpr std::string_view kFormTypePrefix = "CDR";

}  // namespace vellumark::coreldraw
