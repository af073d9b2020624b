// SPDX-License-Identifier: GPL-3.0-or-later
#include "transport/multicast/multicast.hpp"

#include "core/drop_counters.hpp"

#include "net/udp_socket.hpp"
#include "platform/beep.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrel::net {

namespace {

in_addr_t GroupAddress() noexcept { return inet_addr(kMulticastGroup); }

// The socket interface's own type pun.
sockaddr* AsSockaddr(sockaddr_in* a) noexcept {
  return reinterpret_cast<sockaddr*>(a); // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
}

} // namespace

// ---- MulticastSender ------------------------------------------------------------------------

MulticastSender::~MulticastSender() {
  if (fd_ >= 0) close(fd_);
}

void MulticastSender::Open() {
  if (fd_ >= 0) close(fd_);
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) throw NetError("mc.Create", errno);
  // Never hear ourselves: a client on this machine would play the server's messages twice.
  const unsigned char off = 0;
  if (setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_LOOP, &off, sizeof off) != 0) throw NetError("IP_MULTICAST_LOOP", errno);
  const unsigned char ttl = 1;
  setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
  // A datagram the interface's queue drops is reported (ENOBUFS), so that it is counted: without
  // this the system says it was sent.
  const int on = 1;
  setsockopt(fd_, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
  fallbackIndex_ = FirstLocalInterface();
}

void MulticastSender::SetInterface(const std::string& name) {
  interfaceIndex_.store(name.empty() ? 0 : if_nametoindex(name.c_str()), std::memory_order_relaxed);
}

bool MulticastSender::SendVia(std::span<const std::byte> datagram, int midiPort, unsigned interfaceIndex) noexcept {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(MulticastPortOf(midiPort));
  to.sin_addr.s_addr = GroupAddress();
  // The interface named per datagram, as the broadcasts do: the window may change it at any time.
  return SendDatagramVia(fd_, datagram, to, interfaceIndex);
}

void MulticastSender::SendRecords(std::span<const std::byte> records) noexcept {
  if (fd_ < 0) return;
  std::array<std::byte, 3> scratch{};
  std::size_t p = 0;
  while (p + kHeaderSize <= records.size()) {
    const EventRecord h = LoadHeader(records.data() + p);
    if (h.dataLength < 0 || static_cast<std::size_t>(h.dataLength) > records.size() - p - kHeaderSize) return;
    const auto payload = records.subspan(p + kHeaderSize, static_cast<std::size_t>(h.dataLength));
    p += kHeaderSize + payload.size();
    if (h.port < kLowestPort || h.port > kMulticastPorts) continue;
    const RawBytes raw = EncodeRawMidi(h, payload, scratch);
    if (raw.result == RawEncoding::TooLong || raw.result == RawEncoding::Incomplete) {
      notSent_.fetch_add(1, std::memory_order_relaxed);
      if (drops_ != nullptr) drops_->Add(Drop::MulticastNotSent);
      Beep(100, 10, "a system-exclusive message too long for one multicast datagram was not sent there");
      continue;
    }
    if (raw.result != RawEncoding::Bytes) continue;
    const unsigned chosen = interfaceIndex_.load(std::memory_order_relaxed);
    bool sent = SendVia(raw.bytes, h.port, chosen);
    if (!sent && chosen == 0 && (errno == ENETUNREACH || errno == EHOSTUNREACH)) {
      // No route for the group (a LAN without gateway): the first local network.
      if (fallbackIndex_ == 0) fallbackIndex_ = FirstLocalInterface();
      sent = fallbackIndex_ != 0 && SendVia(raw.bytes, h.port, fallbackIndex_);
    }
    if (sent) {
      sent_.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    // A burst beyond the socket's buffer (EAGAIN) is lost all the same: counted, without a beep
    // for each message.
    sendFailed_.fetch_add(1, std::memory_order_relaxed);
    if (drops_ != nullptr) drops_->Add(Drop::MulticastSendFailed);
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS) Beep(100, 10, "a multicast datagram was not sent");
  }
}

// ---- MulticastReceiver ----------------------------------------------------------------------

