// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Every key of Kestrel.dat with its default, in one place. Where a default depends on the
// machine (the first MIDI In device, a row's device list), the key says so and the reader
// supplies the default at the moment of reading.

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace kestrel::config {

inline constexpr std::string_view kPref = "Pref";
inline constexpr std::string_view kServer = "Server";
inline constexpr std::string_view kClient = "Client";
inline constexpr std::string_view kInterop = "Interop";

// {section, key name, default text}. computedDefault: the default is supplied by the reader.
struct ConfigKey {
  std::string_view section;
  std::string_view name;
  std::string_view defaultText;
  bool computedDefault = false;
};

struct IntKey {
  std::string_view section;
  std::string_view name;
  std::int32_t defaultValue;
};

// ---- Pref
inline constexpr ConfigKey kLangId{kPref, "LangID", ""};
inline constexpr IntKey kDebug{kPref, "Debug", 0};
inline constexpr IntKey kDumpFilter{kPref, "Filter", 1};
inline constexpr IntKey kFilterTimingClock{kPref, "FilterTC", 1};
inline constexpr IntKey kFilterActiveSensing{kPref, "FilterAS", 1};
inline constexpr IntKey kWindowX{kPref, "x", 0};
inline constexpr IntKey kWindowY{kPref, "y", 0};
inline constexpr IntKey kWindowWidth{kPref, "w", 0}; // the position applies only when above 0
inline constexpr IntKey kWindowHeight{kPref, "h", 0};

// ---- Server
inline constexpr IntKey kServerLog{kServer, "Log", 0};
inline constexpr IntKey kServerUdpPort{kServer, "UDPPort", 8800};
inline constexpr IntKey kServerEnable{kServer, "Enable", 0};
// Name of the MIDI In device to capture, or "--Disabled--"; default: the first ordinary device.
inline constexpr ConfigKey kMidiInPort{kServer, "MidiIN_Port", "", true};
// The virtual port under which the MIDI In device is sent.
inline constexpr ConfigKey kMidiInTarget{kServer, "MidiIN_Port2", "Kestrel Port1"};
// Network interface to broadcast on; empty: the system's routing decides.
inline constexpr ConfigKey kServerInterface{kServer, "Interface", ""};
// Send Note Off, Note On with velocity 0, Sustain Off, All Notes Off and All Sound Off twice.
inline constexpr IntKey kRepeatNoteOff{kServer, "RepeatNoteOff", 1};
// Send to 255.255.255.255 (0: only to the targets and the group).
inline constexpr IntKey kServerBroadcast{kServer, "Broadcast", 1};
// Unicast addresses sent the same datagrams, e.g. "10.1.0.5 10.2.0.7" (config/destinations.hpp).
inline constexpr ConfigKey kServerTargets{kServer, "Targets", ""};
// A multicast group sent the same datagrams, and the routers it may cross.
inline constexpr ConfigKey kServerGroup{kServer, "Group", ""};
inline constexpr IntKey kServerTtl{kServer, "TTL", 1};

// ---- Client
inline constexpr IntKey kClientLog{kClient, "Log", 0};
inline constexpr IntKey kClientUdpPort{kClient, "UDPPort", 8800};
inline constexpr IntKey kClientEnable{kClient, "Enable", 1};
inline constexpr ConfigKey kHostIp{kClient, "HostIP", ""};
// A multicast group the client joins too, on HostIP's interface.
inline constexpr ConfigKey kClientGroup{kClient, "Group", ""};
// Send All Notes Off and Sustain Off on every open output when a connection ends.
inline constexpr IntKey kNotesOffOnLoss{kClient, "NotesOffOnLoss", 1};

// ---- Interop
// Also speak the multicast raw-MIDI convention (core/wire/raw_midi.hpp): the server sends every message
// of port n to 225.0.0.37, UDP port 21927 + n, and the client plays what arrives there.
inline constexpr IntKey kMulticast{kInterop, "Multicast", 0};

// "Port1".."Port8" of both sides (transmit / play that port), default on.
inline constexpr std::array<std::string_view, 8> kPortKeyNames{"Port1", "Port2", "Port3", "Port4",
                                                               "Port5", "Port6", "Port7", "Port8"};
// "To1".."To8": the client row's local MIDI Out device; default: entry N-1 of that row's list.
inline constexpr std::array<std::string_view, 8> kToKeyNames{"To1", "To2", "To3", "To4", "To5", "To6", "To7", "To8"};

// Port number n in 1..8.
[[nodiscard]] constexpr IntKey ServerPortKey(int n) {
  return {kServer, kPortKeyNames.at(static_cast<std::size_t>(n - 1)), 1};
}
[[nodiscard]] constexpr IntKey ClientPortKey(int n) {
  return {kClient, kPortKeyNames.at(static_cast<std::size_t>(n - 1)), 1};
}
[[nodiscard]] constexpr ConfigKey ClientDeviceKey(int n) {
  return {kClient, kToKeyNames.at(static_cast<std::size_t>(n - 1)), "", true};
}

// Default read for a client "Port%d" key that only tells whether the key exists.
inline constexpr std::int32_t kMissingKeyProbe = 123;

} // namespace kestrel::config
