// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The seam between the engines and the network transports beside Kestrel's own datagrams. The
// server engine hands every batch of records to each RecordsOut attached to its link; the client
// engine waits on the sockets of each RecordsIn added to it and plays what they hand back. A new
// transport implements one side or both in its own folder and is wired in by the controller with
// one line each way; the engines do not change.
//
// Kestrel's own path stays inside the engines: it carries the keep-alives, the connection and the
// repeats that the others do not have.

#include "base/tick_clock.hpp"
#include "core/event_record.hpp"

#include <netinet/in.h>
#include <poll.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <span>

namespace kestrel::net {

// Records out to the network.
class RecordsOut {
public:
  virtual ~RecordsOut() = default;
  // Whole records lying end to end, as the send queue hands them over, before Kestrel's own
  // datagrams of the same batch are packed. Must not keep them, block or allocate per short
  // message. Server engine thread.
  virtual void SendRecords(std::span<const std::byte> records) noexcept = 0;
};

// The transports a server engine sends to, beside its own sender. The window's thread attaches a
// transport before it is used and clears it before it goes; the engine reads the slots without a
// lock.
class RecordsOutSlots {
public:
  static constexpr std::size_t kMost = 4;

  // False when every slot is taken. UI thread.
  bool Attach(RecordsOut& out) noexcept;
  // The engine no longer sees `out` once this returns, unless a batch is being sent to it: stop
  // the engine (or let its batch end) before `out` goes. UI thread.
  void Detach(RecordsOut& out) noexcept;
  // Hands the records to every transport attached. Server engine thread.
  void SendRecords(std::span<const std::byte> records) const noexcept;

private:
  std::array<std::atomic<RecordsOut*>, kMost> slots_{};
};

// Where a RecordsIn hands what it read over: a message of a MIDI port (header.port 1..16, type
// MIM_DATA with a 4-byte word or MIM_LONGDATA with a whole system-exclusive message), from
// `from` (network order). Client engine thread.
class RecordsInSink {
public:
  virtual ~RecordsInSink() = default;
  virtual void Arrived(const EventRecord& header, std::span<const std::byte> payload, in_addr_t from) = 0;
};

// Records in from the network. Every call comes from the client engine's thread, which owns it
// from Start to Stop; the window configures it before the engine starts (or through its own
// atomics).
class RecordsIn {
public:
  virtual ~RecordsIn() = default;
  // The client listens on `address` (network order, 0: every address): open, keep or close the
  // sockets to follow it. At every connection, and when the engine starts listening anew.
  virtual void Follow(in_addr_t address) = 0;
  // The client stops, or its address went away: close everything.
  virtual void Close() noexcept = 0;
  [[nodiscard]] virtual bool IsOpen() const noexcept = 0;
  // The sockets to wait on (POLLIN); the engine's poll fills their revents, between and during
  // connections alike. Their storage stays put until the next Follow or Close.
  [[nodiscard]] virtual std::span<pollfd> PollFds() noexcept = 0;
  // Reads what waits on the sockets whose revents say so, bounded so that no socket holds up the
  // others, hands every message to `sink` and clears the revents. `now` is the engine's clock.
  // Allocates nothing per short message.
  virtual void ReadReady(RecordsInSink& sink, Tick now) = 0;
};

} // namespace kestrel::net
