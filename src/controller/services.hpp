// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the controller works with that outlives it: settings, the engines' shared objects, the
// machine's devices and addresses, and the ways to restart the provider and probe a server.

#include "base/tick_clock.hpp"

#include <filesystem>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <vector>

namespace kestrel {
class DropCounters;
class DumpStore;
class MidiOutputs;
class SendQueue;
class Settings;
class Translator;
struct WindowFlags;
} // namespace kestrel

namespace kestrel::midi {
class InputHub;
}

namespace kestrel::net {
struct ServerLink;
}

namespace kestrel::controller {

// The machine's MIDI devices as the window lists them.
class DeviceSource {
public:
  virtual ~DeviceSource() = default;
  [[nodiscard]] virtual std::vector<std::string> MidiInDevices() const = 0;  // ordinary inputs, device order
  [[nodiscard]] virtual std::vector<std::string> MidiOutDevices() const = 0; // device order
  [[nodiscard]] virtual int CountVirtualPorts() const = 0;
};

// Everything the window works with that outlives it.
struct ControllerServices {
  Settings& settings;
  const Translator& translator;
  WindowFlags& flags;
  DumpStore& dump;
  SendQueue& queue;
  net::ServerLink& serverLink;
  midi::InputHub* inputs = nullptr; // null: no sequencer, nothing is captured
  const DeviceSource& devices;
  std::function<std::unique_ptr<MidiOutputs>()> makeOutputs; // the client engine's output slots
  // This machine's IPv4 addresses as the IP list offers them: dotted, or "10.0.0.5 - eth0".
  std::function<std::vector<std::string>()> localAddresses;
  // The interfaces a server can broadcast on: "eth0 - 10.0.0.5". Unset: the machine's own.
  std::function<std::vector<std::string>()> localInterfaces;
  std::filesystem::path autostartEntry;
  std::filesystem::path programPath;
  const TickClock& clock = SystemClock();
  // Sets the provider's port count, restarts it and waits for its ports; returns how many are
  // usable then. Unset: the count cannot be changed (no provider).
  std::function<int(int count)> setVirtualPortCount;
  // Probes the delay to an address off the window's thread and calls back on any thread; unset:
  // the controller runs its own prober.
  std::function<void(in_addr_t, std::function<void(int)>)> probe;
  // What the program dropped since it started (the engines count there). Null: the controller
  // keeps counters of its own.
  DropCounters* drops = nullptr;
  // What start-up could not do (no provider, no sequencer): said in the notice line once the
  // window is up. Without a sequencer nothing plays at all, and a box says what to do.
  std::vector<std::string> startupProblems;
  bool noSequencer = false;
};

} // namespace kestrel::controller
