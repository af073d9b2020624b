// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The EventRecord: the one unit that is captured, queued, sent, received and shown in the dump.
// A 32-byte header of eight signed 32-bit little-endian integers, followed at once by dataLength
// payload bytes. Records lie end to end without padding, in the queue, on the wire and in the dump.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace kestrel {

enum class RecordType : std::int32_t {
  KeepAlive = 0,
  Fragment = 1,
  LastFragment = 2,
  MIM_OPEN = 961,
  MIM_CLOSE = 962,
  MIM_DATA = 963,
  MIM_LONGDATA = 964,
};

inline constexpr std::size_t kHeaderSize = 32;
inline constexpr std::size_t kShortRecordSize = kHeaderSize + 4;            // open, close, data, keep-alive
inline constexpr std::size_t kMaxDatagram = 512;                            // largest datagram a server sends
inline constexpr std::size_t kFragmentPayload = kMaxDatagram - kHeaderSize; // 480
inline constexpr std::size_t kMaxLongMessage = 65536;                       // one capture buffer
inline constexpr std::size_t kMaxRecordSize = kHeaderSize + kMaxLongMessage;
inline constexpr std::size_t kReceiveBufferSize = 9999; // largest datagram a client takes
inline constexpr std::uint16_t kDefaultUdpPort = 8800;
inline constexpr int kLowestPort = 1;
inline constexpr int kHighestReceivedPort = 16; // a client serves ports 1..16
inline constexpr int kVirtualPorts = 8;         // "Kestrel Port1".."Kestrel Port8"

// The header in host order. Load/Store convert from and to the little-endian wire layout.
struct EventRecord {
  std::int32_t dataLength = 0;
  std::int32_t type = 0;
  std::int32_t port = 0;
  std::int32_t timestamp = 0;
  std::int32_t captureTime = 0;
  std::int32_t totalLength = 0;
  std::int32_t messageId = 0;
  std::int32_t sequence = 0;

  [[nodiscard]] RecordType Type() const noexcept { return static_cast<RecordType>(type); }
  [[nodiscard]] bool Is(RecordType t) const noexcept { return type == static_cast<std::int32_t>(t); }
  friend bool operator==(const EventRecord&, const EventRecord&) = default;
};

// Byte offsets of the header fields on the wire.
namespace field {
inline constexpr std::size_t kDataLength = 0;
inline constexpr std::size_t kType = 4;
inline constexpr std::size_t kPort = 8;
inline constexpr std::size_t kTimestamp = 12;
inline constexpr std::size_t kCaptureTime = 16;
inline constexpr std::size_t kTotalLength = 20;
inline constexpr std::size_t kMessageId = 24;
inline constexpr std::size_t kSequence = 28;
} // namespace field

// Little-endian 32-bit access at any alignment. On little-endian hosts these are plain copies.
[[nodiscard]] inline std::int32_t LoadLE32(const std::byte* p) noexcept {
  std::uint32_t v = 0;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) { v = __builtin_bswap32(v); }
  return static_cast<std::int32_t>(v);
}

inline void StoreLE32(std::byte* p, std::int32_t value) noexcept {
  auto v = static_cast<std::uint32_t>(value);
  if constexpr (std::endian::native == std::endian::big) { v = __builtin_bswap32(v); }
  std::memcpy(p, &v, 4);
}

// Reads a header from at least kHeaderSize bytes.
[[nodiscard]] inline EventRecord LoadHeader(const std::byte* p) noexcept {
  EventRecord h;
  h.dataLength = LoadLE32(p + field::kDataLength);
  h.type = LoadLE32(p + field::kType);
  h.port = LoadLE32(p + field::kPort);
  h.timestamp = LoadLE32(p + field::kTimestamp);
  h.captureTime = LoadLE32(p + field::kCaptureTime);
  h.totalLength = LoadLE32(p + field::kTotalLength);
  h.messageId = LoadLE32(p + field::kMessageId);
  h.sequence = LoadLE32(p + field::kSequence);
  return h;
}

// Writes a header to at least kHeaderSize bytes.
inline void StoreHeader(std::byte* p, const EventRecord& h) noexcept {
  StoreLE32(p + field::kDataLength, h.dataLength);
  StoreLE32(p + field::kType, h.type);
  StoreLE32(p + field::kPort, h.port);
  StoreLE32(p + field::kTimestamp, h.timestamp);
  StoreLE32(p + field::kCaptureTime, h.captureTime);
  StoreLE32(p + field::kTotalLength, h.totalLength);
  StoreLE32(p + field::kMessageId, h.messageId);
  StoreLE32(p + field::kSequence, h.sequence);
}

// A record of the four-byte-payload kinds (open, close, short message, keep-alive), built on the
// stack by producers: no allocation.
using ShortRecord = std::array<std::byte, kShortRecordSize>;

[[nodiscard]] inline ShortRecord MakeShortRecord(RecordType type, std::int32_t port, std::int32_t timestamp,
                                                 std::int32_t captureTime, std::uint32_t payloadWord) noexcept {
  ShortRecord r{};
  EventRecord h;
  h.dataLength = 4;
  h.type = static_cast<std::int32_t>(type);
  h.port = port;
  h.timestamp = timestamp;
  h.captureTime = captureTime;
  StoreHeader(r.data(), h);
  StoreLE32(r.data() + kHeaderSize, static_cast<std::int32_t>(payloadWord));
  return r;
}

// A MIDI short message packed as the wire carries it: status in the lowest byte, then data 1,
// then data 2; the highest byte is 0.
[[nodiscard]] constexpr std::uint32_t PackShortMessage(std::uint8_t status, std::uint8_t data1 = 0,
                                                       std::uint8_t data2 = 0) noexcept {
  return static_cast<std::uint32_t>(status) | (static_cast<std::uint32_t>(data1) << 8U) |
         (static_cast<std::uint32_t>(data2) << 16U);
}

// A validated view of one record inside a larger buffer (a datagram, the queue, the dump).
struct RecordView {
  EventRecord header;
  std::span<const std::byte> payload; // exactly header.dataLength bytes
  std::span<const std::byte> bytes;   // header and payload as they lie in the buffer

  // The four-byte payload word of open, close, short message and keep-alive records.
  [[nodiscard]] std::uint32_t Word() const noexcept {
    return payload.size() >= 4 ? static_cast<std::uint32_t>(LoadLE32(payload.data())) : 0U;
  }
};

} // namespace kestrel
