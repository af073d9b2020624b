// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/headless.hpp"

#include "core/drop_counters.hpp"
#include "core/dump_printer.hpp"
#include "platform/instance_endpoint.hpp"
#include "platform/realtime.hpp"
#include "shell/app_context.hpp"
#include "shell/event_glue.hpp"
#include "shell/instance_server.hpp"
#include "shell/signal_watcher.hpp"
#include "shell/status_report.hpp"

#include <QCoreApplication>
#include <QTimer>

#include <poll.h>

#include <csignal>
#include <cstring>
#include <ctime>

namespace kestrel::shell {

namespace {

using controller::kApplyDelayMs;
using controller::kStatusTickMs;

// Each engine thread asks for real time as it starts, RTKit for at most half a second; by then
// the threads started with the program have their answers.
constexpr int kRealtimeReportDelayMs = 1000;

void Line(std::FILE* to, const std::string& text) {
  // Under a supervisor, standard error may be a pipe that nobody reads: a line that would wait
  // for room is left out rather than stop the program's thread, and with it every report.
  if (to == stderr) {
    pollfd room{fileno(to), POLLOUT, 0};
    if (poll(&room, 1, 0) != 1 || (room.revents & POLLOUT) == 0) return;
  }
  std::fprintf(to, "%s\n", text.c_str());
  std::fflush(to);
}

class HeadlessView final : public controller::MainView {
public:
  HeadlessView(std::FILE* out, std::FILE* err)
      : out_(out), err_(err), glue_([this](const std::string& text) { Fatal(text); }) {
    applyTimer_.setSingleShot(true);
  }

  void ReadControls(controller::ControlValues& /*values*/) override {}
  void WriteControls() override {}
  void ShowMessage(const std::string& text) override { Line(err_, text); }
  void ShowError(const std::string& text) override { Line(err_, "Error: " + text); }
  void ShowErrorMessage(const std::string& text) override { Line(err_, text); }
  void ShowBusyNotice(const std::string& text) override { Line(out_, text); }
  void HideBusyNotice() override {}
  void ShowMainWindow(bool /*show*/) override {}
  void RepaintLamp(int /*index*/) override {}
  void StartApplyTimer() override { applyTimer_.start(kApplyDelayMs); }
  void StopApplyTimer() override { applyTimer_.stop(); }
  void Post(std::function<void()> fn) override { glue_.Post(std::move(fn)); }
  void Notice(const std::string& text) override { Line(out_, text); }
  void Quit() override {
    glue_.SetQuitting();
    QCoreApplication::exit(exitCode_);
  }

  void Fatal(const std::string& text) {
    Line(err_, "Error: " + text);
    // A failure that stops the work ends the program; a script sees it in the exit code.
    std::_Exit(1);
  }

  EventGlue& Glue() noexcept { return glue_; }
  QTimer& ApplyTimer() noexcept { return applyTimer_; }

private:
  std::FILE* out_;
  std::FILE* err_;
  EventGlue glue_;
  QTimer applyTimer_;
  int exitCode_ = 0;
};

} // namespace

int RunHeadless(AppContext& context, const HeadlessOptions& options, std::FILE* out, std::FILE* err) {
  HeadlessView view(out, err);
  std::unique_ptr<controller::CMainDlg> window;
  view.Glue().Guard([&] {
    window = std::make_unique<controller::CMainDlg>(context.Services(), view);
    context.Attach(window.get());
    if (options.dump) window->LogBothSidesForThisRun();
    window->OnInitDialog();
  });

  auto cancel = [&] {
    view.Glue().Post([&] {
      if (window != nullptr && !view.Glue().Quitting()) window->OnCancel();
    });
  };
  SignalWatcher watcher([&](int signal) {
    Line(out, std::string("Ending on ") + (signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "SIGHUP"));
    cancel();
  });
  InstanceServer instance(
      InstanceSocketPath(), [] {}, cancel,
      [&](bool server, bool on) {
        view.Glue().Post([&, server, on] {
          if (window != nullptr && !view.Glue().Quitting()) window->OnSwitchRequest(server, on);
        });
      });
  instance.AnswerStatus([&] { return StatusJson(*window, context.drops, ProcessRealtimeLedger()); });

  DumpPrinter printer(context.dump, out);
  QTimer status;
  QObject::connect(&status, &QTimer::timeout, [&] {
    view.Glue().Guard([&] {
      window->OnStatusTimer();
      if (options.dump) printer.PrintNewRows();
    });
  });
  QObject::connect(&view.ApplyTimer(), &QTimer::timeout, [&] { view.Glue().Guard([&] { window->OnApplyTimer(); }); });
  status.start(kStatusTickMs);
  QTimer realtime;
  realtime.setSingleShot(true);
  QObject::connect(&realtime, &QTimer::timeout, [&] { Line(out, RealtimeReport()); });
  realtime.start(kRealtimeReportDelayMs);
  // The drop counters once a period, with what grew during it.
  QTimer stats;
  DropCounts lastStats = context.drops.Snapshot();
  QObject::connect(&stats, &QTimer::timeout, [&] {
    const DropCounts now = context.drops.Snapshot();
    Line(out, DropStatsLine(now, lastStats));
    lastStats = now;
  });
  if (options.statsSeconds > 0) stats.start(options.statsSeconds * 1000);

  const int code = QCoreApplication::exec();
  status.stop();
  if (options.dump) printer.PrintNewRows();
  context.Attach(nullptr);
  window.reset();
  Line(out, "Kestrel ended");
  return code;
}

} // namespace kestrel::shell
