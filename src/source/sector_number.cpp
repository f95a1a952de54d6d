#include "source/sector_number.h"

#include <charconv>

namespace vellumark {

std::int64_t parseSectorNumber(std::string_view text) {
  std::int64_t value = -1;
  if (text.empty()) return -1;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size()) return -1;
  return value;
}

}  // namespace vellumark
