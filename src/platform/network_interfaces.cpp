// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/network_interfaces.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <array>
#include <cstring>

namespace kestrel {

std::vector<InterfaceAddress> InterfaceAddresses() {
  std::vector<InterfaceAddress> list;
  ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) return list;
  for (const ifaddrs* i = all; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    sockaddr_in in{};
    std::memcpy(&in, i->ifa_addr, sizeof in);
    list.push_back(
        {in.sin_addr.s_addr, i->ifa_name, (i->ifa_flags & IFF_UP) != 0U, (i->ifa_flags & IFF_LOOPBACK) != 0U});
  }
  freeifaddrs(all);
  return list;
}

std::vector<in_addr_t> LocalAddresses() {
  std::vector<in_addr_t> list;
  for (const InterfaceAddress& a : InterfaceAddresses()) list.push_back(a.address);
  return list;
}

std::string DottedAddress(in_addr_t address) {
  in_addr a{};
  a.s_addr = address;
  std::array<char, INET_ADDRSTRLEN> text{};
  return inet_ntop(AF_INET, &a, text.data(), text.size()) != nullptr ? std::string(text.data()) : std::string();
}

std::optional<in_addr_t> ParseDottedAddress(std::string_view text) {
  const std::string copy(text);
  in_addr address{};
  if (inet_pton(AF_INET, copy.c_str(), &address) != 1) return std::nullopt;
  return address.s_addr;
}

} // namespace kestrel
