#pragma once
// CRC-32 (the polynomial of ZIP, PNG and GPT), computed with carry-less multiplication where
// the processor has it: the fragment search checks stored ZIP data a sector at a time, and
// zlib's table-driven CRC is five times slower on pieces that small.

#include <cstdint>

#include "util/byte_reader.h"

namespace vellumark {

// The CRC-32 of what came before (0 for nothing) continued over `bytes`.
[[nodiscard]] std::uint32_t crc32Update(std::uint32_t crc, Bytes bytes);

// The CRC-32 of `bytes` alone.
[[nodiscard]] inline std::uint32_t crc32Of(Bytes bytes) { return crc32Update(0, bytes); }

}  // namespace vellumark
