// SPDX-License-Identifier: GPL-3.0-or-later
#include "net/udp_socket.hpp"

#include "base/auto_reset_event.hpp"
#include "base/tick_clock.hpp"
#include "core/drop_counters.hpp"
#include "platform/realtime.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrel::net {

namespace {

// The socket interface's own type pun.
sockaddr* AsSockaddr(sockaddr_in* a) noexcept {
  return reinterpret_cast<sockaddr*>(a); // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
}

} // namespace

unsigned InterfaceOfAddress(in_addr_t address) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return 0;
  unsigned index = 0;
  for (const ifaddrs* a = list; a != nullptr && index == 0; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
    sockaddr_in in{};
    std::memcpy(&in, a->ifa_addr, sizeof in);
    if (in.sin_addr.s_addr == address) index = if_nametoindex(a->ifa_name);
  }
  freeifaddrs(list);
  return index;
}

unsigned FirstLocalInterface() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return 0;
  unsigned index = 0;
  for (const ifaddrs* a = list; a != nullptr && index == 0; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
    if ((a->ifa_flags & IFF_UP) == 0 || (a->ifa_flags & IFF_LOOPBACK) != 0) continue;
    index = if_nametoindex(a->ifa_name);
  }
  freeifaddrs(list);
  return index;
}

// ---- CUdpSocket ------------------------------------------------------------------------------

CUdpSocket::~CUdpSocket() { CloseSocket(true); }

bool CUdpSocket::Create(std::uint16_t localPort, const char* localAddress) {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  if (localPort == 0 && localAddress == nullptr) return true;
  const int on = 1;
  if (setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) throw NetError("!SO_REUSEADDR", errno);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(localPort);
  a.sin_addr.s_addr = localAddress != nullptr ? inet_addr(localAddress) : htonl(INADDR_ANY);
  return bind(fd_, AsSockaddr(&a), sizeof a) == 0;
}

int CUdpSocket::Close(bool shutdownFirst) { return CloseSocket(shutdownFirst); }

int CUdpSocket::CloseSocket(bool shutdownFirst) noexcept {
  if (fd_ < 0) return -1;
  if (shutdownFirst) shutdown(fd_, SHUT_RDWR);
  const int result = close(fd_);
  fd_ = -1;
  return result;
}

// ---- CUdpSender ------------------------------------------------------------------------------

void CUdpSender::Open() {
  Close(true);
  if (!Create(0, nullptr)) throw NetError("srv.Create", errno);
  const int on = 1;
  if (setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) throw NetError("SO_BROADCAST", errno);
  fallbackIndex_ = FirstLocalInterface();
}

void CUdpSender::SetDestinations(const SenderDestinations& destinations) {
  broadcast_ = destinations.broadcast;
  group_ = destinations.group;
  targets_ = std::vector<Target>(destinations.targets.size());
  for (std::size_t i = 0; i < targets_.size(); ++i) targets_[i].address = destinations.targets[i];
  if (group_ == 0) return;
  const int ttl = destinations.ttl;
  if (setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) throw NetError("IP_MULTICAST_TTL", errno);
  const int loop = broadcast_ ? 0 : 1;
  if (setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0) {
    throw NetError("IP_MULTICAST_LOOP", errno);
  }
}

void CUdpSender::SetInterface(const std::string& name) {
  interfaceIndex_.store(name.empty() ? 0 : if_nametoindex(name.c_str()), std::memory_order_relaxed);
}

bool SendDatagramVia(int fd, std::span<const std::byte> datagram, const sockaddr_in& to,
                     unsigned interfaceIndex) noexcept {
  iovec iov{const_cast<std::byte*>(datagram.data()), datagram.size()};
  msghdr msg{};
  msg.msg_name = const_cast<sockaddr_in*>(&to);
  msg.msg_namelen = sizeof to;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  // The interface is named per datagram (no privilege needed, unlike binding to a device); the
  // limited broadcast then leaves there even when the routing table has no way for it.
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(in_pktinfo))> control{};
  if (interfaceIndex != 0) {
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_ifindex = static_cast<int>(interfaceIndex);
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
  }
  return sendmsg(fd, &msg, MSG_NOSIGNAL) == static_cast<ssize_t>(datagram.size());
}

bool CUdpSender::SendVia(std::span<const std::byte> datagram, in_addr_t to, unsigned interfaceIndex) noexcept {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(DestinationPort());
  address.sin_addr.s_addr = to;
  return SendDatagramVia(fd_, datagram, address, interfaceIndex);
}

