// The hex dump of a sector of any multiple of 32 bytes: one header and one line per 32 bytes,
// each of the same width.

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "viewer/hex_dump.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> sector(data, data + size / 32 * 32);
  const std::vector<std::string> lines = vellumark::hexDumpLines(sector);
  if (lines.size() != sector.size() / 32 + 1) std::abort();
  for (const std::string& line : lines)
    if (line.size() != vellumark::kHexDumpHeader.size()) std::abort();
  return 0;
}
