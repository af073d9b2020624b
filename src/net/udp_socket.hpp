#pragma once

// IPv4 datagram sockets: a broadcast sender for the server engine and a receiver for the client
// engine whose wait a second, user-controlled event can break.

#include "core/tick_clock.hpp"

#include <netinet/in.h>
#include <poll.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>

namespace kestrel {
class AutoResetEvent;
}

namespace kestrel::net {

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

// Broadcasts to 255.255.255.255 on its destination port. Used by the server engine thread; the
// user interface thread may retarget it at any time (the port is never read half-written).
class CUdpSender : public CUdpSocket {
public:
  explicit CUdpSender(std::uint16_t port) noexcept { SetDestinationPort(port); }

  // Makes the socket and allows broadcasts; raises "srv.Create" or "SO_BROADCAST".
  void Open();
  // The interface to broadcast on; empty: the system's routing decides, and when it has no route
  // (a LAN without gateway) the interface of the first local address is used.
  void SetInterface(const std::string& name);
  [[nodiscard]] unsigned InterfaceIndex() const noexcept { return interfaceIndex_.load(std::memory_order_relaxed); }

  void SetDestinationPort(std::uint16_t port) noexcept { port_.store(port, std::memory_order_relaxed); }
  [[nodiscard]] std::uint16_t DestinationPort() const noexcept { return port_.load(std::memory_order_relaxed); }

  // One datagram; true when it left whole. Never blocks for long, never allocates.
  bool Send(std::span<const std::byte> datagram) noexcept;

private:
  bool SendVia(std::span<const std::byte> datagram, unsigned interfaceIndex) noexcept;

  std::atomic<std::uint16_t> port_{0};
  std::atomic<unsigned> interfaceIndex_{0}; // 0: routing decides; the window may change it any time
  unsigned fallbackIndex_ = 0;              // the first local address's interface, found when first needed
  bool unrouted_ = false;                   // the broadcast was found to have no route ...
  Tick unroutedSince_ = 0;                  // ... at this tick
};

// Receives the datagrams broadcast to one port on the interface of one local address.
// Client engine thread only.
class CUdpReceiver : public CUdpSocket {
public:
  static constexpr std::size_t kBufferSize = 9999;

  // Binds to the port on every address (so that broadcasts arrive) without address reuse (so a
  // taken port fails), and takes only datagrams that arrived on the interface owning `address`
  // (network order; 0: any). Raises "HostIP" with EADDRNOTAVAIL when no interface of this
  // machine has `address`, and "bind" with the system's error when the port is taken. Returns
  // false when no socket can be made.
  bool Open(std::uint16_t port, in_addr_t address);

  // Waits for a datagram or for `interrupt`: the number of bytes (the interrupt wins over a
  // datagram waiting, which the next call returns; empty datagrams and datagrams from other interfaces are passed over,
  // and so are datagrams longer than the buffer), 0 when the interrupt came (it is consumed), -1 on error. `resume` is
  // kept for callers that resume an interrupted wait: nothing is lost or repeated.
  int Receive(AutoResetEvent& interrupt, bool resume);
  // The same, also waiting on `others` (at most kMaxOthers sockets, such as the multicast ports):
  // kOthersReady when one of them has something, their revents set. A socket here that never runs
  // dry does not hold them off: they are looked at every 16 datagrams.
  static constexpr int kOthersReady = -2;
  static constexpr std::size_t kMaxOthers = 8;
  int Receive(AutoResetEvent& interrupt, bool resume, std::span<pollfd> others);

  void CloseAll() { Close(true); }

  [[nodiscard]] std::span<const std::byte> Data(std::size_t length) const noexcept { return {buffer_.data(), length}; }
  [[nodiscard]] in_addr_t SenderAddress() const noexcept { return sender_.sin_addr.s_addr; }
  [[nodiscard]] std::uint16_t LocalPort() const noexcept { return localPort_; }
  [[nodiscard]] std::uint64_t Oversized() const noexcept { return oversized_; }

private:
  std::array<std::byte, kBufferSize + 1> buffer_{};
  sockaddr_in sender_{};
  std::uint16_t localPort_ = 0;
  int interfaceIndex_ = 0; // 0: any
  std::uint64_t oversized_ = 0;
  unsigned turn_ = 0; // datagrams since the other sockets were last looked at
};

// The index of the interface that owns this IPv4 address (network order), 0 when none does.
[[nodiscard]] unsigned InterfaceOfAddress(in_addr_t address);
// The first interface, in the system's order, that is up, not loopback and has an IPv4 address.
[[nodiscard]] unsigned FirstLocalInterface();

} // namespace kestrel::net
