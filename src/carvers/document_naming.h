#pragma once
// Names after content: the title a recovered document's file name is given, and the
// description (title, author, last-saved time) handed to the document sink after a save.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "carvers/carve_context.h"
#include "carvers/compound_file.h"
#include "carvers/zip_walk.h"
#include "util/byte_reader.h"

namespace vellumark {

// Titles are cut to this many characters before they enter a file name.
inline constexpr std::size_t kMaxTitleChars = 108;

// The character filter: drops every character below 256 that is neither an ASCII letter nor
// a digit nor a space; characters from 256 up stay, except those that do not belong in a
// file name (surrogates left alone, bidirectional overrides, byte order marks and other
// format characters, line and paragraph separators).
[[nodiscard]] std::u16string filterTitleChars(std::u16string_view line);

// The first line of text that is not empty once filtered and trimmed of spaces, filtered
// (not trimmed); nullopt when there is none. Lines end at '\r', '\n', U+2028 and U+2029.
[[nodiscard]] std::optional<std::u16string> firstTitleLine(std::u16string_view text);

// A filtered title cut to kMaxTitleChars characters (never inside a surrogate pair), in UTF-8.
[[nodiscard]] std::string titleForName(std::u16string_view filtered);

// What a recovered compound file says of itself, from the bytes the carver holds: a Word
// document is named after its first line of text, an Excel or PowerPoint one after its
// title property.
[[nodiscard]] DocumentDescription describeCompoundFile(Bytes file, bool word);

// The same for an OOXML package walked whole into `file`, from its docProps/core.xml.
[[nodiscard]] DocumentDescription describePackage(Bytes file, const zip::Archive& archive);

}  // namespace vellumark
