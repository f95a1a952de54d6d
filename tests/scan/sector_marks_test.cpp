#include "scan/sector_marks.h"

#include <gtest/gtest.h>

namespace vellumark {
namespace {

// Only a stretch examined whole, with nothing wanted in it, is passed over: a wanted sector, a
// sector not examined, and anything past the runs kept break it.
TEST(SectorMarks, OnlyStretchesExaminedWholeWithNothingWantedArePassedOver) {
  SectorMarks marks;
  EXPECT_FALSE(marks.noneWanted(0, 1));
  for (std::int64_t s = 10; s < 20; ++s) marks.note(s, s == 15);
  for (std::int64_t s = 22; s < 30; ++s) marks.note(s, false);  // 20 and 21 not examined
  marks.note(25, false);                                         // out of order: not kept
  EXPECT_TRUE(marks.noneWanted(10, 5));
  EXPECT_FALSE(marks.noneWanted(10, 6));
  EXPECT_FALSE(marks.noneWanted(14, 2));
  EXPECT_TRUE(marks.noneWanted(16, 4));
  EXPECT_FALSE(marks.noneWanted(16, 5));
  EXPECT_FALSE(marks.noneWanted(19, 4));
  EXPECT_TRUE(marks.noneWanted(22, 8));
  EXPECT_FALSE(marks.noneWanted(22, 9));
  EXPECT_FALSE(marks.noneWanted(9, 2));
  EXPECT_TRUE(marks.noneWanted(40, 0));
  EXPECT_EQ(marks.runs(), 3u);
}

TEST(SectorMarks, PastItsBoundNothingMoreIsKept) {
  SectorMarks marks;
  const auto runs = static_cast<std::int64_t>(SectorMarks::kMaxRuns);
  for (std::int64_t s = 0; s < 2 * runs + 8; ++s) marks.note(s, s % 2 == 1);
  EXPECT_EQ(marks.runs(), SectorMarks::kMaxRuns);
  EXPECT_TRUE(marks.noneWanted(2 * runs - 2, 1));
  EXPECT_FALSE(marks.noneWanted(2 * runs, 1));
  marks.note(3 * runs, false);
  EXPECT_FALSE(marks.noneWanted(3 * runs, 1));
}

}  // namespace
}  // namespace vellumark
