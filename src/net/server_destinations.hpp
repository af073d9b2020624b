// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The server's destinations beyond the broadcast, as Kestrel.dat gives them, and the notices of
// targets that cannot be reached. Window thread.

#include "base/tick_clock.hpp"
#include "net/udp_socket.hpp"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kestrel {
class Settings;
}

namespace kestrel::net {

// Says one notice to the user.
using NoticeFunction = std::function<void(const std::string&)>;

// [Server] Broadcast, Targets, Group and TTL; every entry skipped is named in a notice.
[[nodiscard]] SenderDestinations ReadSenderDestinations(const Settings& settings, const NoticeFunction& notice);
// [Client] Group (network order, 0: none); a value that is no group is named and ignored.
[[nodiscard]] in_addr_t ReadClientGroup(const Settings& settings, const NoticeFunction& notice);
// "broadcasting to UDP port 8800", with the targets and the group when there are any.
[[nodiscard]] std::string DestinationsText(const SenderDestinations& destinations, unsigned port);

// Says when a target's datagrams find no route (at most every kIntervalMs for each) and when
// they go through again.
class TargetWatch {
public:
  static constexpr Tick kIntervalMs = 5000;

  void Reset(); // a new sender
  void Check(const CUdpSender& sender, Tick now, const NoticeFunction& notice);

private:
  struct Seen {
    std::uint64_t failures = 0; // counted by the sender when last told
    Tick toldAt = 0;
    bool told = false; // the user knows it fails
  };
  std::vector<Seen> seen_;
};

} // namespace kestrel::net
