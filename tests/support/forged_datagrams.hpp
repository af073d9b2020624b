// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Test support: datagrams made by hand, as a faulty or foreign sender would make them, and a
// socket that sends them from a chosen loopback address (127.0.0.1, 127.0.0.2, ...: one machine
// plays several senders). Only loopback is ever addressed.

#include "core/event_record.hpp"
#include "core/wire/wire_protocol.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestrel::test {

using Bytes = std::vector<std::byte>;

// One record: `header` as given (its dataLength set to the payload's length unless
// `keepLength`), then `payloadBytes` bytes of 0x01.
inline Bytes ForgedRecord(EventRecord header, std::size_t payloadBytes, bool keepLength = false) {
  if (!keepLength) header.dataLength = static_cast<std::int32_t>(payloadBytes);
  std::array<std::byte, kHeaderSize> bytes{};
  StoreHeader(bytes.data(), header);
  Bytes r(bytes.begin(), bytes.end());
  r.resize(kHeaderSize + payloadBytes, std::byte{0x01});
  return r;
}

// A fragment of long message `messageId` announcing `totalLength` bytes in all.
inline Bytes ForgedFragment(bool last, std::int32_t port, std::int32_t messageId, std::int32_t sequence,
                            std::int32_t totalLength, std::size_t payloadBytes) {
  EventRecord h;
  h.type = static_cast<std::int32_t>(last ? RecordType::LastFragment : RecordType::Fragment);
  h.port = port;
  h.messageId = messageId;
  h.sequence = sequence;
  h.totalLength = totalLength;
  return ForgedRecord(h, payloadBytes);
}

inline Bytes KeepAliveBytes(std::int32_t virtualPorts = 8) {
  const ShortRecord r = MakeKeepAlive(virtualPorts);
  return {r.begin(), r.end()};
}

inline Bytes NoteOnBytes(std::int32_t port, std::uint8_t note) {
  const ShortRecord r = MakeShortRecord(RecordType::MIM_DATA, port, 0, 0, PackShortMessage(0x90, note, 100));
  return {r.begin(), r.end()};
}

// Records end to end, as one datagram.
inline Bytes Datagram(std::initializer_list<Bytes> records) {
  Bytes d;
  for (const Bytes& r : records) d.insert(d.end(), r.begin(), r.end());
  return d;
}

// A UDP socket bound to one loopback address, sending to 127.0.0.1.
class LoopbackSender {
public:
  explicit LoopbackSender(const char* from) : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    if (fd_ < 0 || inet_pton(AF_INET, from, &a.sin_addr) != 1 || (ntohl(a.sin_addr.s_addr) >> 24U) != 127 ||
        bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) { // NOLINT: the socket API's type pun
      throw std::runtime_error(std::string("cannot send from ") + from);
    }
  }
  ~LoopbackSender() {
    if (fd_ >= 0) close(fd_);
  }
  LoopbackSender(const LoopbackSender&) = delete;
  LoopbackSender& operator=(const LoopbackSender&) = delete;

  // True when the whole datagram left.
  bool Send(std::uint16_t port, std::span<const std::byte> datagram) const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), // NOLINT
                  sizeof to) == static_cast<ssize_t>(datagram.size());
  }

private:
  int fd_;
};

} // namespace kestrel::test
