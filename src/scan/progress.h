#pragma once
#include <cstdint>
#include <string>

namespace vellumark {

// Percentage with two decimals, truncated: done 1,234 of 10,000 gives "12.34%".
// A total of 0 or less gives "0.00%".
[[nodiscard]] std::string formatPercent(std::int64_t total, std::int64_t done);

}  // namespace vellumark
