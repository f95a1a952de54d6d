#pragma once
// PDF documents: the header that opens the file.

#include <cstdint>
#include <string_view>

namespace vellumark::pdf {

inline constexpr std::string_view kHeader = "%PDF-";

// The end of a file: "startxref", its offset and "%%EOF", each on a line of its own; an
// "xref" line, or an object ("12 0 obj"), after "%%EOF" means an incremental update follows.
inline constexpr std::string_view kStartXref = "startxref";
inline constexpr std::string_view kEndOfFile = "%%EOF";
inline constexpr std::string_view kXref = "xref";

// The search for the end begins after the header line.
inline constexpr std::int64_t kFirstSearchedByte = 20;
// No end within this many bytes: not a PDF this tracer follows.
inline constexpr std::int64_t kMaxFileBytes = 314'572'800;  // 300 MiB

}  // namespace vellumark::pdf