bool CUdpSender::SendBroadcast(std::span<const std::byte> datagram) noexcept {
  const in_addr_t everyone = htonl(INADDR_BROADCAST);
  // Once the broadcast is known to have no route, datagrams go straight to the first local
  // network for a second, instead of each first failing on the route (a system call of its own).
  // Then the route is asked again, so that a gateway that appears is used.
  const unsigned chosen = interfaceIndex_.load(std::memory_order_relaxed);
  if (chosen == 0 && unrouted_) {
    if (TickDiff(TickCount(), unroutedSince_) < 1000 && SendVia(datagram, everyone, fallbackIndex_)) return true;
    unrouted_ = false;
  }
  if (SendVia(datagram, everyone, chosen)) return true;
  if (chosen == 0 && (errno == ENETUNREACH || errno == EHOSTUNREACH)) {
    // No route for the broadcast: a LAN without gateway. Use the first local network.
    if (fallbackIndex_ == 0) fallbackIndex_ = FirstLocalInterface();
    if (fallbackIndex_ != 0 && SendVia(datagram, everyone, fallbackIndex_)) {
      unrouted_ = true;
      unroutedSince_ = TickCount();
      return true;
    }
  }
  return false;
}

bool CUdpSender::SendGroup(std::span<const std::byte> datagram) noexcept {
  // Like the broadcast: on the chosen interface, else where a route (a multicast or default
  // route) leads, else on the first local network.
  const unsigned chosen = interfaceIndex_.load(std::memory_order_relaxed);
  if (SendVia(datagram, group_, chosen)) return true;
  if (chosen != 0 || (errno != ENETUNREACH && errno != EHOSTUNREACH)) return false;
  if (fallbackIndex_ == 0) fallbackIndex_ = FirstLocalInterface();
  return fallbackIndex_ != 0 && SendVia(datagram, group_, fallbackIndex_);
}

bool CUdpSender::Send(std::span<const std::byte> datagram) noexcept {
  if (fd_ < 0) return false;
  bool whole = true;
  // The targets and the group before the broadcast: a client that hears both ways takes the
  // first copy, which is the one it keeps (see CUdpReceiver).
  // Each target on its own: one without route costs only its own datagram.
  for (Target& target : targets_) {
    if (SendVia(datagram, target.address, 0)) {
      target.failing.store(false, std::memory_order_relaxed);
      continue;
    }
    const int error = errno;
    if (error == ENETUNREACH || error == EHOSTUNREACH || error == EACCES || error == EPERM || error == ENETDOWN) {
      target.lastError.store(error, std::memory_order_relaxed);
      target.failures.fetch_add(1, std::memory_order_relaxed);
      if (drops_ != nullptr) drops_->Add(Drop::TargetUnreachable);
      target.failing.store(true, std::memory_order_relaxed);
    } else {
      whole = false;
    }
  }
  if (group_ != 0 && !SendGroup(datagram)) whole = false;
  if (broadcast_ && !SendBroadcast(datagram)) whole = false;
  return whole;
}

// ---- CUdpReceiver ----------------------------------------------------------------------------

bool CUdpReceiver::Open(std::uint16_t port, in_addr_t address, in_addr_t group) {
  Close(true);
  // An address the machine no longer has (DHCP moved it, another network) names no interface:
  // listening on all of them instead would play whatever any network broadcasts, a VPN's too.
  interfaceIndex_ = address == 0 ? 0 : static_cast<int>(InterfaceOfAddress(address));
  if (address != 0 && interfaceIndex_ == 0) throw NetError("HostIP", EADDRNOTAVAIL);
  if (!Create(0, nullptr)) return false;
  const int on = 1;
  setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
  // Bound to every address, since a socket bound to a unicast address hears no broadcasts here;
  // no address reuse, so a port that another socket holds still fails.
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd_, AsSockaddr(&a), sizeof a) != 0) throw NetError("bind", errno);
  socklen_t length = sizeof a;
  getsockname(fd_, AsSockaddr(&a), &length);
  localPort_ = ntohs(a.sin_port);
  // Only the groups this socket joins, not those other programs here join on the same port.
  const int off = 0;
  setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
  joinError_ = 0;
  taken_ = {};
  if (group != 0) {
    ip_mreqn join{};
    join.imr_multiaddr.s_addr = group;
    join.imr_ifindex = interfaceIndex_;
    int joined = setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join);
    if (joined != 0 && interfaceIndex_ == 0 && errno == ENODEV) {
      // No route says where the group lies (a LAN without gateway): the first local network.
      join.imr_ifindex = static_cast<int>(FirstLocalInterface());
      joined = join.imr_ifindex != 0 ? setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) : -1;
    }
    if (joined != 0) joinError_ = errno != 0 ? errno : ENODEV;
  }
  return true;
}

