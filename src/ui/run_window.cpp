// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/run_window.hpp"

#include "config/translation.hpp"
#include "platform/beep.hpp"
#include "platform/instance_endpoint.hpp"
#include "platform/realtime.hpp"
#include "shell/app_context.hpp"
#include "shell/event_glue.hpp"
#include "shell/instance_server.hpp"
#include "shell/signal_watcher.hpp"
#include "shell/status_report.hpp"
#include "ui/main_window.hpp"

#include <QApplication>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdlib>
#include <memory>

namespace kestrel::ui {

namespace {

using controller::kStatusTickMs;

// A failure that stops the work: the box, then the process ends at once, as nothing after the
// failure can be trusted to shut down in order.
[[noreturn]] void Fatal(const Translator& translator, const std::string& text) {
  std::fprintf(stderr, "kestrel: Error: %s\n", text.c_str());
  QString shown = QString::fromUtf8(translator.TranslateString("Error: %s"));
  shown.replace(QStringLiteral("%s"), QString::fromUtf8(text.c_str()));
  QMessageBox box(QMessageBox::Critical, QStringLiteral("Kestrel"), shown, QMessageBox::Ok);
  box.setWindowFlag(Qt::WindowStaysOnTopHint);
  box.exec();
  std::_Exit(0);
}

} // namespace

int RunWindow(shell::AppContext& context, bool startHidden) {
  // The window hides to the tray and message boxes come and go: none of that ends the program,
  // only "Exit" and the requests from outside do.
  QApplication::setQuitOnLastWindowClosed(false);
  shell::EventGlue glue([&context](const std::string& text) { Fatal(context.translator, text); });
  shell::InstallBell(glue, [] { QApplication::beep(); });

  std::unique_ptr<MainWindow> window;
  glue.Guard([&] {
    window = std::make_unique<MainWindow>(context.Services(), glue);
    context.Attach(&window->Controller());
  });
  if (window == nullptr) return 1;
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    window->EnableTray();
  } else {
    window->WatchForTray([] { return QSystemTrayIcon::isSystemTrayAvailable(); });
  }
  glue.Guard([&] { window->Init(); });
  // A hidden start hides to the tray, or without one to the task bar: never out of reach.
  window->ShowMainWindow(!startHidden);

  auto cancel = [&] {
    glue.Post([&] {
      if (!glue.Quitting()) window->Controller().OnCancel();
    });
  };
  shell::SignalWatcher watcher([&](int /*signal*/) { cancel(); });
  shell::InstanceServer instance(
      InstanceSocketPath(),
      [&] {
        glue.Guard([&] {
          if (!glue.Quitting()) window->Controller().OnStatusReport(kReportShow, 1);
        });
      },
      cancel,
      [&](bool server, bool on) {
        glue.Post([&, server, on] {
          if (!glue.Quitting()) window->Controller().OnSwitchRequest(server, on);
        });
      });
  instance.AnswerStatus(
      [&] { return shell::StatusJson(window->Controller(), context.drops, ProcessRealtimeLedger()); });

  QTimer status;
  QObject::connect(&status, &QTimer::timeout, [&] {
    if (!glue.Quitting()) window->StatusTick();
  });
  status.start(kStatusTickMs);

  const int code = QApplication::exec();
  status.stop();
  context.Attach(nullptr);
  window.reset();
  SetBell(nullptr);
  return code;
}

} // namespace kestrel::ui
