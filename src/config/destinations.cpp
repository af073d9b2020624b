// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/destinations.hpp"

#include "platform/network_interfaces.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <array>

namespace kestrel::config {

namespace {

bool IsMulticast(in_addr_t address) { return (ntohl(address) >> 28U) == 0xEU; }

// Why a unicast target cannot be used; empty when it can.
std::string TargetProblem(in_addr_t address) {
  const std::uint32_t host = ntohl(address);
  if (host == INADDR_BROADCAST) return "that is the broadcast itself (see Broadcast=)";
  if (IsMulticast(address)) return "a multicast group belongs in Group=";
  if ((host >> 24U) == 0) return "not an address a datagram can go to";
  if ((host >> 28U) == 0xFU) return "a reserved address";
  return {};
}

} // namespace

TargetList ParseTargets(std::string_view text) {
  TargetList list;
  constexpr std::string_view kSeparators = " \t,;";
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t start = text.find_first_not_of(kSeparators, at);
    if (start == std::string_view::npos) break;
    const std::size_t end = std::min(text.find_first_of(kSeparators, start), text.size());
    const std::string_view entry = text.substr(start, end - start);
    at = end;
    const std::string name(entry);
    const auto address = ParseDottedAddress(entry);
    if (!address) {
      list.refused.push_back(name + ": not a dotted IPv4 address (names are not looked up)");
      continue;
    }
    if (const std::string why = TargetProblem(*address); !why.empty()) {
      list.refused.push_back(name + ": ");
      list.refused.back() += why;
      continue;
    }
    if (std::ranges::find(list.addresses, *address) != list.addresses.end()) {
      list.refused.push_back(name + ": listed twice");
      continue;
    }
    if (list.addresses.size() == kMaxTargets) {
      list.refused.push_back(name + ": more than " + std::to_string(kMaxTargets) + " targets");
      continue;
    }
    list.addresses.push_back(*address);
  }
  return list;
}

std::optional<in_addr_t> ParseGroup(std::string_view text, std::string* why) {
  const std::size_t start = text.find_first_not_of(" \t");
  if (start == std::string_view::npos) return in_addr_t{0};
  const std::string_view trimmed = text.substr(start, text.find_last_not_of(" \t") + 1 - start);
  const auto address = ParseDottedAddress(trimmed);
  if (!address || !IsMulticast(*address)) {
    if (why != nullptr) *why = std::string(trimmed) + ": not a multicast group (224.0.0.0 to 239.255.255.255)";
    return std::nullopt;
  }
  return address;
}

} // namespace kestrel::config
