// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The controller's services on made-up surroundings, built in one place for every test that
// builds a controller: no sequencer, MIDI outputs that open only the names an OutputLog knows,
// one local address, a Kestrel.dat and an autostart entry in a temporary folder, probes that
// never answer. A test changes what it needs in the result.

#include "controller/services.hpp"
#include "support/fake_midi.hpp"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestrel::test {

// What the services are built on; everything here outlives the controller.
struct ServicesParts {
  Settings& settings;
  const Translator& translator;
  WindowFlags& flags;
  DumpStore& dump;
  SendQueue& queue;
  net::ServerLink& link;
  const controller::DeviceSource& devices;
  OutputLog& outputs;
  std::filesystem::path dir; // the autostart entry and the program live here
  const TickClock& clock = SystemClock();
};

[[nodiscard]] inline controller::ControllerServices MadeUpServices(const ServicesParts& parts) {
  return controller::ControllerServices{
      .settings = parts.settings,
      .translator = parts.translator,
      .flags = parts.flags,
      .dump = parts.dump,
      .queue = parts.queue,
      .serverLink = parts.link,
      .inputs = nullptr,
      .devices = parts.devices,
      .makeOutputs = [&log = parts.outputs]() -> std::unique_ptr<MidiOutputs> {
        return std::make_unique<FakeOutputs>(log);
      },
      .localAddresses = [] { return std::vector<std::string>{"10.0.0.5"}; },
      .localInterfaces = [] { return std::vector<std::string>{"eth0 - 10.0.0.5"}; },
      .autostartEntry = parts.dir / "autostart" / "kestrel.desktop",
      .programPath = parts.dir / "kestrel",
      .clock = parts.clock,
      .setVirtualPortCount = {},
      .probe = [](in_addr_t, const std::function<void(int)>&) {},
      .drops = nullptr,
      .startupProblems = {},
      .noSequencer = false,
  };
}

// Real services (an AppContext's) kept off the machine's network: no address is offered and no
// delay is probed.
[[nodiscard]] inline controller::ControllerServices OffTheNetwork(controller::ControllerServices services) {
  services.localAddresses = [] { return std::vector<std::string>{}; };
  services.probe = [](in_addr_t, const std::function<void(int)>&) {};
  return services;
}

} // namespace kestrel::test
