// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The multicast raw-MIDI convention (core/wire/raw_midi.hpp) as a transport (net/transport.hpp):
// a sender for the server engine, which sends every captured message of port n to 225.0.0.37,
// UDP port 21927 + n, and a receiver for the client engine, which joins the group on the
// interface the client listens on, reads those ports and hands their messages over as records.
// Neither hears itself: the sender turns multicast loopback off, and the receiver passes over
// datagrams whose source is an address of this machine.

#include "base/tick_clock.hpp"
#include "core/event_record.hpp"
#include "core/wire/raw_midi.hpp"
#include "net/transport.hpp"

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

class MulticastSender final : public RecordsOut {
public:
  MulticastSender() = default;
  ~MulticastSender() override;
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
  void SendRecords(std::span<const std::byte> records) noexcept override;

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

class MulticastReceiver final : public RecordsIn {
public:
  MulticastReceiver() = default;
  ~MulticastReceiver() override { Close(); }
  MulticastReceiver(const MulticastReceiver&) = delete;
  MulticastReceiver& operator=(const MulticastReceiver&) = delete;

  // Binds 225.0.0.37 on UDP ports 21928..21935 (address reuse on, as other listeners of the
  // convention on this machine expect) and joins the group on the interface owning `address`
  // (network order; 0: where the routing says, or the first local network without a route);
  // only datagrams that arrived there are taken. Returns the number of ports open; a port that
  // cannot be had is left out and beeps.
  int Open(in_addr_t address);

  // ---- RecordsIn. Its datagrams do not make or keep a connection (peers of the convention send
  // no keep-alives): the sockets stay open between connections, and are closed when the client
  // stops or listens on another address.
  void Follow(in_addr_t address) override;
  void Close() noexcept override;
  [[nodiscard]] bool IsOpen() const noexcept override { return count_ > 0; }
  [[nodiscard]] std::span<pollfd> PollFds() noexcept override { return {fds_.data(), count_}; }
  // At most 64 datagrams from each socket a round; each message is a record of the socket's MIDI
  // port stamped `now`. A datagram that is not MIDI is dropped whole and counted.
  void ReadReady(RecordsInSink& sink, Tick now) override;

  [[nodiscard]] in_addr_t Address() const noexcept { return address_; }
  // Datagrams passed over because they came from this machine's own addresses.
  [[nodiscard]] std::uint64_t FromSelf() const noexcept { return fromSelf_; }
  // This machine's addresses, kept up to date by the window's thread.
  [[nodiscard]] OwnAddresses& Own() noexcept { return own_; }
  // Datagrams dropped whole because they were not MIDI. Any thread.
  [[nodiscard]] std::uint64_t NotMidi() const noexcept { return notMidi_.load(std::memory_order_relaxed); }
  // They are counted there too. Before the client engine starts.
  void SetDropCounters(DropCounters* drops) noexcept { drops_ = drops; }

private:
  // -1: nothing more; else the datagram's length (its bytes in buffer_), sender in *from.
  long ReadOne(int fd, in_addr_t* from) noexcept;
  void Parse(int port, std::span<const std::byte> datagram, in_addr_t from, RecordsInSink& sink, Tick now);

  std::array<pollfd, kMulticastPorts> fds_{};
  std::array<int, kMulticastPorts> ports_{}; // the MIDI port of each socket
  std::size_t count_ = 0;
  in_addr_t address_ = 0;
  int interfaceIndex_ = 0;              // 0: any
  std::unique_ptr<std::byte[]> buffer_; // kMaxRawDatagram + 1
  std::array<RawMidiParser, kMulticastPorts> parsers_;
  OwnAddresses own_;
  std::uint64_t fromSelf_ = 0;
  std::atomic<std::uint64_t> notMidi_{0};
  DropCounters* drops_ = nullptr;
};

} // namespace kestrel::net
