#include "scan/display_timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace vellumark {
namespace {

// Waits up to a generous bound for the tick to reach `value`.
bool tickReaches(const std::atomic<std::uint32_t>& tick, std::uint32_t value) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    if (tick.load() >= value) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

TEST(DisplayTimer, AdvancesInStepsOf200AndStopsWhenAsked) {
  std::atomic<std::uint32_t> tick{0};
  DisplayTimer timer(tick);
  EXPECT_TRUE(timer.running());
  ASSERT_TRUE(tickReaches(tick, 400));
  timer.stop();
  EXPECT_FALSE(timer.running());
  const std::uint32_t stopped = tick.load();
  EXPECT_EQ(stopped % 200, 0u);
  EXPECT_EQ(timer.elapsedMs() % 2, 0);
  EXPECT_GE(timer.elapsedMs(), static_cast<std::int64_t>(stopped));
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_EQ(tick.load(), stopped);  // the thread is gone
  timer.stop();                     // a second stop is harmless
}

TEST(DisplayTimer, DrivesRefreshesOfAScanStateAndJoinsOnDestruction) {
  ScanState state;
  {
    DisplayTimer timer(state);
    EXPECT_FALSE(state.refreshDue());
    ASSERT_TRUE(tickReaches(state.displayTick, 200));
    EXPECT_TRUE(state.refreshDue());
    EXPECT_FALSE(state.refreshDue());  // until the next tick
  }
  const std::uint32_t after = state.displayTick.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_EQ(state.displayTick.load(), after);
}

TEST(DisplayTimer, ManyStartsAndStopsInARow) {
  std::atomic<std::uint32_t> tick{0};
  for (int i = 0; i < 50; ++i) {
    DisplayTimer timer(tick);
  }
  SUCCEED();
}

}  // namespace
}  // namespace vellumark
