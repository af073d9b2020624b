// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// SIGINT, SIGTERM and SIGHUP as events of the window's thread, so that they end the program in
// order (server off, client off) instead of killing it with notes sounding.

#include <QObject>

#include <functional>

class QSocketNotifier;

namespace kestrel::shell {

// Blocks the three signals in the calling thread and every thread it starts afterwards. Call it
// first thing in main, before any thread exists.
void BlockTerminationSignals();

class SignalWatcher : public QObject {
public:
  explicit SignalWatcher(std::function<void(int signal)> onSignal, QObject* parent = nullptr);
  ~SignalWatcher() override;

private:
  int fd_ = -1;
  QSocketNotifier* notifier_ = nullptr;
  std::function<void(int)> onSignal_;
};

} // namespace kestrel::shell
