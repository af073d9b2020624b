// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Where the server sends beyond its broadcast: `[Server] Targets=` (unicast addresses) and
// `[Server] Group=` / `[Client] Group=` (a multicast group), read from their settings' text.
//
// Targets are dotted IPv4 addresses separated by spaces, commas or semicolons. Names are not
// looked up: a name server that does not answer would hold the server's start.

#include <netinet/in.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::config {

// More targets than this are refused: each costs a system call per datagram.
inline constexpr std::size_t kMaxTargets = 16;

struct TargetList {
  std::vector<in_addr_t> addresses; // network order, in the order given, each once
  std::vector<std::string> refused; // "entry: why", one per entry skipped
};

[[nodiscard]] TargetList ParseTargets(std::string_view text);

// A multicast group (224.0.0.0 to 239.255.255.255) in network order; empty text: none (0).
// Anything else: nothing, with the reason in `why`.
[[nodiscard]] std::optional<in_addr_t> ParseGroup(std::string_view text, std::string* why = nullptr);

} // namespace kestrel::config
