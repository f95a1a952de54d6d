#pragma once
// The clock behind progress refreshes: a thread that counts milliseconds in 2 ms steps and
// advances a display tick by 200 every 200 ms. Long loops compare the tick with the value
// they showed last (ScanState::refreshDue) and refresh only when it has moved.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "scan/scan_state.h"

namespace vellumark {

class DisplayTimer {
 public:
  // Starts ticking at once.
  explicit DisplayTimer(std::atomic<std::uint32_t>& displayTick);
  explicit DisplayTimer(ScanState& state) : DisplayTimer(state.displayTick) {}
  ~DisplayTimer();  // stops and joins
  DisplayTimer(const DisplayTimer&) = delete;
  DisplayTimer& operator=(const DisplayTimer&) = delete;

  // Stops the thread and waits for it; safe to call more than once.
  void stop();
  [[nodiscard]] bool running() const { return thread_.joinable(); }
  // Milliseconds counted so far (a multiple of 2).
  [[nodiscard]] std::int64_t elapsedMs() const { return ticksMs_.load(std::memory_order_relaxed); }

 private:
  void run();

  std::atomic<std::uint32_t>& displayTick_;
  std::atomic<std::int64_t> ticksMs_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopRequested_ = false;
  std::thread thread_;
};

}  // namespace vellumark
