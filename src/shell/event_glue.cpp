#include "shell/event_glue.hpp"

#include <QCoreApplication>
#include <QMetaObject>

#include <exception>

namespace kestrel::shell {

EventGlue::EventGlue(std::function<void(const std::string&)> fatal, QObject* parent)
    : QObject(parent), fatal_(std::move(fatal)) {}

void EventGlue::Post(std::function<void()> fn) {
  QMetaObject::invokeMethod(
      this, [this, fn = std::move(fn)] { Guard(fn); }, Qt::QueuedConnection);
}

void EventGlue::Guard(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) { fatal_(e.what()); } catch (const char* text) {
    fatal_(text != nullptr ? text : "");
  }
}

bool EventGlue::PumpEvents() {
  QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  return !quitting_;
}

} // namespace kestrel::shell
