// kestrel: MIDI across the studio network, in a window or headless.

#include "controller/app_context.hpp"
#include "controller/setting_assignment.hpp"
#include "core/instance_endpoint.hpp"
#include "core/settings.hpp"
#include "midi/alsa_seq.hpp"
#include "shell/headless.hpp"
#include "shell/signal_watcher.hpp"
#include "ui/run_window.hpp"

#include <QApplication>
#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

namespace {

struct CommandLine {
  bool hidden = false;
  bool headless = false;
  bool dump = false;
  bool devices = false;
  bool help = false;
  std::vector<std::string> assignments;
  std::vector<std::string> requests; // for the running instance: "server on", ...
  std::string error;
};

CommandLine Parse(int argc, char** argv) {
  CommandLine c;
  // "/m" counts only as the first argument, in any letter case: started hidden (autostart).
  if (argc > 1 && strcasecmp(argv[1], "/m") == 0) c.hidden = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--headless") {
      c.headless = true;
    } else if (arg == "--dump") {
      c.dump = true;
    } else if (arg == "--devices") {
      c.devices = true;
    } else if (arg == "--help" || arg == "-h") {
      c.help = true;
    } else if (arg == "--set" && i + 1 < argc) {
      c.assignments.emplace_back(argv[++i]);
    } else if (arg.rfind("--set=", 0) == 0) {
      c.assignments.push_back(arg.substr(6));
    } else if ((arg == "--server" || arg == "--client") && i + 1 < argc &&
               (std::string_view(argv[i + 1]) == "on" || std::string_view(argv[i + 1]) == "off")) {
      c.requests.push_back(arg.substr(2) + " " + argv[++i]);
    } else if (arg.rfind("--", 0) == 0) {
      c.error = "unknown option " + arg;
    }
  }
  return c;
}

void PrintHelp() {
  std::printf("Usage: kestrel [/m] [--headless [--dump]] [--set Section.Key=Value]... [--devices]\n"
              "       kestrel --server on|off | --client on|off\n"
              "  /m          start hidden in the tray (the autostart entry uses it)\n"
              "  --headless  run without a window: server and client as Kestrel.dat says; connection\n"
              "              changes on standard output, errors on standard error; ends on SIGINT/SIGTERM\n"
              "  --dump      with --headless: print every event sent and received\n"
              "  --set S.K=V write one setting to Kestrel.dat first, as the window would (repeatable)\n"
              "  --devices   list the MIDI In and Out devices and end\n"
              "  --server on|off, --client on|off\n"
              "              switch the running Kestrel's server or client, as its tray menu does\n"
              "\nSettings for --set:\n%s",
              kestrel::ui::SettingKeysHelp().c_str());
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
  if (cmd.help) {
    PrintHelp();
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
  if (!cmd.requests.empty()) {
    if (lock.TryAcquire()) {
      std::fprintf(stderr, "kestrel: no Kestrel runs to switch\n");
      return 1;
    }
    for (const std::string& request : cmd.requests) {
      if (!kestrel::SendToRunningInstance(request)) {
        std::fprintf(stderr, "kestrel: the running Kestrel did not answer\n");
        return 1;
      }
    }
    return 0;
  }
  if (!lock.TryAcquire()) {
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
    if (!kestrel::ui::ApplySettingAssignment(settings, assignment, &error)) {
      std::fprintf(stderr, "kestrel: %s\n", error.c_str());
      return 2;
    }
  }
  if (!cmd.assignments.empty() && !cmd.headless) {
    std::printf("Written to %s\n", dataFile.c_str());
    if (!HaveDisplay()) return 0;
  }

  auto notice = [](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); };
  if (cmd.headless) {
    QCoreApplication app(argc, argv);
    kestrel::ui::AppContext context(dataFile, notice);
    return kestrel::shell::RunHeadless(context, {.dump = cmd.dump});
  }
  if (!HaveDisplay()) {
    std::fprintf(stderr, "kestrel: no display; run kestrel --headless\n");
    return 1;
  }
  QApplication app(argc, argv);
  kestrel::ui::AppContext context(dataFile, notice);
  return kestrel::ui::RunWindow(context, cmd.hidden);
}
