// SPDX-License-Identifier: GPL-3.0-or-later
#include "net/latency_probe.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrel::net {

namespace {

constexpr std::size_t kPayload = 32;

std::uint16_t Checksum(const std::uint8_t* data, std::size_t length) noexcept {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i + 1 < length; i += 2) sum += static_cast<std::uint32_t>(data[i] << 8U | data[i + 1]);
  if ((length & 1U) != 0) sum += static_cast<std::uint32_t>(data[length - 1] << 8U);
  while ((sum >> 16U) != 0) sum = (sum & 0xFFFFU) + (sum >> 16U);
  return static_cast<std::uint16_t>(~sum);
}

// An unprivileged ICMP datagram socket where the system allows it, else a raw one (root).
int IcmpSocket(bool& raw) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  raw = false;
  if (fd < 0) {
    fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    raw = true;
  }
  return fd;
}

} // namespace

int ProbeLatency(in_addr_t address, std::chrono::milliseconds timeout) {
  bool raw = false;
  const int fd = IcmpSocket(raw);
  if (fd < 0) return -1;
  const int ttl = 64;
  setsockopt(fd, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);

  static std::atomic<std::uint16_t> nextSequence{1};
  const std::uint16_t sequence = nextSequence.fetch_add(1);
  const auto id = static_cast<std::uint16_t>(getpid());
  std::array<std::uint8_t, sizeof(icmphdr) + kPayload> packet{};
  icmphdr header{};
  header.type = ICMP_ECHO;
  header.un.echo.id = htons(id);
  header.un.echo.sequence = htons(sequence);
  std::memcpy(packet.data(), &header, sizeof header);
  for (std::size_t i = 0; i < kPayload; ++i) packet[sizeof header + i] = static_cast<std::uint8_t>(0x20 + i);
  const std::uint16_t sum = htons(Checksum(packet.data(), packet.size()));
  std::memcpy(packet.data() + offsetof(icmphdr, checksum), &sum, sizeof sum);

  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = address;
  const auto start = std::chrono::steady_clock::now();
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): the socket interface's type pun
  if (sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
    close(fd);
    return -1;
  }
  const auto deadline = start + timeout;
  int result = -1;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    std::array<std::uint8_t, 1500> reply{};
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): the socket interface's type pun
    const ssize_t n = recvfrom(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n <= 0 || from.sin_addr.s_addr != address) continue;
    std::size_t offset = 0;
    if (raw) offset = static_cast<std::size_t>(reply[0] & 0x0FU) * 4; // a raw socket hands the IP header too
    if (static_cast<std::size_t>(n) < offset + sizeof(icmphdr)) continue;
    icmphdr answer{};
    std::memcpy(&answer, reply.data() + offset, sizeof answer);
    // A datagram ping socket rewrites the identifier to its own; the sequence tells our echo.
    if (answer.type != ICMP_ECHOREPLY || ntohs(answer.un.echo.sequence) != sequence) continue;
    if (raw && ntohs(answer.un.echo.id) != id) continue;
    result = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    break;
  }
  close(fd);
  return result;
}

LatencyProber::LatencyProber(std::function<void(in_addr_t, int)> done)
    : done_(std::move(done)), thread_([this] { Run(); }) {}

LatencyProber::~LatencyProber() {
  {
    const std::lock_guard guard(lock_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void LatencyProber::Request(in_addr_t address) {
  {
    const std::lock_guard guard(lock_);
    address_ = address;
    pending_ = true;
  }
  wake_.notify_one();
}

void LatencyProber::Run() {
  std::unique_lock guard(lock_);
  for (;;) {
    wake_.wait(guard, [&] { return pending_ || stop_; });
    if (stop_) return;
    const in_addr_t address = address_;
    pending_ = false;
    guard.unlock();
    const int ms = ProbeLatency(address);
    done_(address, ms);
    guard.lock();
  }
}

} // namespace kestrel::net
