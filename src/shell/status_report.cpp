// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/status_report.hpp"

#include "base/json_text.hpp"
#include "controller/main_dlg.hpp"
#include "core/drop_counters.hpp"
#include "platform/realtime.hpp"

#include <array>
#include <chrono>
#include <ctime>
#include <string>

namespace kestrel::shell {

namespace {

const char* ConnectionName(net::ConnectionState state) {
  switch (state) {
  case net::ConnectionState::Connected: return "connected";
  case net::ConnectionState::Connecting: return "connecting";
  case net::ConnectionState::PortInUse: return "port-in-use";
  case net::ConnectionState::Disconnected: break;
  }
  return "disconnected";
}

const char* Bool(bool value) { return value ? "true" : "false"; }

// UTC, to the second: "2026-01-31T09:00:00Z".
std::string IsoTime(std::chrono::system_clock::time_point when) {
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm utc{};
  gmtime_r(&t, &utc);
  std::array<char, 32> text{};
  const std::size_t n = std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%SZ", &utc);
  return {text.data(), n};
}

std::string RealtimeJson(const RealtimeLedger& ledger) {
  std::string out = "{\"summary\":" + JsonString(ledger.Summary().Text()) + ",\"threads\":[";
  bool first = true;
  for (const auto& [name, outcome] : ledger.Threads()) {
    if (!first) out += ',';
    first = false;
    out += "{\"name\":" + JsonString(name);
    if (outcome.way == RealtimeWay::None) {
      out += ",\"realtime\":false,\"reason\":" + JsonString(outcome.reason) + "}";
    } else {
      out += ",\"realtime\":true,\"way\":";
      out += outcome.way == RealtimeWay::Direct ? "\"direct\"" : "\"rtkit\"";
      out += ",\"priority\":" + std::to_string(outcome.priority) + "}";
    }
  }
  return out + "]}";
}

} // namespace

std::string StatusJson(const controller::CMainDlg& controller, const DropCounters& drops,
                       const RealtimeLedger& ledger) {
  const std::string& heard = controller.HeardServerText();
  std::string out = "{\"connection\":";
  out += JsonString(ConnectionName(controller.State()));
  out += ",\"server_heard\":" + (heard.empty() ? std::string("null") : JsonString(heard));
  out += ",\"server_enabled\":";
  out += Bool(controller.Fields().serverEnabled);
  out += ",\"client_enabled\":";
  out += Bool(controller.Fields().clientEnabled);
  out += ",\"realtime\":" + RealtimeJson(ledger);
  out += ",\"counters_since\":" + JsonString(IsoTime(drops.Since()));
  out += ",\"counters\":{";
  const DropCounts counts = drops.Snapshot();
  for (std::size_t i = 0; i < kDropKinds; ++i) {
    if (i != 0) out += ',';
    out += JsonString(kDropNames[i].key) + ":" + std::to_string(counts[i]);
  }
  return out + "}}";
}

} // namespace kestrel::shell
