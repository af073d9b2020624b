// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// IPv4 datagram sockets: a broadcast sender for the server engine and a receiver for the client
// engine whose wait a second, user-controlled event can break.

#include "base/tick_clock.hpp"

#include <netinet/in.h>
#include <poll.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrel {
class AutoResetEvent;
class DropCounters;
} // namespace kestrel

namespace kestrel::net {

// One datagram taken without waiting from a socket with IP_PKTINFO on: its size (-1 with errno
// when none was there), whether it was longer than `buffer`, its sender, and, when the kernel said,
// the interface it came in on and the address it was sent to.
struct Arrival {
  long size = -1;
  bool truncated = false;
  in_addr_t from = 0;
  bool hasInfo = false;
  int interfaceIndex = 0;
  in_addr_t to = 0;
};
Arrival ReceiveDatagram(int fd, std::span<std::byte> buffer) noexcept;

// A socket step that failed, named as the program has always named it ("bind", "srv.Create",
// "SO_BROADCAST", "!SO_REUSEADDR"), with the system's error number.
class NetError : public std::runtime_error {
public:
  NetError(const char* step, int error) : std::runtime_error(step), error_(error) {}
  [[nodiscard]] int Error() const noexcept { return error_; }

private:
  int error_;
};

class CUdpSocket {
public:
  CUdpSocket() = default;
  virtual ~CUdpSocket();
  CUdpSocket(const CUdpSocket&) = delete;
  CUdpSocket& operator=(const CUdpSocket&) = delete;

  // Makes the socket. With a port or an address it is bound there (address reuse on, else
  // "!SO_REUSEADDR" is raised); returns whether it could be made and bound.
  bool Create(std::uint16_t localPort = 0, const char* localAddress = nullptr);
  // Closes the socket (shutting it down first when asked); -1 when there is none.
  virtual int Close(bool shutdownFirst);
  [[nodiscard]] int Fd() const noexcept { return fd_; }

protected:
  int CloseSocket(bool shutdownFirst) noexcept; // what Close does, safe in the destructor
  int fd_ = -1;
};

// Where a sender's datagrams go besides (or instead of) the broadcast. Fixed while an engine
// uses the sender.
struct SenderDestinations {
  bool broadcast = true;          // 255.255.255.255
  std::vector<in_addr_t> targets; // unicast addresses, network order
  in_addr_t group = 0;            // a multicast group, network order; 0: none
  int ttl = 1;                    // the group's time to live (routers it may cross)
};

// Broadcasts to 255.255.255.255 on its destination port, and sends the same datagrams to its
// unicast targets and its multicast group. Used by the server engine thread; the user interface
// thread may retarget the port and the broadcast's interface at any time (never read half-written),
// and reads how the targets fare.
class CUdpSender : public CUdpSocket {
public:
  explicit CUdpSender(std::uint16_t port) noexcept { SetDestinationPort(port); }

  // Datagrams a target without route did not get are counted there too. Before the engine sends.
  void SetDropCounters(DropCounters* drops) noexcept { drops_ = drops; }

  // Makes the socket and allows broadcasts; raises "srv.Create" or "SO_BROADCAST".
  void Open();
  // After Open, before the sender is handed to an engine. Raises "IP_MULTICAST_TTL" or
  // "IP_MULTICAST_LOOP". A machine running a client too hears its own server: by the broadcast,
  // or, without it, by the group looped back (only then, so that it never hears both).
  void SetDestinations(const SenderDestinations& destinations);
  // The interface to broadcast (and send to the group) on; empty: the system's routing decides,
  // and when it has no route (a LAN without gateway) the interface of the first local address is
  // used. Targets always go where the routing sends them.
  void SetInterface(const std::string& name);
  [[nodiscard]] unsigned InterfaceIndex() const noexcept { return interfaceIndex_.load(std::memory_order_relaxed); }

  void SetDestinationPort(std::uint16_t port) noexcept { port_.store(port, std::memory_order_relaxed); }
  [[nodiscard]] std::uint16_t DestinationPort() const noexcept { return port_.load(std::memory_order_relaxed); }

  // One datagram to every destination; true when it left whole to each one that has a route. A
  // target without route (or refused by a firewall rule) is counted and passed over. Never blocks
  // for long, never allocates.
  bool Send(std::span<const std::byte> datagram) noexcept;

  // How the targets fare, for any thread.
  [[nodiscard]] std::size_t TargetCount() const noexcept { return targets_.size(); }
  [[nodiscard]] in_addr_t TargetAddress(std::size_t i) const noexcept { return targets_[i].address; }
  // Datagrams the target's route refused, and the error of the last one.
  [[nodiscard]] std::uint64_t TargetFailures(std::size_t i) const noexcept { return targets_[i].failures.load(); }
  [[nodiscard]] int TargetError(std::size_t i) const noexcept { return targets_[i].lastError.load(); }
  // Whether the last datagram to the target failed.
  [[nodiscard]] bool TargetFailing(std::size_t i) const noexcept { return targets_[i].failing.load(); }

private:
  struct Target {
    in_addr_t address = 0;
    std::atomic<std::uint64_t> failures{0};
    std::atomic<int> lastError{0};
    std::atomic<bool> failing{false};
  };

  bool SendBroadcast(std::span<const std::byte> datagram) noexcept;
  bool SendGroup(std::span<const std::byte> datagram) noexcept;
  bool SendVia(std::span<const std::byte> datagram, in_addr_t to, unsigned interfaceIndex) noexcept;

