// GNU ddrescue's mapfile: a status line, then contiguous blocks "position size status" of
// the input, with '+' for finished, '-' for bad sectors and '?' for blocks not tried yet.

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "backup/image_backup.h"

namespace vellumark {

namespace {

void appendBlock(std::string& out, std::int64_t pos, std::int64_t size, char status) {
  if (size <= 0) return;
  char line[80];
  std::snprintf(line, sizeof line, "0x%08" PRIX64 "  0x%08" PRIX64 "  %c\n", static_cast<std::uint64_t>(pos),
                static_cast<std::uint64_t>(size), status);
  out += line;
}

}  // namespace

std::string mapFilePathFor(const std::string& imagePath) { return imagePath + ".map"; }

std::string ddrescueMapText(std::int64_t first, std::int64_t last, std::int64_t copiedUntil,
                            const std::vector<SectorRun>& unreadable, std::uint32_t bytesPerSector,
                            const std::string& description) {
  const std::int64_t bps = bytesPerSector;
  const bool finished = copiedUntil > last;
  std::string out = "# Mapfile. Created by Vellumark\n";
  for (std::size_t at = 0; at < description.size();) {
    const std::size_t end = std::min(description.find('\n', at), description.size());
    out += "# " + description.substr(at, end - at) + "\n";
    at = end + 1;
  }
  char status[80];
  std::snprintf(status, sizeof status, "0x%08" PRIX64 "     %c               1\n",
                static_cast<std::uint64_t>((finished ? last + 1 : copiedUntil) * bps), finished ? '+' : '?');
  out += "# current_pos  current_status  current_pass\n";
  out += status;
  out += "#      pos        size  status\n";
  std::int64_t at = first;
  for (const SectorRun& run : unreadable) {
    appendBlock(out, at * bps, (run.first - at) * bps, '+');
    appendBlock(out, run.first * bps, run.count * bps, '-');
    at = run.first + run.count;
  }
  const std::int64_t tried = std::min(copiedUntil, last + 1);
  appendBlock(out, at * bps, (tried - at) * bps, '+');
  appendBlock(out, tried * bps, (last + 1 - tried) * bps, '?');
  return out;
}

}  // namespace vellumark
