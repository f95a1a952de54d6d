#pragma once
// What a document says about itself: its title, author and last-saved time, from the
// SummaryInformation property set of a compound file (Word, Excel, PowerPoint 97-2003) or
// from docProps/core.xml of an OOXML package.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "carvers/compound_file.h"
#include "util/byte_reader.h"

namespace vellumark {

struct DocumentProperties {
  std::u16string title;
  std::u16string author;
  std::optional<std::int64_t> lastSaved;  // seconds since 1970-01-01 UTC
  std::uint16_t codePage = 0;             // of the property set's 8-bit strings; 0 when not given
};

// The properties of a "\005SummaryInformation" stream; nullopt when it is no property set.
// A property that cannot be read is left out.
[[nodiscard]] std::optional<DocumentProperties> readSummaryInformation(Bytes stream);

// The same from a compound file held whole in `file`; empty properties when it has none.
[[nodiscard]] DocumentProperties compoundFileProperties(Bytes file, const cfb::CompoundFile& cf);

// The properties of a core.xml part (dc:title, dc:creator, dcterms:modified).
[[nodiscard]] DocumentProperties readCoreProperties(std::string_view xml);

// A FILETIME (100 ns units since 1601) in seconds since 1970; nullopt for 0.
[[nodiscard]] std::optional<std::int64_t> unixTimeOfFileTime(std::uint64_t fileTime);

// A W3C date and time ("2023-05-01T10:20:30Z", "...+02:00", a date alone) in seconds since
// 1970 UTC; nullopt when it is not one.
[[nodiscard]] std::optional<std::int64_t> unixTimeOfW3cDate(std::string_view text);

// Seconds since 1970 as "YYYY-MM-DDTHH:MM:SSZ".
[[nodiscard]] std::string w3cDateOfUnixTime(std::int64_t seconds);

}  // namespace vellumark
