#pragma once
// A small writer of Word 97 documents: a compound file with a WordDocument stream (File
// Information Block, then the text), a 1Table stream with the piece table, and a
// SummaryInformation property set. Enough for readers of the main text and the properties.

#include <cstdint>
#include <string>
#include <vector>

namespace vellumark::test {

struct WordDocumentContent {
  std::u16string text;          // the main text; '\r' ends a paragraph
  bool eightBitPieces = false;  // store it in compressed (8-bit) pieces; the text must be Latin-1
  bool encrypted = false;       // set the FIB's encryption flag
  std::string title;            // UTF-8 summary properties, written in code page 65001
  std::string author;
  std::uint64_t lastSavedFileTime = 0;  // 0 leaves the property out
};

// The whole compound file.
std::vector<std::uint8_t> writeWordDocument(const WordDocumentContent& content);

// Seconds since 1970 as a FILETIME.
std::uint64_t fileTimeOf(std::int64_t unixSeconds);

}  // namespace vellumark::test
