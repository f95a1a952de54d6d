#include "scan/progress.h"

namespace vellumark {

std::string formatPercent(std::int64_t total, std::int64_t done) {
  std::int64_t q = total > 0 ? static_cast<std::int64_t>(static_cast<__int128>(done) * 10000 / total) : 0;
  std::string t = std::to_string(q < 0 ? -q : q);
  while (t.size() < 3) t.insert(0, "0");
  t.insert(t.size() - 2, ".");
  if (q < 0) t.insert(0, "-");
  return t + "%";
}

}  // namespace vellumark
