// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/auto_reset_event.hpp"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>

namespace kestrel {

AutoResetEvent::AutoResetEvent() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (fd_ < 0) { throw std::system_error(errno, std::generic_category(), "eventfd"); }
}

AutoResetEvent::~AutoResetEvent() { close(fd_); }

void AutoResetEvent::Set() noexcept {
  const std::uint64_t one = 1;
  // EAGAIN would mean the counter is about to overflow: it is signalled either way.
  [[maybe_unused]] const auto n = write(fd_, &one, sizeof one);
  // After the write: a Consume() between the two would otherwise clear the flag of a signal it
  // could not read yet.
  pending_.store(true, std::memory_order_release);
}

bool AutoResetEvent::Consume() noexcept {
  std::uint64_t value = 0;
  pending_.exchange(false, std::memory_order_acq_rel);
  return read(fd_, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
}

bool AutoResetEvent::WaitFor(std::chrono::milliseconds timeout) noexcept {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (Consume()) { return true; }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) { return false; }
    pollfd p{fd_, POLLIN, 0};
    poll(&p, 1, static_cast<int>(left));
  }
}

void AutoResetEvent::Wait() noexcept {
  while (!Consume()) {
    pollfd p{fd_, POLLIN, 0};
    poll(&p, 1, -1);
  }
}

} // namespace kestrel
