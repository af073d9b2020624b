// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Test support: a transport both ways inside one process, over a datagram socket pair, as the
// engines see any transport (net/transport.hpp). What a server engine hands it as RecordsOut
// waits there, one record per datagram, until the test takes it (Taken) or a client engine reads
// it as RecordsIn, from the address the test gives. It proves the seam, not a network.

#include "core/event_record.hpp"
#include "net/transport.hpp"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <vector>

namespace kestrel::test {

class LoopbackTransport final : public net::RecordsOut, public net::RecordsIn {
public:
  explicit LoopbackTransport(in_addr_t from = 0) : from_(from) {
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair_.data()), 0);
    const int size = 4 << 20;
    setsockopt(pair_[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    setsockopt(pair_[1], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  ~LoopbackTransport() override {
    close(pair_[0]);
    close(pair_[1]);
  }
  LoopbackTransport(const LoopbackTransport&) = delete;
  LoopbackTransport& operator=(const LoopbackTransport&) = delete;

  // ---- RecordsOut: every record, whole, as it came.
  void SendRecords(std::span<const std::byte> records) noexcept override {
    std::size_t p = 0;
    while (p + kHeaderSize <= records.size()) {
      const EventRecord h = LoadHeader(records.data() + p);
      const std::size_t size = kHeaderSize + static_cast<std::size_t>(h.dataLength);
      if (h.dataLength < 0 || size > records.size() - p) return;
      if (send(pair_[0], records.data() + p, size, MSG_DONTWAIT) != static_cast<ssize_t>(size)) ++lost_;
      p += size;
    }
  }
  // What was sent and not read yet, one record each.
  std::vector<std::vector<std::byte>> Taken() {
    std::vector<std::vector<std::byte>> got;
    for (std::vector<std::byte> buffer(kMaxLongMessage + kHeaderSize);;) {
      const ssize_t n = recv(pair_[1], buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n < 0) return got;
      got.emplace_back(buffer.begin(), buffer.begin() + n);
    }
  }
  // Records the socket pair did not take (the test failed to read in time).
  [[nodiscard]] int Lost() const noexcept { return lost_; }

  // ---- RecordsIn: open from the first Follow to Close.
  void Follow(in_addr_t /*address*/) override {
    open_ = true;
    fd_ = pollfd{pair_[1], POLLIN, 0};
  }
  void Close() noexcept override { open_ = false; }
  [[nodiscard]] bool IsOpen() const noexcept override { return open_; }
  [[nodiscard]] std::span<pollfd> PollFds() noexcept override { return {&fd_, open_ ? 1U : 0U}; }
  void ReadReady(net::RecordsInSink& sink, Tick /*now*/) override {
    if ((fd_.revents & POLLIN) == 0) return;
    fd_.revents = 0;
    for (int k = 0; k < 64; ++k) {
      const ssize_t n = recv(pair_[1], buffer_.data(), buffer_.size(), MSG_DONTWAIT);
      if (n < static_cast<ssize_t>(kHeaderSize)) return;
      const EventRecord h = LoadHeader(buffer_.data());
      sink.Arrived(h,
                   std::span<const std::byte>(buffer_).subspan(kHeaderSize, static_cast<std::size_t>(n) - kHeaderSize),
                   from_);
    }
  }

private:
  std::array<int, 2> pair_{-1, -1};
  in_addr_t from_;
  pollfd fd_{};
  bool open_ = false;
  int lost_ = 0;
  std::array<std::byte, kMaxLongMessage + kHeaderSize> buffer_{};
};

} // namespace kestrel::test
