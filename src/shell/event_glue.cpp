#include "shell/event_glue.hpp"

#include <QCoreApplication>

#include <exception>

namespace kestrel::shell {

namespace {

// One queued call; Qt owns the event from postEvent on and deletes it after delivery, or with
// the receiver when that goes first.
class CallEvent final : public QEvent {
public:
  static QEvent::Type Kind() {
    static const auto kKind = static_cast<QEvent::Type>(QEvent::registerEventType());
    return kKind;
  }
  explicit CallEvent(std::function<void()> fn) : QEvent(Kind()), fn_(std::move(fn)) {}
  void Run() const { fn_(); }

private:
  std::function<void()> fn_;
};

} // namespace

EventGlue::EventGlue(std::function<void(const std::string&)> fatal, QObject* parent)
    : QObject(parent), fatal_(std::move(fatal)) {}

void EventGlue::Post(std::function<void()> fn) {
  QCoreApplication::postEvent(this, new CallEvent(std::move(fn))); // NOLINT(cppcoreguidelines-owning-memory)
}

bool EventGlue::event(QEvent* e) {
  if (e->type() != CallEvent::Kind()) return QObject::event(e);
  Guard([e] { static_cast<const CallEvent*>(e)->Run(); });
  return true;
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
