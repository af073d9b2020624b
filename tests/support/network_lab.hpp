#pragma once

// Test support: hosts on a LAN of their own. Each host is a network namespace with one interface
// (eth0) on a bridge, which lives in a namespace of its own; addresses are 10.199.0.11, .12, ...
// Nothing here ever touches the machine's own interfaces: a broadcast in a host stays on the
// bridge. Everything is removed again when the lab goes.
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

  [[nodiscard]] std::string Address(int host) const; // dotted
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

  std::string prefix_;
  std::string switch_;
  std::vector<std::string> names_;
};

} // namespace kestrel::test
