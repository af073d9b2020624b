// SPDX-License-Identifier: GPL-3.0-or-later
#include "controller/settings_binding.hpp"
#include "platform/autostart.hpp"

#include "config/settings.hpp"
#include "controller/device_choices.hpp"
#include "controller/main_view.hpp"
#include "controller/notices.hpp"

#include <charconv>
#include <utility>

namespace kestrel::controller {

std::optional<std::uint32_t> ParsePortText(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  std::uint32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

SettingsBinding::SettingsBinding(Settings& settings, MainView& view, std::filesystem::path autostartEntry)
    : settings_(settings), view_(view), autostartEntry_(std::move(autostartEntry)) {}

// A UDP port key; a value no UDP port can have is reported and replaced by the default.
std::uint32_t SettingsBinding::ReadPortSetting(const config::IntKey& key, std::uint32_t lowest) {
  const config::ConfigKey asText{key.section, key.name, "", true};
  const std::string text = settings_.ReadConfigText(asText, "");
  if (text.empty()) return static_cast<std::uint32_t>(key.defaultValue);
  const auto value = ParsePortText(text);
  if (!value || *value < lowest || *value > kMaxUdpPort) {
    view_.Notice(SettingNotice(key.section, key.name, text,
                               " is not a UDP port (" + std::to_string(lowest) + " to 65535); using " +
                                   std::to_string(key.defaultValue)));
    return static_cast<std::uint32_t>(key.defaultValue);
  }
  return *value;
}

// A flag holding text where a number belongs reads as its default, and says so.
bool SettingsBinding::ReadFlag(const config::IntKey& key) {
  const config::ConfigKey asText{key.section, key.name, "", true};
  const std::string text = settings_.ReadConfigText(asText, "");
  if (!text.empty() && text.find_first_of("-0123456789") != 0) {
    view_.Notice(
        SettingNotice(key.section, key.name, text, " is not a number; using " + std::to_string(key.defaultValue)));
    return key.defaultValue != 0;
  }
  return settings_.ReadConfigInt(key) != 0;
}

StoredOptions SettingsBinding::ReadFields(MainFields& fields) {
  StoredOptions options;
  options.debug = settings_.ReadConfigInt(config::kDebug);
  fields.dumpServer = ReadFlag(config::kServerLog);
  fields.dumpClient = ReadFlag(config::kClientLog);
  fields.filter = ReadFlag(config::kDumpFilter);
  fields.filterTimingClock = ReadFlag(config::kFilterTimingClock);
  fields.filterActiveSensing = ReadFlag(config::kFilterActiveSensing);
  for (int n = 1; n <= kRows; ++n) {
    fields.serverPorts[static_cast<std::size_t>(n - 1)] = ReadFlag(config::ServerPortKey(n));
    fields.clientPorts[static_cast<std::size_t>(n - 1)] = ReadFlag(config::ClientPortKey(n));
  }
  const std::string host = settings_.ReadConfigText(config::kHostIp);
  fields.localAddress = ParseAddress(host);
  if (!host.empty() && fields.localAddress == 0) {
    view_.Notice(
        SettingNotice(config::kHostIp.section, config::kHostIp.name, host, " is not an IPv4 address; ignored"));
  }
  fields.clientPort = ReadPortSetting(config::kClientUdpPort, 0); // 0: the client does not connect
  fields.serverPort = ReadPortSetting(config::kServerUdpPort, 1);
  fields.serverEnabled = ReadFlag(config::kServerEnable);
  fields.clientEnabled = ReadFlag(config::kClientEnable);
  options.notesOffOnLoss = ReadFlag(config::kNotesOffOnLoss);
  // Read here only to say when it is no number: each side reads it again as it is switched on.
  static_cast<void>(ReadFlag(config::kMulticast));
  fields.autostart = ReadAutostart(autostartEntry_);
  return options;
}

void SettingsBinding::WriteDumpOptions(const MainFields& fields) {
  settings_.WriteConfigInt(config::kServerLog, fields.dumpServer ? 1 : 0);
  settings_.WriteConfigInt(config::kClientLog, fields.dumpClient ? 1 : 0);
  settings_.WriteConfigInt(config::kDumpFilter, fields.filter ? 1 : 0);
  settings_.WriteConfigInt(config::kFilterTimingClock, fields.filterTimingClock ? 1 : 0);
  settings_.WriteConfigInt(config::kFilterActiveSensing, fields.filterActiveSensing ? 1 : 0);
}

void SettingsBinding::WriteConnection(const MainFields& fields) {
  settings_.WriteConfigText(config::kHostIp, DottedAddress(fields.localAddress));
  settings_.WriteConfigInt(config::kClientUdpPort, static_cast<std::int32_t>(fields.clientPort));
}

WindowGeometry SettingsBinding::StoredGeometry() const {
  return {settings_.ReadConfigInt(config::kWindowX), settings_.ReadConfigInt(config::kWindowY),
          settings_.ReadConfigInt(config::kWindowWidth), settings_.ReadConfigInt(config::kWindowHeight)};
}

void SettingsBinding::WriteGeometry(const WindowGeometry& g) {
  settings_.WriteConfigInt(config::kWindowX, g.x);
  settings_.WriteConfigInt(config::kWindowY, g.y);
  settings_.WriteConfigInt(config::kWindowWidth, g.w);
  settings_.WriteConfigInt(config::kWindowHeight, g.h);
}

bool SettingsBinding::WriteAutostartEntry(MainFields& fields, const std::filesystem::path& program) {
  std::string error;
  if (WriteAutostart(autostartEntry_, fields.autostart, program, &error)) return true;
  view_.Notice("Autostart: " + error);
  fields.autostart = ReadAutostart(autostartEntry_);
  return false;
}

} // namespace kestrel::controller
