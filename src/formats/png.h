#pragma once
// PNG images: the signature the classifier looks for and the chunk layout and limits the
// PNG carver walks by.

#include <cstddef>
#include <cstdint>

namespace vellumark::png {

// The first four bytes of the 8-byte signature, read big-endian.
inline constexpr std::uint32_t kMagic = 0x89504E47;
inline constexpr std::size_t kSignatureBytes = 8;

// A chunk: u32 BE data length, four-letter type, data, u32 BE CRC-32 of type and data.
inline constexpr std::size_t kChunkHeaderBytes = 8;
inline constexpr std::size_t kChunkTypeOffset = 4;
inline constexpr std::size_t kChunkTypeBytes = 4;
inline constexpr std::int64_t kCrcBytes = 4;

// Limits: one chunk's data and CRC, and how far into the file a chunk may reach.
inline constexpr std::int64_t kMaxChunkBytes = 1'000'000;
inline constexpr std::int64_t kMaxFileBytes = 104'857'600;  // 100 MiB

}  // namespace vellumark::png
