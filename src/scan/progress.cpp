#include "scan/progress.h"

#include <cstdio>

namespace vellumark {

std::string formatPercent(std::int64_t total, std::int64_t done) {
  const std::int64_t q = total > 0 ? static_cast<std::int64_t>(static_cast<__int128>(done) * 10000 / total) : 0;
  const std::uint64_t magnitude = q < 0 ? 0 - static_cast<std::uint64_t>(q) : static_cast<std::uint64_t>(q);
  char text[32];
  std::snprintf(text, sizeof text, "%s%llu.%02llu%%", q < 0 ? "-" : "", static_cast<unsigned long long>(magnitude / 100),
                static_cast<unsigned long long>(magnitude % 100));
  return text;
}

}  // namespace vellumark