  DropCounters* drops_ = nullptr;
  std::atomic<std::uint16_t> port_{0};
  std::atomic<unsigned> interfaceIndex_{0}; // 0: routing decides; the window may change it any time
  unsigned fallbackIndex_ = 0;              // the first local address's interface, found when first needed
  bool unrouted_ = false;                   // the broadcast was found to have no route ...
  Tick unroutedSince_ = 0;                  // ... at this tick
  bool broadcast_ = true;
  in_addr_t group_ = 0;
  std::vector<Target> targets_; // made once, before the engine sends
};

// Receives the datagrams broadcast to one port on the interface of one local address.
// A server may send each datagram to this machine's address or a group as well as to the
// broadcast: from a sender whose datagrams come to this address or a group, broadcasts are passed
// over (those ways can be more reliable: Wi-Fi resends unicast, never a broadcast).
// Client engine thread only.
class CUdpReceiver : public CUdpSocket {
public:
  static constexpr std::size_t kBufferSize = 9999;

  // Binds to the port on every address (so that broadcasts arrive) without address reuse (so a
  // taken port fails), and takes only datagrams that arrived on the interface owning `address`
  // (network order; 0: any). Raises "HostIP" with EADDRNOTAVAIL when no interface of this
  // machine has `address`, and "bind" with the system's error when the port is taken. Returns
  // false when no socket can be made. With a multicast `group` (network order) the socket also
  // joins it on that interface (any when `address` is 0); a group that cannot be joined leaves
  // the broadcasts heard, and JoinError() says why.
  bool Open(std::uint16_t port, in_addr_t address, in_addr_t group = 0);

  // Waits for a datagram or for `interrupt`: the number of bytes (the interrupt wins over a
  // datagram waiting, which the next call returns; empty datagrams and datagrams from other interfaces are passed over,
  // and so are datagrams longer than the buffer), 0 when the interrupt came (it is consumed), -1 on error. `resume` is
  // kept for callers that resume an interrupted wait: nothing is lost or repeated. Empty datagrams
  // are counted; a socket that never runs dry makes the calling thread rest (RestWhenBusy).
  int Receive(AutoResetEvent& interrupt, bool resume);
  // The same, also waiting on `others` (at most kMaxOthers sockets: the other transports'):
  // kOthersReady when one of them has something, their revents set. A socket here that never runs
  // dry does not hold them off: they are looked at every 16 datagrams.
  static constexpr int kOthersReady = -2;
  static constexpr std::size_t kMaxOthers = 32;
  int Receive(AutoResetEvent& interrupt, bool resume, std::span<pollfd> others);

  void CloseAll() { Close(true); }

  [[nodiscard]] std::span<const std::byte> Data(std::size_t length) const noexcept { return {buffer_.data(), length}; }
  [[nodiscard]] in_addr_t SenderAddress() const noexcept { return sender_.sin_addr.s_addr; }
  [[nodiscard]] std::uint16_t LocalPort() const noexcept { return localPort_; }
  [[nodiscard]] std::uint64_t Oversized() const noexcept { return oversized_; }
  // Datagrams passed over as copies of one the same sender sent to another destination here.
  [[nodiscard]] std::uint64_t Copies() const noexcept { return copies_; }
  // The system's error when the last Open's group could not be joined, else 0.
  [[nodiscard]] int JoinError() const noexcept { return joinError_; }
  // Oversized datagrams are counted there too (null: nowhere else). Before the first Receive.
  void SetDropCounters(DropCounters* drops) noexcept { drops_ = drops; }

private:
  std::array<std::byte, kBufferSize + 1> buffer_{};
  sockaddr_in sender_{};
  std::uint16_t localPort_ = 0;
  int interfaceIndex_ = 0; // 0: any
  // Whether a datagram from `from` to `to` is one to take: any but the second copy of one the
  // same sender sent to another of this machine's destinations (this address, a group, the
  // broadcast) within kCopyHeldMs. Copies are known by their bytes, so nothing a sender sends
  // to one destination ever hides what it sends to another.
  bool Take(in_addr_t from, in_addr_t to, std::span<const std::byte> datagram) noexcept;

  static constexpr Tick kCopyHeldMs = 500; // a server sends its copies within one send
  struct Taken {
    in_addr_t from = 0;
    in_addr_t to = 0;
    Tick heard = 0;
    std::uint64_t hash = 0;
  };
  std::array<Taken, 64> taken_{}; // the latest datagrams taken, the oldest replaced
  std::size_t nextTaken_ = 0;
  std::uint64_t oversized_ = 0;
  std::uint64_t copies_ = 0;
  int joinError_ = 0;
  DropCounters* drops_ = nullptr;
  unsigned turn_ = 0; // datagrams since the other sockets were last looked at
};

// Sends one datagram from socket `fd` to `to`, out of the interface `interfaceIndex` when it is not
// 0; true when it left whole. Never allocates.
[[nodiscard]] bool SendDatagramVia(int fd, std::span<const std::byte> datagram, const sockaddr_in& to,
                                   unsigned interfaceIndex) noexcept;

// The index of the interface that owns this IPv4 address (network order), 0 when none does.
[[nodiscard]] unsigned InterfaceOfAddress(in_addr_t address);
// The first interface, in the system's order, that is up, not loopback and has an IPv4 address.
[[nodiscard]] unsigned FirstLocalInterface();

} // namespace kestrel::net
