#pragma once
// Explicit little- and big-endian field decoding from byte buffers. Every read is bounds
// checked: a field that does not lie wholly inside the buffer reads as 0, so garbage can
// never make a parser read outside its buffer. Callers that must tell "0" from "missing"
// test fits() first.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace vellumark {

using Bytes = std::span<const std::uint8_t>;

[[nodiscard]] constexpr bool fits(Bytes b, std::size_t offset, std::size_t width) {
  return offset <= b.size() && width <= b.size() - offset;
}

[[nodiscard]] constexpr std::uint8_t u8At(Bytes b, std::size_t off) { return off < b.size() ? b[off] : 0; }

[[nodiscard]] constexpr std::uint16_t le16(Bytes b, std::size_t off) {
  if (!fits(b, off, 2)) return 0;
  return static_cast<std::uint16_t>(b[off] | (b[off + 1] << 8));
}
[[nodiscard]] constexpr std::uint32_t le32(Bytes b, std::size_t off) {
  if (!fits(b, off, 4)) return 0;
  return static_cast<std::uint32_t>(b[off]) | (static_cast<std::uint32_t>(b[off + 1]) << 8) |
         (static_cast<std::uint32_t>(b[off + 2]) << 16) | (static_cast<std::uint32_t>(b[off + 3]) << 24);
}
[[nodiscard]] constexpr std::uint64_t le64(Bytes b, std::size_t off) {
  if (!fits(b, off, 8)) return 0;
  return static_cast<std::uint64_t>(le32(b, off)) | (static_cast<std::uint64_t>(le32(b, off + 4)) << 32);
}
[[nodiscard]] constexpr std::uint16_t be16(Bytes b, std::size_t off) {
  if (!fits(b, off, 2)) return 0;
  return static_cast<std::uint16_t>((b[off] << 8) | b[off + 1]);
}
[[nodiscard]] constexpr std::uint32_t be32(Bytes b, std::size_t off) {
  if (!fits(b, off, 4)) return 0;
  return (static_cast<std::uint32_t>(b[off]) << 24) | (static_cast<std::uint32_t>(b[off + 1]) << 16) |
         (static_cast<std::uint32_t>(b[off + 2]) << 8) | static_cast<std::uint32_t>(b[off + 3]);
}
[[nodiscard]] constexpr std::uint64_t be64(Bytes b, std::size_t off) {
  if (!fits(b, off, 8)) return 0;
  return (static_cast<std::uint64_t>(be32(b, off)) << 32) | static_cast<std::uint64_t>(be32(b, off + 4));
}

// Unsigned little-endian integer of `width` bytes (0..8), as in NTFS data runs.
[[nodiscard]] constexpr std::uint64_t leN(Bytes b, std::size_t off, std::size_t width) {
  if (width > 8 || !fits(b, off, width)) return 0;
  std::uint64_t v = 0;
  for (std::size_t i = width; i-- > 0;) v = (v << 8) | b[off + i];
  return v;
}

// True when the bytes at off are exactly `text` (no terminator, case-sensitive).
[[nodiscard]] constexpr bool bytesEqual(Bytes b, std::size_t off, std::string_view text) {
  if (!fits(b, off, text.size())) return false;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (b[off + i] != static_cast<std::uint8_t>(text[i])) return false;
  return true;
}

// As bytesEqual, ignoring ASCII letter case.
[[nodiscard]] constexpr bool bytesEqualNoCase(Bytes b, std::size_t off, std::string_view text) {
  if (!fits(b, off, text.size())) return false;
  auto lower = [](std::uint8_t c) -> std::uint8_t { return (c >= 'A' && c <= 'Z') ? static_cast<std::uint8_t>(c | 0x20) : c; };
  for (std::size_t i = 0; i < text.size(); ++i)
    if (lower(b[off + i]) != lower(static_cast<std::uint8_t>(text[i]))) return false;
  return true;
}

}  // namespace vellumark
