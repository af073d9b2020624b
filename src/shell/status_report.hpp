// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What a running Kestrel tells `kestrel --status`: one JSON object with the client's connection,
// the server it hears, whether server and client are switched on, what the engine threads got of
// real-time scheduling, and the drop counters since the program started.

#include <string>

namespace kestrel {
class DropCounters;
class RealtimeLedger;
} // namespace kestrel

namespace kestrel::controller {
class CMainDlg;
}

namespace kestrel::shell {

// The answer, on one line:
//   {"connection":"connected","server_heard":"10.0.0.1","server_enabled":false,"client_enabled":true,
//    "realtime":{"summary":"...","threads":[{"name":"kestrel-client","realtime":true,"way":"direct",
//    "priority":10}]},"counters_since":"2026-01-31T09:00:00Z","counters":{"queue-full":0,...}}
// "connection" is "disconnected", "connecting", "connected" or "port-in-use"; "server_heard" is
// null while no server is heard; a thread refused real time has "realtime":false and its
// "reason". UI thread (the controller's fields are read).
[[nodiscard]] std::string StatusJson(const controller::CMainDlg& controller, const DropCounters& drops,
                                     const RealtimeLedger& ledger);

} // namespace kestrel::shell
