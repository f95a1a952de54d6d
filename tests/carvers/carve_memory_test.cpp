// The table of what failed carves learnt: every candidate of a scan asks it and most teach
// it, so it must keep what it is told through its growth, forget at once, and stay bounded.

#include "carvers/carve_memory.h"

#include <gtest/gtest.h>

namespace vellumark {
namespace {

TEST(CarveMemory, KeepsEveryEntryThroughGrowthApartByKindAndOffset) {
  CarveMemory memory;
  EXPECT_FALSE(memory.recall(1, 0));
  // Offsets a cluster apart, as candidates lie: they must not crowd into a few slots.
  for (std::int64_t i = 0; i < 50'000; ++i) memory.remember(1, i * 4096, {2, i, static_cast<std::uint8_t>(i % 100)});
  memory.remember(7, 4096, {3, 5, 1});
  memory.remember(1, 4096, {4, 6, 2});  // taught again: the later failure stands
  EXPECT_EQ(memory.size(), 50'001u);
  for (std::int64_t i = 0; i < 50'000; i += 997) {
    const auto known = memory.recall(1, i * 4096);
    ASSERT_TRUE(known) << i;
    EXPECT_EQ(known->distance, i == 1 ? 6 : i);
  }
  const auto other = memory.recall(7, 4096);
  ASSERT_TRUE(other);
  EXPECT_EQ(std::tuple(other->stop, other->distance, other->records), std::tuple(3, 5, 1));
  const auto again = memory.recall(1, 4096);
  EXPECT_EQ(std::tuple(again->stop, again->distance, again->records), std::tuple(4, 6, 2));
  EXPECT_FALSE(memory.recall(1, 50'000 * 4096));
  EXPECT_FALSE(memory.recall(2, 0));
}

TEST(CarveMemory, ForgetsEverythingWhateverItsSize) {
  CarveMemory memory;
  for (int round = 0; round < 3; ++round) {
    // A large generation, then small ones in the large table, then none.
    const std::int64_t count = round == 0 ? 20'000 : 3;
    for (std::int64_t i = 0; i < count; ++i) memory.remember(5, i * 512, {1, 1});
    EXPECT_TRUE(memory.recall(5, 0));
    memory.forget();
    EXPECT_EQ(memory.size(), 0u);
    for (std::int64_t i = 0; i < count; ++i) ASSERT_FALSE(memory.recall(5, i * 512)) << round << " " << i;
  }
  memory.forget();
  memory.remember(5, 512, {1, 9});
  EXPECT_EQ(memory.recall(5, 512)->distance, 9);
  // Forgotten many more times than there are generations: nothing of an earlier one comes back.
  for (std::int64_t round = 0; round < 600; ++round) {
    memory.forget();
    ASSERT_FALSE(memory.recall(5, (round + 1) * 512)) << round;
    memory.remember(5, (round + 2) * 512, {1, round});
    ASSERT_EQ(memory.recall(5, (round + 2) * 512)->distance, round);
  }
}

TEST(CarveMemory, StaysBoundedAndKeepsFieldsWithinTheirRange) {
  CarveMemory memory;
  for (std::size_t i = 0; i <= CarveMemory::kMaxEntries; ++i) memory.remember(1, static_cast<std::int64_t>(i) * 512, {1, 1});
  // Full, it started again with the one it was taught last.
  EXPECT_EQ(memory.size(), 1u);
  EXPECT_TRUE(memory.recall(1, static_cast<std::int64_t>(CarveMemory::kMaxEntries) * 512));
  memory.remember(2, 0, {255, std::int64_t{1} << 60, 255});
  const auto far = memory.recall(2, 0);
  ASSERT_TRUE(far);
  EXPECT_EQ(far->stop, 255);
  EXPECT_EQ(far->distance, CarveMemory::kMaxDistance);
  EXPECT_EQ(far->records, CarveMemory::kMaxRecords);
  memory.remember(2, 512, {1, -5});
  EXPECT_EQ(memory.recall(2, 512)->distance, 0);
}

}  // namespace
}  // namespace vellumark
