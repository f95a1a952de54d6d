#pragma once
// Ctrl-C for long commands. The handler only counts presses (a lock-free atomic); the
// command polls the count at its refresh points and decides what a press means there. A
// second press ends the process at once with status 130.

namespace vellumark::platform {

class InterruptCounter {
 public:
  // Installs the SIGINT handler; the previous one comes back on destruction.
  InterruptCounter();
  ~InterruptCounter();
  InterruptCounter(const InterruptCounter&) = delete;
  InterruptCounter& operator=(const InterruptCounter&) = delete;

  // Presses since installation.
  [[nodiscard]] int presses() const;
};

}  // namespace vellumark::platform