bool CUdpReceiver::Take(in_addr_t from, in_addr_t to, std::span<const std::byte> datagram) noexcept {
  std::uint64_t hash = 14695981039346656037ULL; // FNV-1a
  for (const std::byte b : datagram) hash = (hash ^ static_cast<std::uint8_t>(b)) * 1099511628211ULL;
  const Tick now = TickCount();
  for (Taken& t : taken_) {
    if (t.from == from && t.hash == hash && t.to != to && t.from != 0 && TickElapsed(now, t.heard) < kCopyHeldMs) {
      ++copies_; // kept: a third destination's copy is passed over too
      return false;
    }
  }
  taken_[nextTaken_] = Taken{from, to, now, hash};
  nextTaken_ = (nextTaken_ + 1) % taken_.size();
  return true;
}

int CUdpReceiver::Receive(AutoResetEvent& interrupt, bool resume) { return Receive(interrupt, resume, {}); }

int CUdpReceiver::Receive(AutoResetEvent& interrupt, bool /*resume*/, std::span<pollfd> others) {
  if (fd_ < 0) return -1;
  if (others.size() > kMaxOthers) others = others.first(kMaxOthers);
  for (;;) {
    // A socket that never runs dry (a flood) must not keep a real-time thread from blocking: the
    // kernel kills a process whose real-time thread runs RLIMIT_RTTIME without blocking.
    if (RestWhenBusy(interrupt.Fd())) CountDrop(drops_, Drop::EnginePause);
    // The interrupt first: a socket that never runs dry must not hold off the window's commands.
    if (interrupt.MaybeSet() && interrupt.Consume()) return 0;
    if (!others.empty() && (++turn_ & 15U) == 0 && poll(others.data(), others.size(), 0) > 0) return kOthersReady;
    const Arrival a = ReceiveDatagram(fd_, buffer_);
    const long n = a.size;
    if (n >= 0) sender_.sin_addr.s_addr = a.from;
    if (n > 0) {
      if (static_cast<std::size_t>(n) > kBufferSize || a.truncated) {
        ++oversized_; // no sender of ours makes these: passed over
        CountDrop(drops_, Drop::Oversized);
        continue;
      }
      if (a.hasInfo) {
        if (interfaceIndex_ != 0 && a.interfaceIndex != interfaceIndex_) continue; // another network's broadcast
        if (!Take(a.from, a.to, {buffer_.data(), static_cast<std::size_t>(n)})) continue;
      }
      return static_cast<int>(n);
    }
    if (n == 0) { // an empty datagram carries nothing
      CountDrop(drops_, Drop::EmptyDatagram);
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
    // Nothing waiting: sleep until a datagram or the interrupt.
    std::array<pollfd, 2 + kMaxOthers> fds{pollfd{fd_, POLLIN, 0}, pollfd{interrupt.Fd(), POLLIN, 0}};
    for (std::size_t i = 0; i < others.size(); ++i) fds[2 + i] = pollfd{others[i].fd, POLLIN, 0};
    if (poll(fds.data(), 2 + others.size(), -1) < 0 && errno != EINTR) return -1;
    if ((fds[1].revents & POLLIN) != 0 && interrupt.Consume()) return 0;
    if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0) return -1;
    bool otherReady = false;
    for (std::size_t i = 0; i < others.size(); ++i) {
      others[i].revents = fds[2 + i].revents;
      otherReady = otherReady || (others[i].revents & POLLIN) != 0;
    }
    if (otherReady) return kOthersReady;
  }
}

Arrival ReceiveDatagram(int fd, std::span<std::byte> buffer) noexcept {
  sockaddr_in sender{};
  iovec iov{buffer.data(), buffer.size()};
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(in_pktinfo))> control{};
  msghdr msg{};
  msg.msg_name = &sender;
  msg.msg_namelen = sizeof sender;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control.data();
  msg.msg_controllen = control.size();
  Arrival a;
  a.size = static_cast<long>(recvmsg(fd, &msg, MSG_DONTWAIT));
  if (a.size < 0) return a;
  a.truncated = (msg.msg_flags & MSG_TRUNC) != 0;
  a.from = sender.sin_addr.s_addr;
  const cmsghdr* c = CMSG_FIRSTHDR(&msg);
  if (c != nullptr && c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
    in_pktinfo info{};
    std::memcpy(&info, CMSG_DATA(c), sizeof info);
    a.hasInfo = true;
    a.interfaceIndex = info.ipi_ifindex;
    a.to = info.ipi_addr.s_addr;
  }
  return a;
}

} // namespace kestrel::net
