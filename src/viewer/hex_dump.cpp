#include "viewer/hex_dump.h"

namespace vellumark {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

void appendHexByte(std::string& s, std::uint8_t b) {
  s.push_back(kHexDigits[b >> 4]);
  s.push_back(kHexDigits[b & 15]);
}

char printable(std::uint8_t b) { return (b >= 32 && b <= 126) ? static_cast<char>(b) : '.'; }

}  // namespace

std::vector<std::string> hexDumpLines(std::span<const std::uint8_t> sector) {
  std::vector<std::string> lines;
  lines.reserve(sector.size() / 32 + 1);
  lines.emplace_back(kHexDumpHeader);
  for (std::size_t base = 0; base + 32 <= sector.size(); base += 32) {
    std::string hex;
    std::string text;
    hex.reserve(117);
    text.reserve(32);
    hex.push_back(kHexDigits[(base >> 8) & 15]);
    hex.push_back(kHexDigits[(base >> 4) & 15]);
    hex.push_back(kHexDigits[base & 15]);
    hex += ": ";
    for (std::size_t i = base; i < base + 32; i += 2) {
      appendHexByte(hex, sector[i]);
      appendHexByte(hex, sector[i + 1]);
      hex.push_back(' ');
      text.push_back(printable(sector[i]));
      text.push_back(printable(sector[i + 1]));
    }
    lines.push_back(hex + text);
  }
  return lines;
}

}  // namespace vellumark
