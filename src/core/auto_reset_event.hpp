#pragma once

#include <chrono>

namespace kestrel {

// An auto-reset event on an eventfd: Set() signals it, a successful wait consumes the signal.
// Several Set() calls before a wait count as one. The descriptor can be put into poll() beside
// sockets or the sequencer; read it with Consume() when poll reports it readable.
// Set() may be called from any thread and never blocks.
class AutoResetEvent {
public:
  AutoResetEvent(); // throws std::system_error when no eventfd can be made
  ~AutoResetEvent();
  AutoResetEvent(const AutoResetEvent&) = delete;
  AutoResetEvent& operator=(const AutoResetEvent&) = delete;

  void Set() noexcept;
  // Clears the signal; returns whether it was set. Never blocks.
  bool Consume() noexcept;
  // Blocks until signalled (consuming it) or until the timeout; returns whether it was signalled.
  bool WaitFor(std::chrono::milliseconds timeout) noexcept;
  // Blocks until signalled, consuming the signal.
  void Wait() noexcept;

  [[nodiscard]] int Fd() const noexcept { return fd_; }

private:
  int fd_ = -1;
};

} // namespace kestrel
