// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// This machine's IPv4 interfaces, and IPv4 addresses as people write them. Each call asks the
// kernel anew and allocates: not for the engine threads.

#include <netinet/in.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

struct InterfaceAddress {
  in_addr_t address = 0; // network order
  std::string name;      // the interface's, "eth0"
  bool up = false;
  bool loopback = false;
};

// Every IPv4 address of every interface, in the kernel's order.
[[nodiscard]] std::vector<InterfaceAddress> InterfaceAddresses();

// Every IPv4 address of this machine's interfaces, loopback included.
[[nodiscard]] std::vector<in_addr_t> LocalAddresses();

// "192.168.1.20"; empty for none.
[[nodiscard]] std::string DottedAddress(in_addr_t address);

// Four decimal parts and nothing else (the shorthands inet_addr takes are refused), in network
// order.
[[nodiscard]] std::optional<in_addr_t> ParseDottedAddress(std::string_view text);

} // namespace kestrel
