// SPDX-License-Identifier: GPL-3.0-or-later
// kestrel: MIDI across the studio network, in a window or headless.

#include "config/setting_assignment.hpp"
#include "config/settings.hpp"
#include "midi/alsa_seq.hpp"
#include "platform/instance_endpoint.hpp"
#include "platform/paths.hpp"
#include "shell/app_context.hpp"
#include "shell/headless.hpp"
#include "shell/signal_watcher.hpp"
#include "ui/run_window.hpp"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

struct CommandLine {
  bool hidden = false;
  bool headless = false;
  bool dump = false;
  bool devices = false;
  bool help = false;
  bool version = false;
  bool status = false;
  int statsSeconds = 0; // --stats: 0 when not asked
  std::vector<std::string> assignments;
  std::vector<std::string> requests; // for the running instance: "server on", ...
  std::vector<std::string> ignored;  // arguments the program does not know: warned about, then ignored
  std::string error;                 // a known option used wrongly
  QString helpText;
};

CommandLine Parse(int argc, char** argv) {
  CommandLine c;
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral("MIDI across the studio network, in a window or headless."));
  const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help."));
  const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Show the version."));
  const QCommandLineOption minimized(QStringLiteral("minimized"),
                                     QStringLiteral("Start hidden in the tray, or minimized without one (as /m)."));
  const QCommandLineOption headless(QStringLiteral("headless"),
                                    QStringLiteral("Run without a window: server and client as Kestrel.dat says; "
                                                   "notices on standard error; ends on SIGINT or SIGTERM."));
  const QCommandLineOption dump(QStringLiteral("dump"), QStringLiteral("With --headless: print every event."));
  const QCommandLineOption set(QStringLiteral("set"),
                               QStringLiteral("Write one setting to Kestrel.dat first, as the window would "
                                              "(repeatable; the settings are listed below)."),
                               QStringLiteral("Section.Key=Value"));
  const QCommandLineOption devices(QStringLiteral("devices"),
                                   QStringLiteral("List the MIDI In and Out devices and end."));
  const QCommandLineOption server(QStringLiteral("server"),
                                  QStringLiteral("Switch the running Kestrel's server, as its tray menu does."),
                                  QStringLiteral("on|off"));
  const QCommandLineOption client(QStringLiteral("client"),
                                  QStringLiteral("Switch the running Kestrel's client, as its tray menu does."),
                                  QStringLiteral("on|off"));
  const QCommandLineOption status(QStringLiteral("status"),
                                  QStringLiteral("Print the running Kestrel's state as JSON: connection, server "
                                                 "heard, real time and what it dropped since it started."));
  const QCommandLineOption stats(QStringLiteral("stats"),
                                 QStringLiteral("With --headless: print what was dropped since the start, one "
                                                "line every SECONDS seconds (1 to 86400)."),
                                 QStringLiteral("SECONDS"));
  parser.addOptions({help, version, minimized, headless, dump, set, devices, server, client, status, stats});
  parser.addPositionalArgument(QStringLiteral("/m"), QStringLiteral("As --minimized (first argument only)."),
                               QStringLiteral("[/m]"));

  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  // Unknown options are warned about and ignored, so parsing goes on past them.
  parser.parse(arguments);
  for (const QString& name : parser.unknownOptionNames()) {
    c.ignored.push_back((name.size() == 1 ? "-" : "--") + name.toStdString());
  }
  // "/m" counts only as the first argument, in any letter case: started hidden (autostart).
  const QStringList positional = parser.positionalArguments();
  for (int i = 0; i < positional.size(); ++i) {
    const bool hide = i == 0 && argc > 1 && positional[i].compare(QStringLiteral("/m"), Qt::CaseInsensitive) == 0 &&
                      arguments[1] == positional[i];
    if (hide) {
      c.hidden = true;
    } else {
      c.ignored.push_back(positional[i].toStdString());
    }
  }
  c.hidden = c.hidden || parser.isSet(minimized);
  c.headless = parser.isSet(headless);
  c.dump = parser.isSet(dump);
  c.devices = parser.isSet(devices);
  c.help = parser.isSet(help);
  c.version = parser.isSet(version);
  c.status = parser.isSet(status);
  if (parser.isSet(stats)) {
    const QString value = parser.value(stats);
    bool number = false;
    const int seconds = value.toInt(&number);
    if (!number || seconds < 1 || seconds > 86400) {
      c.error = "--stats takes a number of seconds from 1 to 86400, not \"" + value.toStdString() + "\"";
    } else if (!c.headless) {
      c.error = "--stats works with --headless";
    } else {
      c.statsSeconds = seconds;
    }
  }
  for (const QString& value : parser.values(set)) c.assignments.push_back(value.toStdString());
  // Switch requests in the order given: "--client off --server off" switches the client first.
  int serverValue = 0;
  int clientValue = 0;
  for (const QString& name : parser.optionNames()) {
    const bool isServer = name == QStringLiteral("server");
    if (!isServer && name != QStringLiteral("client")) continue;
    const QStringList values = parser.values(isServer ? server : client);
    int& next = isServer ? serverValue : clientValue;
    if (next >= values.size()) continue;
    const QString& value = values[next++];
    if (value != QStringLiteral("on") && value != QStringLiteral("off")) {
      c.error = "--" + name.toStdString() + " takes on or off, not \"" + value.toStdString() + "\"";
    } else {
      c.requests.push_back(name.toStdString() + " " + value.toStdString());
    }
  }
  c.helpText = parser.helpText().replace(QStringLiteral("<executable_name>"), QStringLiteral("kestrel"));
  return c;
}

