#pragma once
// Decoding 8-bit text written in a Windows code page (document properties, Word 6 and 95
// text), through the C library's converters.

#include <cstdint>
#include <optional>
#include <string>

#include "util/byte_reader.h"

namespace vellumark::platform {

// The text in UTF-16; nullopt when the code page is unknown here or the bytes are not valid
// in it. Code page 1200 is UTF-16LE, 65001 UTF-8.
[[nodiscard]] std::optional<std::u16string> decodeCodePage(Bytes text, std::uint16_t codePage);

}  // namespace vellumark::platform
