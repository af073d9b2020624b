// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
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

  // Whether a Set() may be waiting, without a system call: lets a busy loop look for it between
  // two pieces of work. False may be stale for a moment; poll() on Fd() still sees the signal.
  [[nodiscard]] bool MaybeSet() const noexcept { return pending_.load(std::memory_order_acquire); }

  [[nodiscard]] int Fd() const noexcept { return fd_; }

private:
  int fd_ = -1;
  std::atomic<bool> pending_{false};
};

} // namespace kestrel
