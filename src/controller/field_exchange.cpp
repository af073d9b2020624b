// SPDX-License-Identifier: GPL-3.0-or-later
#include "controller/field_exchange.hpp"

#include "controller/settings_binding.hpp"
#include "core/window_flags.hpp"

#include <string>

namespace kestrel::controller {

namespace {

// The fields a control shows as they are, in the window's binding order; `copy(field, value)`
// copies one way or the other.
template <class Fields, class Values, class Copy>
void EachPlainField(Fields& f, Values& v, Copy&& copy) {
  copy(f.dumpServer, v.dumpServer);
  copy(f.dumpClient, v.dumpClient);
  copy(f.serverPorts, v.serverPorts);
  copy(f.clientPorts, v.clientPorts);
  copy(f.serverEnabled, v.serverEnabled);
  copy(f.clientEnabled, v.clientEnabled);
  copy(f.filter, v.filter);
  copy(f.filterTimingClock, v.filterTimingClock);
  copy(f.filterActiveSensing, v.filterActiveSensing);
}

} // namespace

ControlValues ValuesOf(const MainFields& fields) {
  ControlValues v;
  EachPlainField(fields, v, [](const auto& field, auto& value) { value = field; });
  v.clientPort = std::to_string(fields.clientPort);
  v.serverPort = std::to_string(fields.serverPort);
  v.autostart = fields.autostart;
  return v;
}

const char* TakeValues(const ControlValues& values, MainFields& fields) {
  EachPlainField(fields, values, [](auto& field, const auto& value) { field = value; });
  struct Edit {
    const std::string* text;
    std::uint32_t* field;
    std::uint32_t lowest; // a client on port 0 does not connect; a server cannot send there
  };
  for (const Edit edit :
       {Edit{&values.clientPort, &fields.clientPort, 0}, Edit{&values.serverPort, &fields.serverPort, 1}}) {
    const auto port = ParsePortText(*edit.text);
    if (!port) return "Please enter a positive integer.";
    if (*port < edit.lowest || *port > kMaxUdpPort) return "Please enter a UDP port from 1 to 65535.";
    *edit.field = *port;
  }
  fields.autostart = values.autostart;
  return nullptr;
}

ControlStates StatesOf(const MainFields& fields, bool serverRunning, bool clientRunning) {
  ControlStates c;
  const bool on = fields.serverEnabled && serverRunning;
  for (int i = 0; i < kRows; ++i)
    c.serverPortEnabled[static_cast<std::size_t>(i)] = on && i < fields.virtualPortSnapshot;
  c.lampsEnabled = on;
  c.serverPortEditEnabled = on;
  c.midiInEnabled = on;
  c.targetEnabled = on && fields.midiIn.Selected() > 0;
  c.clientPanelEnabled = fields.clientEnabled && clientRunning;
  return c;
}

void ApplyFlags(const MainFields& fields, WindowFlags& flags) {
  flags.dumpFilter = fields.filter;
  flags.filterTimingClock = fields.filterTimingClock;
  flags.filterActiveSensing = fields.filterActiveSensing;
  flags.serverLog = fields.dumpServer;
  flags.clientLog = fields.dumpClient;
  flags.midiInTarget = fields.targetIndex >= 0 ? fields.targetIndex : 0;
}

} // namespace kestrel::controller
