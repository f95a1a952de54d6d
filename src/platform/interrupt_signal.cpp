#include "platform/interrupt_signal.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "platform/output_file.h"

namespace vellumark::platform {

namespace {

std::atomic<int> gPresses{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free counter");

struct sigaction gPrevious {};

// Only async-signal-safe work here: an atomic increment, write(2), unlink(2) and _exit(2).
// Files being written are never left under their final names (they are renamed into place
// only when complete), and the temporary file of the one being written is removed, so
// leaving at once loses nothing that was already saved and leaves nothing half-written.
void onInterrupt(int) {
  const int n = gPresses.fetch_add(1, std::memory_order_relaxed) + 1;
  if (n >= 2) {
    static constexpr char kQuit[] = "\nvellumark-cli: interrupted again, quitting now\n";
    [[maybe_unused]] auto w = ::write(STDERR_FILENO, kQuit, sizeof kQuit - 1);
    removeUnfinishedOutputFile();
    ::_exit(130);
  }
  static constexpr char kFirst[] =
      "\nvellumark-cli: interrupted: finishing with what was found (press Ctrl-C again to quit at once)\n";
  [[maybe_unused]] auto w = ::write(STDERR_FILENO, kFirst, sizeof kFirst - 1);
}

}  // namespace

InterruptCounter::InterruptCounter() {
  gPresses.store(0);
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, &gPrevious);
}

InterruptCounter::~InterruptCounter() { ::sigaction(SIGINT, &gPrevious, nullptr); }

int InterruptCounter::presses() const { return gPresses.load(std::memory_order_relaxed); }

}  // namespace vellumark::platform
