#pragma once
// Interruptions of long commands: Ctrl-C (SIGINT), and SIGTERM, SIGHUP and SIGQUIT, which
// end a run the same way. The handler only counts them (a lock-free atomic) and remembers
// the first one; the command polls the count at its refresh points and decides what an
// interruption means there. A second one ends the process at once, status 128 + the first
// signal, after removing the temporary file of the output being written.

namespace vellumark::platform {

class InterruptCounter {
 public:
  // Installs the handlers; the previous ones come back on destruction.
  InterruptCounter();
  ~InterruptCounter();
  InterruptCounter(const InterruptCounter&) = delete;
  InterruptCounter& operator=(const InterruptCounter&) = delete;

  // Interruptions since installation.
  [[nodiscard]] int presses() const;
  // The signal of the first one, 0 when there was none.
  [[nodiscard]] int firstSignal() const;
  // The exit status of a run that was interrupted: 128 + the first signal.
  [[nodiscard]] int exitStatus() const;
};

}  // namespace vellumark::platform
