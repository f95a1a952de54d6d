#include "scan/display_timer.h"

#include <chrono>

namespace vellumark {

namespace {
constexpr std::chrono::milliseconds kStep{2};
constexpr std::int64_t kDisplayPeriodMs = 200;
}  // namespace

DisplayTimer::DisplayTimer(std::atomic<std::uint32_t>& displayTick)
    : displayTick_(displayTick), thread_([this] { run(); }) {}

DisplayTimer::~DisplayTimer() { stop(); }

void DisplayTimer::stop() {
  {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void DisplayTimer::run() {
  // Steps are scheduled on a fixed grid, so a late wake-up is caught up rather than lost.
  auto next = std::chrono::steady_clock::now();
  std::unique_lock lock(mutex_);
  while (!stopRequested_) {
    next += kStep;
    if (wake_.wait_until(lock, next, [this] { return stopRequested_; })) break;
    const std::int64_t ms = ticksMs_.fetch_add(kStep.count(), std::memory_order_relaxed) + kStep.count();
    if (ms % kDisplayPeriodMs == 0) displayTick_.fetch_add(kDisplayPeriodMs, std::memory_order_relaxed);
  }
}

}  // namespace vellumark
