// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The client side's connection rules, run by the window's controller on its own thread: connect
// and disconnect the engine, and the silence, retry and settings rules of the status timer.

#include "base/tick_clock.hpp"
#include "net/client_engine.hpp"

#include <atomic>
#include <chrono>
#include <functional>

namespace kestrel::net {

inline constexpr Tick kSilenceMs = 5000;    // no datagram for longer: disconnected
inline constexpr unsigned kRetryTicks = 52; // the retry rule runs on every 52nd 30 ms tick

// Silence rule: more than 5 s without a datagram, and the port is not taken: Disconnected.
[[nodiscard]] constexpr bool SilenceRuleDue(Tick now, Tick lastReceiveTime, ConnectionState state) noexcept {
  // The engine stores lastReceiveTime while the window reads `now`: a datagram that came just
  // after is no silence.
  return TickElapsed(now, lastReceiveTime) > kSilenceMs && state != ConnectionState::PortInUse;
}

// Retry rule: a client switched on and disconnected connects again.
[[nodiscard]] constexpr bool RetryRuleDue(bool clientEnabled, ConnectionState state) noexcept {
  return clientEnabled && state == ConnectionState::Disconnected;
}

// Settings rule: the engine listens elsewhere than the settings say.
[[nodiscard]] constexpr bool SettingsRuleDue(std::uint16_t enginePort, in_addr_t engineAddress, std::uint16_t port,
                                             in_addr_t address) noexcept {
  return enginePort != port || engineAddress != address;
}

// ConnectClient and DisconnectClient on the window's connection state.
class ClientConnector {
public:
  // `takeReports` moves the engine's latest report into `state` and does nothing else: the
  // window handles no event while a connection is switched, so no request (an end, another
  // switch) can run inside one. `sleep` waits (tests shorten it).
  ClientConnector(std::atomic<ConnectionState>& state, std::function<void()> takeReports,
                  std::function<void(std::chrono::milliseconds)> sleep = {});

  // Ends a running connection, then (for a port other than 0) connects anew: the state becomes
  // Connecting until the engine reports.
  void ConnectClient(CClientThread* engine, std::uint16_t port, in_addr_t address);

  // Asks a running engine to disconnect (the engine has ended the connection and reported it when
  // the command returns) and takes its report, waiting 100 ms at a time until the state is
  // Disconnected or PortInUse; an engine that has ended is not waited for, and neither is one
  // whose report does not come within 5 s.
  void DisconnectClient(CClientThread* engine);

private:
  std::atomic<ConnectionState>& state_;
  std::function<void()> takeReports_;
  std::function<void(std::chrono::milliseconds)> sleep_;
};

} // namespace kestrel::net
