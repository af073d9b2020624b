// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A main window on made-up surroundings: a temporary Kestrel.dat, a device list of a few names,
// MIDI outputs that open only the names they know, and one local address. Shared by the window's
// tests and the screenshot program. The server, when switched on, opens a real broadcast socket:
// whatever uses this runs in a network namespace of its own.

#include "config/settings.hpp"
#include "config/translation.hpp"
#include "controller/main_dlg.hpp"
#include "core/drop_counters.hpp"
#include "core/dump_store.hpp"
#include "core/midi_outputs.hpp"
#include "core/send_queue.hpp"
#include "core/window_flags.hpp"
#include "net/server_engine.hpp"
#include "shell/event_glue.hpp"
#include "support/child_process.hpp"
#include "support/controller_services.hpp"
#include "support/fake_midi.hpp"
#include "ui/main_window.hpp"

#include <gtest/gtest.h>

#include <net/if.h>
#include <sched.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <vector>

// Readable QStrings in failure messages.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace kestrel::test {

// The child widget of this object name, or a failure.
template <class W>
W* Find(QWidget& parent, const char* name) {
  auto* widget = parent.findChild<W*>(QString::fromLatin1(name));
  if (widget == nullptr) ADD_FAILURE() << "no widget " << name;
  return widget;
}

} // namespace kestrel::test

namespace kestrel::test {

// Everything a window is built on, and the window. Message boxes land in `messages`.
struct WindowBench {
  TempDir dir;
  Settings settings{dir.Path() / "Kestrel.dat"};
  Translator translator;
  WindowFlags flags;
  DropCounters drops;
  DumpStore dump{SystemClock(), flags};
  SendQueue queue{dump, flags};
  net::ServerLink link;
  FakeDevices devices;
  OutputLog outputs;
  std::vector<std::string> messages;
  std::vector<std::string> fatal;
  // Restarts the made-up provider (RestorePortCount); unset: no provider to restart.
  std::function<int(int count)> setPortCount;
  std::vector<std::string> startupProblems; // what start-up could not do
  bool noSequencer = false;
  shell::EventGlue glue{[this](const std::string& text) { fatal.push_back(text); }};
  std::unique_ptr<ui::MainWindow> window;

  controller::ControllerServices Services() {
    controller::ControllerServices services = MadeUpServices({.settings = settings,
                                                              .translator = translator,
                                                              .flags = flags,
                                                              .dump = dump,
                                                              .queue = queue,
                                                              .link = link,
                                                              .devices = devices,
                                                              .outputs = outputs,
                                                              .dir = dir.Path()});
    services.setVirtualPortCount = setPortCount;
    services.drops = &drops;
    services.startupProblems = startupProblems;
    services.noSequencer = noSequencer;
    return services;
  }

  // Builds and initialises the window, as start-up does.
  ui::MainWindow& Open() {
    window = std::make_unique<ui::MainWindow>(Services(), glue);
    window->SetMessageHook([this](const std::string& text) { messages.push_back(text); });
    glue.Guard([this] { window->Init(); });
    return *window;
  }

  ~WindowBench() { window.reset(); }
  WindowBench() {
    devices.in = {"UM-ONE MIDI 1", "Keystation 49"};
    devices.out = {"Kestrel Port1", "Kestrel Port2", "Broken Synth", "Synth A"};
    outputs.known = {"Kestrel Port1", "Kestrel Port2", "Synth A", "--Not Connected--"};
  }
  WindowBench(const WindowBench&) = delete;
  WindowBench& operator=(const WindowBench&) = delete;
};

// Switching the server on opens a broadcast socket. ctest already runs the programs built on this
// in a network namespace of their own; run by hand, they make one before anything else starts.
// Call first thing in main, while the process has a single thread.
inline bool IsolateNetwork(const char* program) {
  bool onlyLoopback = true;
  if (struct if_nameindex* names = if_nameindex(); names != nullptr) {
    for (const struct if_nameindex* n = names; n->if_index != 0; ++n) {
      if (std::strcmp(n->if_name, "lo") != 0) onlyLoopback = false;
    }
    if_freenameindex(names);
  }
  if (onlyLoopback || unshare(CLONE_NEWNET) == 0) return true;
  std::fprintf(stderr, "%s: cannot leave the machine's network (unshare): %s\n", program, std::strerror(errno));
  return false;
}

// A test case on one window: both engines off and no client row on at the start (the client and
// its rows are on by default), and no fatal error at the end.
class WindowTest : public ::testing::Test {
protected:
  void SetUp() override {
    bench.settings.WriteConfigInt("Client", "Enable", 0);
    for (int n = 1; n <= controller::kRows; ++n) bench.settings.WriteConfigInt(config::ClientPortKey(n), 0);
  }
  void TearDown() override { EXPECT_TRUE(bench.fatal.empty()) << bench.fatal.front(); }

  [[nodiscard]] int Stored(const char* section, const char* key) const {
    return bench.settings.ReadConfigInt(section, key, -1);
  }

  WindowBench bench;
};

} // namespace kestrel::test
