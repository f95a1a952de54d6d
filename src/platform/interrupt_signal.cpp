#include "platform/interrupt_signal.h"

#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>

#include "platform/output_file.h"

namespace vellumark::platform {

namespace {

constexpr std::array<int, 4> kSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

std::atomic<int> gPresses{0};
std::atomic<int> gFirstSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free counters");

std::array<struct sigaction, kSignals.size()> gPrevious{};

// Only async-signal-safe work here: atomics, write(2), unlink(2) and _exit(2). Files being
// written are never left under their final names (they are renamed into place only when
// complete), and the temporary file of the one being written is removed, so leaving at once
// loses nothing that was already saved and leaves nothing half-written.
void onInterrupt(int signal) {
  int expected = 0;
  gFirstSignal.compare_exchange_strong(expected, signal, std::memory_order_relaxed);
  const int n = gPresses.fetch_add(1, std::memory_order_relaxed) + 1;
  if (n >= 2) {
    static constexpr char kQuit[] = "\nvellumark-cli: interrupted again, quitting now\n";
    [[maybe_unused]] auto w = ::write(STDERR_FILENO, kQuit, sizeof kQuit - 1);
    removeUnfinishedOutputFile();
    ::_exit(128 + gFirstSignal.load(std::memory_order_relaxed));
  }
  static constexpr char kFirst[] =
      "\nvellumark-cli: interrupted: finishing with what was found (interrupt again to quit at once)\n";
  [[maybe_unused]] auto w = ::write(STDERR_FILENO, kFirst, sizeof kFirst - 1);
}

}  // namespace

InterruptCounter::InterruptCounter() {
  gPresses.store(0);
  gFirstSignal.store(0);
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  for (int s : kSignals) sigaddset(&action.sa_mask, s);  // one handler at a time
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &action, &gPrevious[i]);
}

InterruptCounter::~InterruptCounter() {
  for (std::size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &gPrevious[i], nullptr);
}

int InterruptCounter::presses() const { return gPresses.load(std::memory_order_relaxed); }

int InterruptCounter::firstSignal() const { return gFirstSignal.load(std::memory_order_relaxed); }

int InterruptCounter::exitStatus() const {
  const int s = firstSignal();
  return 128 + (s == 0 ? SIGINT : s);
}

}  // namespace vellumark::platform
