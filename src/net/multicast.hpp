// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The sockets of the multicast raw-MIDI convention (core/wire/raw_midi.hpp): a sender for the server
// engine, which sends every captured message of port n to 225.0.0.37, UDP port 21927 + n, and a
// receiver for the client engine, which joins the group and reads those ports. Neither hears
// itself: the sender turns multicast loopback off, and the receiver passes over datagrams whose
// source is an address of this machine.

#include "base/tick_clock.hpp"
#include "core/event_record.hpp"
#include "core/wire/raw_midi.hpp"

#include <netinet/in.h>
#include <poll.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kestrel {
class DropCounters;
}

namespace kestrel::net {

inline constexpr int kMulticastPorts = kVirtualPorts; // ports 21928..21935

class MulticastSender {
public:
  MulticastSender() = default;
  ~MulticastSender();
  MulticastSender(const MulticastSender&) = delete;
  MulticastSender& operator=(const MulticastSender&) = delete;

  // Makes the socket: multicast loopback off, one hop (the LAN). Raises NetError ("mc.Create",
  // "IP_MULTICAST_LOOP"). UI thread, before the engine uses it.
  void Open();
  // The interface to send on; empty: the system's routing decides, and without a route the
  // interface of the first local address is used. Any thread.
  void SetInterface(const std::string& name);

  // Sends the raw bytes of every MIDI record of ports 1..8 among whole records lying end to end
  // (as the send queue hands them over), one datagram each. Records it may not send (see
  // core/wire/raw_midi.hpp) are counted. Server engine thread; never allocates.
  void SendRecords(std::span<const std::byte> records) noexcept;

  // Whole system-exclusive messages above kMaxRawDatagram, and pieces of messages longer than one
  // capture buffer, that were not sent. Any thread.
  [[nodiscard]] std::uint64_t NotSent() const noexcept { return notSent_.load(std::memory_order_relaxed); }
  // Messages not sent are counted there too. Before the engine sends.
  void SetDropCounters(DropCounters* drops) noexcept { drops_ = drops; }
  [[nodiscard]] std::uint64_t Sent() const noexcept { return sent_.load(std::memory_order_relaxed); }
  // Messages the system did not take (a burst beyond the socket's buffer, no route). Any thread.
  [[nodiscard]] std::uint64_t SendFailed() const noexcept { return sendFailed_.load(std::memory_order_relaxed); }

private:
  bool SendVia(std::span<const std::byte> datagram, int midiPort, unsigned interfaceIndex) noexcept;

  int fd_ = -1;
  std::atomic<unsigned> interfaceIndex_{0};
  unsigned fallbackIndex_ = 0; // engine thread
  std::atomic<std::uint64_t> notSent_{0};
  DropCounters* drops_ = nullptr;
  std::atomic<std::uint64_t> sent_{0};
  std::atomic<std::uint64_t> sendFailed_{0};
};

// One message can reach a client twice: in a Kestrel datagram and on a multicast port, from a
// server that speaks both. Whichever copy comes first is played and the other one, from the same
// sender on the same MIDI port with the same bytes within kWindowMs, is passed over. Each message
// played stands for one copy on the other path, so a run of identical messages (MIDI Clock) plays
// as often as it was sent; nothing is passed over for its sender alone (another program on a
// server's host, a second server, the first batch of a connection).
// Fixed storage; client engine thread only.
class PathCopies {
public:
  enum class Path : std::uint8_t { Kestrel, Multicast };
  static constexpr Tick kWindowMs = 500; // a server sends both copies within one send
  static constexpr std::size_t kRemembered = 1024;

