#pragma once
// The main text of a Word document (Word 6 to 2003, the binary ".DOC"), read from the
// streams of its compound file: the File Information Block at the start of the WordDocument
// stream, the piece table in the table stream, and the pieces of text it points at.
//
// Paragraph marks, line and page breaks, cell and column marks come out as '\n'; field
// instructions are left out (their results stay); other control characters are dropped.
// An encrypted, obfuscated or damaged document gives no text.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "carvers/compound_file.h"
#include "util/byte_reader.h"

namespace vellumark::word {

// Text beyond this many characters is not read: only the start of a document names it.
inline constexpr std::size_t kMaxTextChars = 1u << 20;

// The main text from a compound file held whole in `file`. Word 6 and 95 documents keep
// their 8-bit text in the writer's code page, which the caller may know from the document's
// properties (codePage; 0 for unknown, read as 1252).
[[nodiscard]] std::optional<std::u16string> mainText(Bytes file, const cfb::CompoundFile& cf, std::uint16_t codePage = 0);

// The same from the bytes of the two streams it needs (the table stream the FIB names).
[[nodiscard]] std::optional<std::u16string> mainTextOfStreams(Bytes wordDocument, Bytes table, std::uint16_t codePage);

// Which table stream a WordDocument stream's FIB names ("0Table" or "1Table").
[[nodiscard]] const char* tableStreamName(Bytes wordDocument);

// One byte of a compressed (8-bit) Word 97 piece: code page 1252 as Word stores it.
[[nodiscard]] char16_t compressedChar(std::uint8_t byte);

}  // namespace vellumark::word
