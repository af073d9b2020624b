// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Devices and destinations that went and came back: inputs and outputs are opened again when
// their device returns, and what capture, the outputs and the sockets lost is said once a second
// at most, with counts since the last look. Window thread.

#include "base/tick_clock.hpp"
#include "controller/client_side.hpp"
#include "controller/main_fields.hpp"
#include "controller/server_side.hpp"
#include "controller/services.hpp"
#include "net/server_destinations.hpp"

#include <array>
#include <cstdint>
#include <functional>

namespace kestrel::controller {

class MainView;

class DeviceHealth {
public:
  // What the window does between the health's notices, in their order.
  struct Hooks {
    std::function<void()> showFields;         // an input came back: the controls show it
    std::function<void()> checkClientAddress; // after the targets: a client whose address went
  };

  // Everything passed in outlives the health.
  DeviceHealth(ControllerServices& services, MainView& view, const MainFields& fields, const ServerSide& server,
               ClientSide& client, Hooks hooks);

  // A new server or client engine: its losses count from now.
  void ServerCreated();
  void ClientCreated();

  // A device came or went: inputs and outputs that went away and are back are opened again.
  void ReviveDevices();
  // What capture and the outputs lost since the last look.
  void ReportLosses(Tick now);
  [[nodiscard]] Tick LastReport() const noexcept { return lastReport_; }

private:
  ControllerServices& services_;
  MainView& view_;
  const MainFields& fields_;
  const ServerSide& server_;
  ClientSide& client_;
  Hooks hooks_;
  Tick lastReport_ = 0;
  std::uint32_t overrunsSeen_ = 0;
  net::TargetWatch targetWatch_;                   // the server's targets that cannot be reached
  std::array<std::uint32_t, kRows> droppedSeen_{}; // per client row, since its outputs were made
  std::uint64_t multicastNotSentSeen_ = 0;
  std::uint64_t multicastNotMidiSeen_ = 0;
};

} // namespace kestrel::controller
