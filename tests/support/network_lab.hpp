// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Test support: hosts on a LAN of their own. Each host is a network namespace with one interface
// (eth0) on a bridge, which lives in a namespace of its own; addresses are 10.199.0.11, .12, ...
// Nothing here ever touches the machine's own interfaces: a broadcast in a host stays on the
// bridge. Everything is removed again when the lab goes.
//
// More subnets (10.199.1.0/24, 10.199.2.0/24, ...) each on a bridge of its own, joined by router
// hosts that forward between their legs, make a routed network: AddSubnet, AddRouter, then
// RouteEverywhere gives every host a route to every subnet through the nearest router.
//
// A host's outgoing packets can be delayed, dropped, duplicated or reordered with netem, all of
// them or only chosen UDP datagrams. This machine's kernel has no netem: tests that use it run in
// tests/alsa-vm/run-in-vm, whose kernel has.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace kestrel::test {

class NetworkLab {
public:
  // `hosts` hosts; with `defaultRoute` each has a default route through its interface (a LAN with
  // a gateway), without it none (sending to 255.255.255.255 then has no route).
  explicit NetworkLab(int hosts, bool defaultRoute = true);
  ~NetworkLab();
  NetworkLab(const NetworkLab&) = delete;
  NetworkLab& operator=(const NetworkLab&) = delete;

  [[nodiscard]] std::string Address(int host) const; // dotted, of its first interface (eth0)
  // Its address on `subnet`, empty when it has no leg there.
  [[nodiscard]] std::string AddressOn(int host, int subnet) const;
  [[nodiscard]] int HostCount() const noexcept { return static_cast<int>(names_.size()); }

  // A new subnet 10.199.<n>.0/24 with `hosts` hosts (addresses .11, .12, ... on their eth0, no
  // default route); returns n. The hosts' numbers follow those made before.
  int AddSubnet(int hosts);
  // A router host with eth0 on subnet `a` and eth1 on subnet `b` (addresses .1, .2, ... in the
  // order routers join a subnet), forwarding between them; returns its host number.
  int AddRouter(int a, int b);
  // For every host and every subnet it has no leg on, a route through the first router on the
  // shortest way there. Call once every subnet and router is made.
  void RouteEverywhere() const;
  [[nodiscard]] const std::string& Namespace(int host) const { return names_.at(static_cast<std::size_t>(host)); }
  // Runs `fn` with the calling thread inside the host's network namespace; sockets made there
  // stay there. Raises when the namespace cannot be entered, so nothing runs in the machine's own.
  void In(int host, const std::function<void()>& fn) const;
  // Runs a command inside the host (for example tc to drop packets); returns its exit status.
  int Run(int host, const std::string& command) const;

  // netem `rules` as tc takes them ("delay 40ms", "loss 100%", ...) on everything the host sends,
  // in place of any rules it had. Raises with tc's own words when they cannot be set.
  void Netem(int host, const std::string& rules) const;

  // Four bytes of a UDP datagram's payload, at an offset that is a multiple of 4.
  struct PayloadWord {
    std::size_t offset = 0;
    std::array<std::byte, 4> bytes{};
  };
  // netem `rules` only on the UDP datagrams the host sends whose payload holds every one of
  // `words`; all other packets pass untouched and in their order.
  void NetemMatching(int host, std::span<const PayloadWord> words, const std::string& rules) const;

  // What the host's netem has let out and dropped since its rules were set.
  struct NetemCounts {
    long sent = 0;
    long dropped = 0;
  };
  [[nodiscard]] NetemCounts NetemStats(int host) const;

  // Back to the host's plain interface.
  void ClearNetem(int host) const;

private:
  void RemoveAll() noexcept;

  struct Leg {
    int subnet = 0;
    std::string address;
  };
  int AddHost(std::vector<Leg> legs, bool router);

  std::string prefix_;
  std::string switch_;
  std::vector<std::string> names_;
  std::vector<std::vector<Leg>> legs_; // per host, eth0 first
  std::vector<bool> routers_;          // per host
  int subnets_ = 1;
  std::vector<int> routersOn_{0}; // per subnet, the routers' legs on it so far
};

} // namespace kestrel::test
