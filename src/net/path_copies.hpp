// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// One message can reach a client more than once: in a Kestrel datagram and on another transport
// (the multicast ports), from a server that speaks several. Whichever copy comes first is played
// and each later one, from the same sender on the same MIDI port with the same bytes within
// kWindowMs on a path that has not brought it yet, is passed over. Each message played stands for
// one copy on every other path, so a run of identical messages (MIDI Clock) plays as often as it
// was sent; nothing is passed over for its sender alone (another program on a server's host, a
// second server, the first batch of a connection).
// Fixed storage; client engine thread only.

#include "base/tick_clock.hpp"
#include "core/event_record.hpp"

#include <netinet/in.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrel::net {

class PathCopies {
public:
  // Kestrel's own datagrams are path 0; the client engine's other inputs follow in their order.
  using Path = std::uint8_t;
  static constexpr Path kKestrel = 0;
  static constexpr Path kMostPaths = 8;
  static constexpr Tick kWindowMs = 500; // a server sends its copies within one send
  static constexpr std::size_t kRemembered = 1024;

  // True when this message (a MIDI record's header and payload) is the copy of one another path
  // played; otherwise it is remembered as played on `path` (below kMostPaths).
  [[nodiscard]] bool IsCopy(Path path, in_addr_t sender, const EventRecord& header, std::span<const std::byte> payload,
                            Tick now) noexcept;

private:
  struct Played {
    std::uint64_t key = 0; // the message's raw bytes, hashed
    Tick time = 0;
    in_addr_t sender = 0;
    std::int32_t port = 0;
    std::uint8_t paths = 0; // the paths that brought it: the first played it, the others were copies
  };
  std::array<Played, kRemembered> played_{};
  std::size_t head_ = 0; // the oldest entry still held
  std::size_t count_ = 0;
};

} // namespace kestrel::net
