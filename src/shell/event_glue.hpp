#pragma once

// What both front ends (window and headless) need from Qt's event loop: reports queued to the
// window's thread from any thread, every entry into the controller run inside the error guard,
// and the short waits during which the window keeps handling its events.

#include <QObject>

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

  // Queues `fn` to this object's thread, behind what was queued before; dropped when the object
  // goes first. Any thread.
  void Post(std::function<void()> fn);
  // Runs `fn` now inside the error guard.
  void Guard(const std::function<void()>& fn);
  // Handles what is pending; false once the program is ending.
  bool PumpEvents();
  void SetQuitting() noexcept { quitting_ = true; }
  [[nodiscard]] bool Quitting() const noexcept { return quitting_; }

private:
  void RunQueued();

  std::function<void(const std::string&)> fatal_;
  bool quitting_ = false;
  // The queue is ours, under a lock of the standard library, rather than Qt's posted events:
  // what a call carries is then handed over visibly to every checking tool, and an eventfd only
  // wakes the loop.
  std::mutex lock_;
  std::deque<std::function<void()>> queued_;
  int wakeFd_ = -1;
  QSocketNotifier* notifier_ = nullptr;
};

} // namespace kestrel::shell
