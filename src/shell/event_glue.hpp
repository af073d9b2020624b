#pragma once

// What both front ends (window and headless) need from Qt's event loop: reports queued to the
// window's thread from any thread, every entry into the controller run inside the error guard,
// and the short waits during which the window keeps handling its events.

#include <QEvent>
#include <QObject>

#include <functional>
#include <string>

namespace kestrel::shell {

class EventGlue : public QObject {
public:
  // `fatal` hears the text of a failure raised while an event was handled: "Error: %s", then
  // the program ends.
  explicit EventGlue(std::function<void(const std::string&)> fatal, QObject* parent = nullptr);

  // Queues `fn` to this object's thread; dropped when the object is gone first. Any thread.
  void Post(std::function<void()> fn);
  // Runs `fn` now inside the error guard.
  void Guard(const std::function<void()>& fn);
  // Handles what is pending; false once the program is ending.
  bool PumpEvents();
  void SetQuitting() noexcept { quitting_ = true; }
  [[nodiscard]] bool Quitting() const noexcept { return quitting_; }

protected:
  bool event(QEvent* e) override;

private:
  std::function<void(const std::string&)> fatal_;
  bool quitting_ = false;
};

} // namespace kestrel::shell
