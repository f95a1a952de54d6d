#include "scan/progress.h"

#include <gtest/gtest.h>

namespace vellumark {
namespace {

TEST(FormatPercent, TruncatesToTwoDecimals) {
  EXPECT_EQ(formatPercent(3, 1), "33.33%");
  EXPECT_EQ(formatPercent(3, 2), "66.66%");
  EXPECT_EQ(formatPercent(1000, 5), "0.50%");
  EXPECT_EQ(formatPercent(10000, 1234), "12.34%");
  EXPECT_EQ(formatPercent(1000, 0), "0.00%");
  EXPECT_EQ(formatPercent(7, 7), "100.00%");
  EXPECT_EQ(formatPercent(10000, 1), "0.01%");
}

TEST(FormatPercent, LargeSourcesDoNotOverflow) {
  // A 16 TiB disk of 512-byte sectors, nearly done.
  const std::int64_t total = 34'359'738'368;
  EXPECT_EQ(formatPercent(total, total - 1), "99.99%");
  EXPECT_EQ(formatPercent(INT64_MAX, INT64_MAX / 2), "49.99%");
}

TEST(FormatPercent, NoTotalGivesZero) {
  EXPECT_EQ(formatPercent(0, 0), "0.00%");
  EXPECT_EQ(formatPercent(0, 5), "0.00%");
}

}  // namespace
}  // namespace vellumark
