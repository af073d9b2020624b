#pragma once

// Test support: hosts on a LAN of their own. Each host is a network namespace with one interface
// (eth0) on a bridge, which lives in a namespace of its own; addresses are 10.199.0.11, .12, ...
// Nothing here ever touches the machine's own interfaces: a broadcast in a host stays on the
// bridge. Everything is removed again when the lab goes.

#include <functional>
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

private:
  std::string switch_;
  std::vector<std::string> names_;
};

} // namespace kestrel::test
