// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What both front ends (window and headless) need from Qt's event loop: reports queued to the
// window's thread from any thread, and every entry into the controller run inside the error guard.

#include <QObject>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

class QSocketNotifier;

namespace kestrel::shell {

class EventGlue : public QObject {
public:
  // `fatal` hears the text of a failure raised while an event was handled: "Error: %s", then
  // the program ends.
  explicit EventGlue(std::function<void(const std::string&)> fatal, QObject* parent = nullptr);
  ~EventGlue() override;
  EventGlue(const EventGlue&) = delete;
  EventGlue& operator=(const EventGlue&) = delete;

  // At most this many calls wait at once: reports from other threads are folded before they are
  // posted, so a queue this long means the window is stuck, and what comes beyond it is dropped
  // (and counted) instead of growing without end.
  static constexpr std::size_t kMaxQueued = 4096;

  // Queues `fn` to this object's thread, behind what was queued before; dropped when the object
  // goes first, or when kMaxQueued calls are already waiting. Any thread.
  void Post(std::function<void()> fn);

  // Runs `fn` now inside the error guard.
  void Guard(const std::function<void()>& fn);
  void SetQuitting() noexcept { quitting_ = true; }
  [[nodiscard]] bool Quitting() const noexcept { return quitting_; }
  // The longest the queue has been, and the calls dropped because it was full. Any thread.
  [[nodiscard]] std::size_t QueuedHighWater();
  [[nodiscard]] std::uint64_t Dropped();

private:
  void RunQueued();

  std::function<void(const std::string&)> fatal_;
  bool quitting_ = false;
  // The queue is ours, under a lock of the standard library, rather than Qt's posted events:
  // what a call carries is then handed over visibly to every checking tool, and an eventfd only
  // wakes the loop.
  std::mutex lock_;
  std::deque<std::function<void()>> queued_;
  std::size_t highWater_ = 0;
  std::uint64_t dropped_ = 0;
  std::uint64_t droppedReported_ = 0; // this object's thread only
  int wakeFd_ = -1;
  QSocketNotifier* notifier_ = nullptr;
};

// Makes the program's bell ring through `glue`: a beep from any thread runs `ring` on the glue's
// thread (Qt's bell, like every widget call, belongs to the window's thread). Undo with
// SetBell(nullptr) before the glue goes.
void InstallBell(EventGlue& glue, std::function<void()> ring);

} // namespace kestrel::shell