int MulticastReceiver::Open(in_addr_t address) {
  Close();
  address_ = address;
  interfaceIndex_ = address == 0 ? 0 : static_cast<int>(InterfaceOfAddress(address));
  if (address != 0 && interfaceIndex_ == 0) return 0; // the client refuses that address too
  if (!buffer_) buffer_ = std::make_unique<std::byte[]>(kMaxRawDatagram + 1);
  for (int port = 1; port <= kMulticastPorts; ++port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) break;
    const int on = 1;
    const int off = 0;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    // Only the group's datagrams, not those of every group some program joined on this port.
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(MulticastPortOf(port));
    a.sin_addr.s_addr = GroupAddress();
    ip_mreqn join{};
    join.imr_multiaddr.s_addr = GroupAddress();
    join.imr_address.s_addr = address;
    join.imr_ifindex = interfaceIndex_;
    bool ok = bind(fd, AsSockaddr(&a), sizeof a) == 0;
    if (ok && setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0) {
      // No route for the group (a LAN without gateway): the first local network.
      join.imr_ifindex = interfaceIndex_ == 0 ? static_cast<int>(FirstLocalInterface()) : 0;
      ok = join.imr_ifindex != 0 && setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) == 0;
    }
    if (!ok) {
      Beep(100, 30, "a multicast MIDI port cannot be opened (taken by a program without address reuse?)");
      close(fd);
      continue;
    }
    fds_[count_] = pollfd{fd, POLLIN, 0};
    ports_[count_] = port;
    ++count_;
  }
  return static_cast<int>(count_);
}

void MulticastReceiver::Close() noexcept {
  for (std::size_t i = 0; i < count_; ++i) close(fds_[i].fd);
  count_ = 0;
  address_ = 0;
}

void MulticastReceiver::Follow(in_addr_t address) {
  if (IsOpen() && address_ == address) return;
  Close();
  for (RawMidiParser& p : parsers_) p.Reset();
  if (address != 0 && InterfaceOfAddress(address) == 0) return; // refused, as the connection is
  Open(address);
}

void MulticastReceiver::ReadReady(RecordsInSink& sink, Tick now) {
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
      Parse(ports_[i], std::span<const std::byte>(buffer_.get(), static_cast<std::size_t>(n)), from, sink, now);
    }
  }
}

void MulticastReceiver::Parse(int port, std::span<const std::byte> datagram, in_addr_t from, RecordsInSink& sink,
                              Tick now) {
  EventRecord h;
  h.port = port;
  h.timestamp = static_cast<std::int32_t>(now);
  h.captureTime = h.timestamp;
  const RawDatagram r = parsers_[static_cast<std::size_t>(port - 1)].Parse(
      datagram, from, now,
      [&](std::uint32_t word) {
        std::array<std::byte, 4> payload{};
        StoreLE32(payload.data(), static_cast<std::int32_t>(word));
        h.type = static_cast<std::int32_t>(RecordType::MIM_DATA);
        h.dataLength = 4;
        sink.Arrived(h, payload, from);
      },
      [&](std::span<const std::byte> sysex) {
        h.type = static_cast<std::int32_t>(RecordType::MIM_LONGDATA);
        h.dataLength = static_cast<std::int32_t>(sysex.size());
        sink.Arrived(h, sysex, from);
      });
  if (r == RawDatagram::NotMidi) {
    notMidi_.fetch_add(1, std::memory_order_relaxed);
    if (drops_ != nullptr) drops_->Add(Drop::MulticastNotMidi);
  }
}

long MulticastReceiver::ReadOne(int fd, in_addr_t* from) noexcept {
  const Arrival a = ReceiveDatagram(fd, {buffer_.get(), kMaxRawDatagram + 1});
  if (a.size < 0) return -1;
  if (static_cast<std::size_t>(a.size) > kMaxRawDatagram || a.truncated) return 0;
  if (interfaceIndex_ != 0 && a.hasInfo && a.interfaceIndex != interfaceIndex_) return 0; // another network's
  *from = a.from;
  return a.size;
}

void OwnAddresses::Set(std::span<const in_addr_t> addresses) noexcept {
  const std::size_t n = std::min(addresses.size(), kMost);
  version_.fetch_add(1, std::memory_order_acq_rel);
  // Release stores: a reader that sees one of them sees the odd version before it too.
  for (std::size_t i = 0; i < n; ++i) addresses_[i].store(addresses[i], std::memory_order_release);
  count_.store(n, std::memory_order_release);
  version_.fetch_add(1, std::memory_order_release);
}

bool OwnAddresses::Contains(in_addr_t address) const noexcept {
  const std::uint32_t before = version_.load(std::memory_order_acquire);
  if ((before & 1U) != 0) return false;
  // Acquire loads, so that the last look at the version cannot come before them.
  bool found = false;
  const std::size_t n = std::min(count_.load(std::memory_order_acquire), kMost);
  for (std::size_t i = 0; i < n && !found; ++i) found = addresses_[i].load(std::memory_order_acquire) == address;
  return found && version_.load(std::memory_order_relaxed) == before;
}

} // namespace kestrel::net
