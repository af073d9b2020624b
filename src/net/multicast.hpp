// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The sockets of the multicast raw-MIDI convention (core/raw_midi.hpp): a sender for the server
// engine, which sends every captured message of port n to 225.0.0.37, UDP port 21927 + n, and a
// receiver for the client engine, which joins the group and reads those ports. Neither hears
// itself: the sender turns multicast loopback off, and the receiver passes over datagrams whose
// source is an address of this machine.

#include "core/event_record.hpp"
#include "core/raw_midi.hpp"
#include "core/tick_clock.hpp"

#include <netinet/in.h>
#include <poll.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace kestrel {
class DropCounters;
}

namespace kestrel::net {

inline constexpr int kMulticastPorts = kVirtualPorts; // ports 21928..21935

class CMulticastSender {
public:
  CMulticastSender() = default;
  ~CMulticastSender();
  CMulticastSender(const CMulticastSender&) = delete;
  CMulticastSender& operator=(const CMulticastSender&) = delete;

  // Makes the socket: multicast loopback off, one hop (the LAN). Raises NetError ("mc.Create",
  // "IP_MULTICAST_LOOP"). UI thread, before the engine uses it.
  void Open();
  // The interface to send on; empty: the system's routing decides, and without a route the
  // interface of the first local address is used. Any thread.
  void SetInterface(const std::string& name);

  // Sends the raw bytes of every MIDI record of ports 1..8 among whole records lying end to end
  // (as the send queue hands them over), one datagram each. Records it may not send (see
  // core/raw_midi.hpp) are counted. Server engine thread; never allocates.
  void SendRecords(std::span<const std::byte> records) noexcept;

  // Whole system-exclusive messages above kMaxRawDatagram, and pieces of messages longer than one
  // capture buffer, that were not sent. Any thread.
  [[nodiscard]] std::uint64_t NotSent() const noexcept { return notSent_.load(std::memory_order_relaxed); }
  // Messages not sent are counted there too. Before the engine sends.
  void SetDropCounters(DropCounters* drops) noexcept { drops_ = drops; }
  [[nodiscard]] std::uint64_t Sent() const noexcept { return sent_.load(std::memory_order_relaxed); }

private:
  bool SendVia(std::span<const std::byte> datagram, int midiPort, unsigned interfaceIndex) noexcept;

  int fd_ = -1;
  std::atomic<unsigned> interfaceIndex_{0};
  unsigned fallbackIndex_ = 0; // engine thread
  std::atomic<std::uint64_t> notSent_{0};
  DropCounters* drops_ = nullptr;
  std::atomic<std::uint64_t> sent_{0};
};

// Client engine thread only.
class CMulticastReceiver {
public:
  CMulticastReceiver() = default;
  ~CMulticastReceiver() { Close(); }
  CMulticastReceiver(const CMulticastReceiver&) = delete;
  CMulticastReceiver& operator=(const CMulticastReceiver&) = delete;

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
  void ReadReady(Tick now, Handle&& handle);

  // Datagrams passed over because they came from this machine's own addresses.
  [[nodiscard]] std::uint64_t FromSelf() const noexcept { return fromSelf_; }

private:
  // -1: nothing more; else the datagram's length (its bytes in buffer_), sender in *from.
  long ReadOne(int fd, in_addr_t* from) noexcept;
  [[nodiscard]] bool OwnAddress(in_addr_t address, Tick now) noexcept;

  std::array<pollfd, kMulticastPorts> fds_{};
  std::array<int, kMulticastPorts> ports_{}; // the MIDI port of each socket
  std::size_t count_ = 0;
  in_addr_t address_ = 0;
  int interfaceIndex_ = 0;              // 0: any
  std::unique_ptr<std::byte[]> buffer_; // kMaxRawDatagram + 1
  // This machine's addresses, looked at again at most once a second while datagrams arrive.
  std::array<in_addr_t, 32> own_{};
  std::size_t ownCount_ = 0;
  Tick ownTime_ = 0;
  bool ownKnown_ = false;
  std::uint64_t fromSelf_ = 0;
};

template <class Handle>
void CMulticastReceiver::ReadReady(Tick now, Handle&& handle) {
  for (std::size_t i = 0; i < count_; ++i) {
    pollfd& p = fds_[i];
    if ((p.revents & POLLIN) == 0) continue;
    p.revents = 0;
    for (int k = 0; k < 64; ++k) {
      in_addr_t from = 0;
      const long n = ReadOne(p.fd, &from);
      if (n < 0) break;
      if (n == 0) continue;
      if (OwnAddress(from, now)) {
        ++fromSelf_;
        continue;
      }
      handle(ports_[i], std::span<const std::byte>(buffer_.get(), static_cast<std::size_t>(n)), from);
    }
  }
}

} // namespace kestrel::net