void PrintHelp(const CommandLine& cmd) {
  std::printf("%s\nSettings for --set:\n%s", cmd.helpText.toLocal8Bit().constData(),
              kestrel::config::SettingKeysHelp().c_str());
}

int ListDevices() {
  std::string error;
  const kestrel::midi::SeqHandle seq = kestrel::midi::OpenSequencer("Kestrel Network", &error);
  if (!seq) {
    std::fprintf(stderr, "No MIDI: %s\n", error.c_str());
    return 1;
  }
  const kestrel::midi::DeviceDirectory directory(seq.get());
  std::vector<std::string> list;
  directory.ListMidiInDevices(list);
  std::printf("MIDI In (for Server.MidiIN_Port):\n");
  for (const auto& name : list) std::printf("  %s\n", name.c_str());
  list.clear();
  directory.ListMidiOutDevices(list);
  std::printf("MIDI Out (for Client.To1..To8):\n");
  for (const auto& name : list) std::printf("  %s\n", name.c_str());
  std::printf("Kestrel ports: %d\n", directory.CountVirtualPorts());
  return 0;
}

bool HaveDisplay() {
  // Read before any thread exists.
  // NOLINTBEGIN(concurrency-mt-unsafe)
  return std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr ||
         std::getenv("QT_QPA_PLATFORM") != nullptr;
  // NOLINTEND(concurrency-mt-unsafe)
}

} // namespace

int main(int argc, char** argv) {
  // Before any thread exists, so that every thread leaves these signals to the event loop.
  kestrel::shell::BlockTerminationSignals();
  const CommandLine cmd = Parse(argc, argv);
  for (const std::string& argument : cmd.ignored) {
    std::fprintf(stderr, "kestrel: ignoring the unknown argument %s (kestrel --help)\n", argument.c_str());
  }
  if (cmd.help) {
    PrintHelp(cmd);
    return 0;
  }
  if (cmd.version) {
    std::printf("kestrel %s\n", KESTREL_VERSION);
    return 0;
  }
  if (!cmd.error.empty()) {
    std::fprintf(stderr, "kestrel: %s (kestrel --help)\n", cmd.error.c_str());
    return 2;
  }
  if (cmd.devices) return ListDevices();

  // The instance lock and socket live in the runtime folder: without a safe one, no start.
  if (std::string error; !kestrel::RuntimeDirectory(&error)) {
    std::fprintf(stderr, "kestrel: %s\n", error.c_str());
    return 1;
  }
  kestrel::InstanceLock lock;
  std::string lockError;
  const kestrel::InstanceLock::Result locked = lock.TryAcquire(&lockError);
  if (locked == kestrel::InstanceLock::Result::Failed) {
    std::fprintf(stderr, "kestrel: %s\n", lockError.c_str());
    return 1;
  }
  if (!cmd.requests.empty() || cmd.status) {
    if (locked == kestrel::InstanceLock::Result::Acquired) {
      std::fprintf(stderr,
                   cmd.requests.empty() ? "kestrel: no Kestrel runs\n" : "kestrel: no Kestrel runs to switch\n");
      return 1;
    }
    for (const std::string& request : cmd.requests) {
      if (!kestrel::SendToRunningInstance(request)) {
        std::fprintf(stderr, "kestrel: the running Kestrel did not answer\n");
        return 1;
      }
    }
    if (cmd.status) {
      const auto answer = kestrel::AskRunningInstance(kestrel::kStatusRequest);
      if (!answer || answer->empty()) {
        std::fprintf(stderr, "kestrel: the running Kestrel did not answer\n");
        return 1;
      }
      std::fputs(answer->c_str(), stdout);
    }
    return 0;
  }
  if (locked == kestrel::InstanceLock::Result::Held) {
    if (!cmd.assignments.empty()) {
      std::fprintf(stderr, "kestrel: Kestrel already runs; close it before changing its settings\n");
      return 1;
    }
    // The running instance comes to the front; this one ends quietly.
    const bool shown = kestrel::SendToRunningInstance(kestrel::kShowRequest);
    if (cmd.headless) std::fprintf(stderr, "kestrel: Kestrel already runs%s\n", shown ? "" : " (it did not answer)");
    return 0;
  }

  const auto dataFile = kestrel::ResolveDataFilePath(kestrel::DataPathInputs::FromProcess());
  for (const std::string& assignment : cmd.assignments) {
    kestrel::Settings settings(dataFile);
    std::string error;
    if (!kestrel::config::ApplySettingAssignment(settings, assignment, &error)) {
      std::fprintf(stderr, "kestrel: %s\n", error.c_str());
      return 2;
    }
  }
  if (!cmd.assignments.empty() && !cmd.headless) {
    std::printf("Written to %s\n", dataFile.c_str());
    if (!HaveDisplay()) return 0;
  }

  // What start-up could not do is said by the front end, with its other notices.
  auto notice = [](const std::string& /*text*/) {};
  if (cmd.headless) {
    QCoreApplication app(argc, argv);
    kestrel::shell::AppContext context(dataFile, notice);
    return kestrel::shell::RunHeadless(context, {.dump = cmd.dump, .statsSeconds = cmd.statsSeconds});
  }
  if (!HaveDisplay()) {
    std::fprintf(stderr, "kestrel: no display; run kestrel --headless\n");
    return 1;
  }
  QApplication app(argc, argv);
  // The desktop entry's name: Wayland compositors find the window's icon through it.
  QGuiApplication::setDesktopFileName(QStringLiteral("org.example.kestrel"));
  kestrel::shell::AppContext context(dataFile, notice);
  return kestrel::ui::RunWindow(context, cmd.hidden);
}
