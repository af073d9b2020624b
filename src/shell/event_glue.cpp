// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/event_glue.hpp"

#include "platform/beep.hpp"

#include <QSocketNotifier>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>

namespace kestrel::shell {

EventGlue::EventGlue(std::function<void(const std::string&)> fatal, QObject* parent)
    : QObject(parent), fatal_(std::move(fatal)), wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (wakeFd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  notifier_ = new QSocketNotifier(wakeFd_, QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this] { RunQueued(); });
}

EventGlue::~EventGlue() {
  delete notifier_;
  close(wakeFd_);
}

void EventGlue::Post(std::function<void()> fn) {
  {
    const std::lock_guard guard(lock_);
    if (queued_.size() >= kMaxQueued) {
      ++dropped_;
      return; // the wake-up already written is still there for the queue in front
    }
    queued_.push_back(std::move(fn));
    highWater_ = std::max(highWater_, queued_.size());
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = write(wakeFd_, &one, sizeof one); // full only after 2^64 - 1 wakes
}

void EventGlue::RunQueued() {
  std::uint64_t count = 0;
  [[maybe_unused]] const auto read = ::read(wakeFd_, &count, sizeof count);
  // One call at a time, so that a call that runs a nested event loop (a message box) finds the
  // rest still queued in order.
  for (;;) {
    std::function<void()> fn;
    {
      const std::lock_guard guard(lock_);
      if (dropped_ != droppedReported_) {
        std::fprintf(stderr, "kestrel: the window fell behind; %llu queued reports were dropped\n",
                     static_cast<unsigned long long>(dropped_ - droppedReported_));
        droppedReported_ = dropped_;
      }
      if (queued_.empty()) return;
      fn = std::move(queued_.front());
      queued_.pop_front();
    }
    Guard(fn);
  }
}

void EventGlue::Guard(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) { fatal_(e.what()); } catch (const char* text) {
    fatal_(text != nullptr ? text : "");
  }
}

std::size_t EventGlue::QueuedHighWater() {
  const std::lock_guard guard(lock_);
  return highWater_;
}

std::uint64_t EventGlue::Dropped() {
  const std::lock_guard guard(lock_);
  return dropped_;
}

void InstallBell(EventGlue& glue, std::function<void()> ring) {
  SetBell([&glue, ring = std::move(ring)] { glue.Post(ring); });
}

} // namespace kestrel::shell
