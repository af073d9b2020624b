// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The main window's fields as the controller keeps them, and which controls are enabled. Window
// thread only.

#include "controller/choice_list.hpp"
#include "controller/main_view.hpp"

#include <array>
#include <cstdint>
#include <netinet/in.h>
#include <string_view>

namespace kestrel::controller {

inline constexpr std::string_view kNotConnected = "--Not Connected--";
inline constexpr std::string_view kDisabled = "--Disabled--";

// The window's fields, in the order the window binds them.
struct MainFields {
  std::array<bool, kRows> serverPorts{};
  bool dumpServer = false;
  bool dumpClient = false;
  bool autostart = false;
  int virtualPortSnapshot = 0;
  std::array<bool, kRows> clientPorts{};
  in_addr_t localAddress = 0;
  std::uint32_t clientPort = 8800;
  std::uint32_t serverPort = 8800;
  std::array<ChoiceList, kRows> outputs;
  ChoiceList ipList;
  ChoiceList interfaces; // the server's: "Automatic", then "eth0 - 10.0.0.5", ...
  bool serverEnabled = false;
  bool clientEnabled = false;
  ChoiceList midiIn;       // "--Disabled--" and the ordinary MIDI In devices
  ChoiceList midiInTarget; // "Kestrel Port1".."Kestrel Port8"
  int midiInIndex = 0;     // midiIn's choice while the server is on, 0 otherwise
  int targetIndex = 0;     // midiInTarget's choice, -1 when none
  bool filter = true;
  bool filterTimingClock = true;
  bool filterActiveSensing = true;
};

// Which controls are enabled or shown.
struct ControlStates {
  std::array<bool, kRows> serverPortEnabled{};
  bool lampsEnabled = false;
  bool serverPortEditEnabled = false;
  bool midiInEnabled = false;
  bool targetEnabled = false;
  bool clientPanelEnabled = false;
};

struct WindowGeometry {
  int x = 0, y = 0, w = 0, h = 0;
};

} // namespace kestrel::controller