  // True when this message (a MIDI record's header and payload) is the copy of one the other path
  // played; otherwise it is remembered as played on `path`.
  [[nodiscard]] bool IsCopy(Path path, in_addr_t sender, const EventRecord& header, std::span<const std::byte> payload,
                            Tick now) noexcept;

private:
  struct Played {
    std::uint64_t key = 0; // the message's raw bytes, hashed
    Tick time = 0;
    in_addr_t sender = 0;
    std::int32_t port = 0;
    Path path = Path::Kestrel;
    bool matched = false;
  };
  std::array<Played, kRemembered> played_{};
  std::size_t head_ = 0; // the oldest entry still held
  std::size_t count_ = 0;
};

// Client engine thread only.
// This machine's IPv4 addresses, as one thread last wrote them: read by the engine without a lock,
// an allocation or a system call. A reader that meets a write in progress takes the list as
// empty for that datagram.
class OwnAddresses {
public:
  static constexpr std::size_t kMost = 32;
  // One writer (the window's thread, once a second).
  void Set(std::span<const in_addr_t> addresses) noexcept;
  // Any thread.
  [[nodiscard]] bool Contains(in_addr_t address) const noexcept;

private:
  std::atomic<std::uint32_t> version_{0}; // odd while a write is in progress
  std::atomic<std::size_t> count_{0};
  std::array<std::atomic<in_addr_t>, kMost> addresses_{};
};

class MulticastReceiver {
public:
  MulticastReceiver() = default;
  ~MulticastReceiver() { Close(); }
  MulticastReceiver(const MulticastReceiver&) = delete;
  MulticastReceiver& operator=(const MulticastReceiver&) = delete;

  // Binds 225.0.0.37 on UDP ports 21928..21935 (address reuse on, as other listeners of the
  // convention on this machine expect) and joins the group on the interface owning `address`
  // (network order; 0: where the routing says, or the first local network without a route);
  // only datagrams that arrived there are taken. Returns the number of ports open; a port that
  // cannot be had is left out and beeps.
  int Open(in_addr_t address);
  void Close() noexcept;
  [[nodiscard]] bool IsOpen() const noexcept { return count_ > 0; }
  [[nodiscard]] in_addr_t Address() const noexcept { return address_; }

  // The sockets to wait on (POLLIN), in port order; the caller's poll fills their revents.
  [[nodiscard]] std::span<pollfd> PollFds() noexcept { return {fds_.data(), count_}; }

  // Reads what waits on the sockets whose revents say so (at most 64 datagrams each, so that no
  // port holds up the others) and calls `handle(int midiPort, std::span<const std::byte>,
  // in_addr_t sender)` for each datagram that is not this machine's own; clears the revents.
  template <class Handle>
  void ReadReady(Handle&& handle);

  // Datagrams passed over because they came from this machine's own addresses.
  [[nodiscard]] std::uint64_t FromSelf() const noexcept { return fromSelf_; }
  // This machine's addresses, kept up to date by the window's thread.
  [[nodiscard]] OwnAddresses& Own() noexcept { return own_; }

private:
  // -1: nothing more; else the datagram's length (its bytes in buffer_), sender in *from.
  long ReadOne(int fd, in_addr_t* from) noexcept;

  std::array<pollfd, kMulticastPorts> fds_{};
  std::array<int, kMulticastPorts> ports_{}; // the MIDI port of each socket
  std::size_t count_ = 0;
  in_addr_t address_ = 0;
  int interfaceIndex_ = 0;              // 0: any
  std::unique_ptr<std::byte[]> buffer_; // kMaxRawDatagram + 1
  OwnAddresses own_;
  std::uint64_t fromSelf_ = 0;
};

template <class Handle>
void MulticastReceiver::ReadReady(Handle&& handle) {
  for (std::size_t i = 0; i < count_; ++i) {
    pollfd& p = fds_[i];
    if ((p.revents & POLLIN) == 0) continue;
    p.revents = 0;
    for (int k = 0; k < 64; ++k) {
      in_addr_t from = 0;
      const long n = ReadOne(p.fd, &from);
      if (n < 0) break;
      if (n == 0) continue;
      if (own_.Contains(from)) {
        ++fromSelf_;
        continue;
      }
      handle(ports_[i], std::span<const std::byte>(buffer_.get(), static_cast<std::size_t>(n)), from);
    }
  }
}

} // namespace kestrel::net
