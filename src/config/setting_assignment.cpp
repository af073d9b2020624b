// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/setting_assignment.hpp"

#include "base/text.hpp"
#include "config/config_keys.hpp"
#include "config/destinations.hpp"
#include "config/settings.hpp"
#include "platform/network_interfaces.hpp"

#include <array>
#include <charconv>

namespace kestrel::config {

namespace {

enum class Kind { Flag, Port, Integer, Text, Address, Targets, Group, Ttl };

struct KeySpec {
  std::string_view section;
  std::string_view key;
  Kind kind;
  std::string_view meaning;
};

// Keys a headless user sets. Port%d and To%d are matched by their digit.
constexpr std::array kKeys{
    KeySpec{config::kPref, "LangID", Kind::Text, "language file suffix (Lang.<id>)"},
    KeySpec{config::kPref, "Filter", Kind::Flag, "no dump rows for Timing Clock and Active Sensing"},
    KeySpec{config::kPref, "FilterTC", Kind::Flag, "the server does not send Timing Clock"},
    KeySpec{config::kPref, "FilterAS", Kind::Flag, "the server does not send Active Sensing"},
    KeySpec{config::kPref, "Debug", Kind::Flag, "debug figures in the status bar"},
    KeySpec{config::kServer, "Enable", Kind::Flag, "run the server"},
    KeySpec{config::kServer, "UDPPort", Kind::Port, "UDP port the server sends to"},
    KeySpec{config::kServer, "Port", Kind::Flag, "Server.Port1..Port8: send that Kestrel port"},
    KeySpec{config::kServer, "MidiIN_Port", Kind::Text, "MIDI In device to send, or --Disabled--"},
    KeySpec{config::kServer, "MidiIN_Port2", Kind::Text, "Kestrel port the MIDI In device is sent as"},
    KeySpec{config::kServer, "Interface", Kind::Text, "network interface to broadcast on (empty: routing)"},
    KeySpec{config::kServer, "RepeatNoteOff", Kind::Flag, "send each Note Off and Sustain Off twice"},
    KeySpec{config::kServer, "Broadcast", Kind::Flag, "send to 255.255.255.255 (0: only Targets and Group)"},
    KeySpec{config::kServer, "Targets", Kind::Targets, "IPv4 addresses also sent to, e.g. \"10.1.0.5 10.2.0.7\""},
    KeySpec{config::kServer, "Group", Kind::Group, "multicast group also sent to (empty: none)"},
    KeySpec{config::kServer, "TTL", Kind::Ttl, "routers the group's datagrams may cross, 1 to 255"},
    KeySpec{config::kServer, "Log", Kind::Flag, "server events in the dump"},
    KeySpec{config::kClient, "Enable", Kind::Flag, "run the client"},
    KeySpec{config::kClient, "UDPPort", Kind::Port, "UDP port the client receives on (0: none)"},
    KeySpec{config::kClient, "HostIP", Kind::Address, "this machine's address to receive on"},
    KeySpec{config::kClient, "Group", Kind::Group, "multicast group to join on HostIP's network (empty: none)"},
    KeySpec{config::kClient, "Port", Kind::Flag, "Client.Port1..Port8: play that server port"},
    KeySpec{config::kClient, "To", Kind::Text, "Client.To1..To8: MIDI Out device for that port"},
    KeySpec{config::kClient, "NotesOffOnLoss", Kind::Flag, "silence the outputs when a connection ends"},
    KeySpec{config::kClient, "Log", Kind::Flag, "client events in the dump"},
    KeySpec{config::kInterop, "Multicast", Kind::Flag, "also raw MIDI on 225.0.0.37, UDP ports 21928.. (both sides)"},
};

std::optional<long> Number(std::string_view text) {
  long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

} // namespace

bool ApplySettingAssignment(Settings& settings, std::string_view assignment, std::string* error) {
  auto fail = [&](std::string why) {
    if (error != nullptr) *error = std::string(assignment) + ": " + std::move(why);
    return false;
  };
  const auto dot = assignment.find('.');
  const auto equals = assignment.find('=');
  if (dot == std::string_view::npos || equals == std::string_view::npos || dot > equals) {
    return fail("expected Section.Key=Value");
  }
  const std::string_view section = assignment.substr(0, dot);
  std::string_view key = assignment.substr(dot + 1, equals - dot - 1);
  const std::string_view value = assignment.substr(equals + 1);

  // "Port3" and "To3": the stem names the key, the digit the row.
  std::string_view stem = key;
  if (key.size() >= 2 && key.back() >= '1' && key.back() <= '8' &&
      (EqualsIgnoringCase(key.substr(0, key.size() - 1), "Port") ||
       EqualsIgnoringCase(key.substr(0, key.size() - 1), "To"))) {
    stem = key.substr(0, key.size() - 1);
  }
  const KeySpec* known = nullptr;
  for (const KeySpec& k : kKeys) {
    if (EqualsIgnoringCase(k.section, section) && EqualsIgnoringCase(k.key, stem)) known = &k;
  }
  if (known == nullptr) return fail("no such setting (kestrel --help lists them)");
  if (stem.size() == key.size() && (EqualsIgnoringCase(stem, "Port") || EqualsIgnoringCase(stem, "To")))
    return fail("give the row: 1 to 8");

  const std::string sectionName(known->section);
  const std::string keyName = std::string(known->key) + std::string(key.substr(stem.size()));
  bool written = false;
  switch (known->kind) {
  case Kind::Flag: {
    const auto n = Number(value);
    if (!n || (*n != 0 && *n != 1)) return fail("expected 0 or 1");
    written = settings.WriteConfigInt(sectionName, keyName, static_cast<std::int32_t>(*n));
    break;
  }
  case Kind::Port: {
    const auto n = Number(value);
    const long lowest = known->section == config::kServer ? 1 : 0;
    if (!n || *n < lowest || *n > 65535) return fail("expected a UDP port, " + std::to_string(lowest) + " to 65535");
    written = settings.WriteConfigInt(sectionName, keyName, static_cast<std::int32_t>(*n));
    break;
  }
  case Kind::Integer: {
    const auto n = Number(value);
    if (!n) return fail("expected a number");
    written = settings.WriteConfigInt(sectionName, keyName, static_cast<std::int32_t>(*n));
    break;
  }
  case Kind::Address:
    if (!value.empty() && ParseDottedAddress(value).value_or(0) == 0) return fail("expected a dotted IPv4 address");
    written = settings.WriteConfigText(sectionName, keyName, value);
    break;
  case Kind::Targets: {
    const TargetList targets = ParseTargets(value);
    if (!targets.refused.empty()) return fail(targets.refused.front());
    if (value.size() > Settings::kMaxTextLength) return fail("longer than 259 characters");
    written = settings.WriteConfigText(sectionName, keyName, value);
    break;
  }
  case Kind::Group: {
    std::string why;
    if (!ParseGroup(value, &why)) return fail(why);
    written = settings.WriteConfigText(sectionName, keyName, value);
    break;
  }
  case Kind::Ttl: {
    const auto n = Number(value);
    if (!n || *n < 1 || *n > 255) return fail("expected 1 to 255");
    written = settings.WriteConfigInt(sectionName, keyName, static_cast<std::int32_t>(*n));
    break;
  }
  case Kind::Text:
    if (value.size() > Settings::kMaxTextLength) return fail("longer than 259 characters");
    written = settings.WriteConfigText(sectionName, keyName, value);
    break;
  }
  if (!written) return fail(settings.LastError());
  return true;
}

std::string SettingKeysHelp() {
  std::string text;
  for (const KeySpec& k : kKeys) {
    std::string name = std::string(k.section) + "." + std::string(k.key);
    if (k.key == "Port" || k.key == "To") name += "N";
    name.resize(std::max<std::size_t>(name.size() + 2, 22), ' ');
    text += "  " + name + std::string(k.meaning) + "\n";
  }
  return text;
}

} // namespace kestrel::config
