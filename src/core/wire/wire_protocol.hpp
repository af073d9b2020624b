// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// How records travel: packing a run of queued records into datagrams of at most 512 bytes,
// cutting long messages into 480-byte fragments, reading a received datagram record by record,
// putting fragmented messages together again, and when a server announces itself.

#include "base/tick_clock.hpp"
#include "core/event_record.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace kestrel {

// ---- Reading ---------------------------------------------------------------------------------

// Walks the records of one received datagram. Every record it yields lies wholly inside the
// datagram and has a known type with a plausible length; the first record that does not ends the
// walk (the rest of that datagram is dropped, records before it were already yielded).
// Pure: no allocation, no locks; any thread.
class RecordReader {
public:
  explicit RecordReader(std::span<const std::byte> datagram) noexcept : data_(datagram) {}

  // Fills `out` with the next record and returns true, or returns false at the end.
  [[nodiscard]] bool Next(RecordView& out) noexcept;

  // True once the walk stopped at a malformed record rather than at the end of the datagram.
  [[nodiscard]] bool Malformed() const noexcept { return malformed_; }

private:
  std::span<const std::byte> data_;
  std::size_t offset_ = 0;
  bool malformed_ = false;
};

// True when a header of this type may carry this many payload bytes on the wire.
[[nodiscard]] bool PlausibleLength(std::int32_t type, std::int32_t dataLength) noexcept;

// ---- Packing ---------------------------------------------------------------------------------

// Packs whole records (as the send queue holds them) into datagrams and hands each to `send` as a
// span of at most kMaxDatagram bytes, in queue order:
//  - a run of at most 512 bytes goes out as one datagram;
//  - otherwise records are grouped greedily, each datagram holding whole records up to 512 bytes;
//  - a MIM_LONGDATA record over 512 bytes leaves as fragments of 480 payload bytes; any other
//    record over 512 bytes is not sent.
// Fragmenting rewrites the buffer in place (each fragment's header is written over payload bytes
// that have already been sent), so the caller must discard the buffer's content afterwards.
// `nextMessageId()` is asked once per fragmented message. Runs on the server engine thread.
template <class NextMessageId, class SendDatagram>
void PackDatagrams(std::span<std::byte> records, NextMessageId&& nextMessageId, SendDatagram&& send);

// Fragments one long record lying at `record` (header + payload, in place) as described above.
template <class SendDatagram>
void SendFragments(std::span<std::byte> record, std::uint32_t messageId, SendDatagram&& send);

// ---- Gathering -------------------------------------------------------------------------------

struct GatherLimits {
  std::size_t maxPending = 16; // messages gathered at once; the stalest is dropped beyond this
  Tick maxAgeMs = 5000;        // a message with no fragment for this long is dropped
};

// Puts fragmented long messages together again, keyed by messageId. Memory is bounded: at most
// maxPending buffers of kMaxRecordSize bytes, each allocated once and reused, so steady traffic
// allocates nothing. One thread only (the client engine).
class FragmentGatherer {
public:
  enum class Result {
    Started,       // first fragment taken, message pending
    Continued,     // later fragment appended
    Complete,      // the message is whole: see Completed()
    Ignored,       // no pending message with this messageId
    SequenceBreak, // sequence skipped or repeated: fragment ignored, message stays pending
    Refused,       // malformed (bad totalLength, more bytes than announced): message dropped
    Discarded,     // last fragment arrived but the byte count differs from totalLength
  };

  explicit FragmentGatherer(GatherLimits limits = {});

  // Takes one Fragment or LastFragment record. `now` ages out stale messages.
  Result Add(const RecordView& fragment, Tick now);

  // After Add returned Complete: the message as one MIM_LONGDATA record with the first fragment's
  // port, timestamp and captureTime. Valid until the next call of Add.
  [[nodiscard]] RecordView Completed() const noexcept { return completed_; }

  [[nodiscard]] std::size_t PendingCount() const noexcept;

  // Drops the messages that had no fragment for maxAgeMs (Add does so too, before it takes one).
  void Expire(Tick now) noexcept;
  // Messages dropped unfinished since construction: aged out, or pushed out as the stalest when
  // more than maxPending were gathered at once.
  [[nodiscard]] std::uint64_t Abandoned() const noexcept { return abandoned_; }

private:
  struct Slot {
    bool used = false;
    std::int32_t messageId = 0;
    std::int32_t sequence = 0;
    std::int32_t totalLength = 0;
    std::int32_t gathered = 0;
    Tick lastActivity = 0;
    std::unique_ptr<std::byte[]> buffer; // header + up to kMaxLongMessage bytes
  };

  Slot* Find(std::int32_t messageId) noexcept;
  Slot& FreeSlot(Tick now);

  GatherLimits limits_;
  std::vector<Slot> slots_;
  RecordView completed_{};
  std::uint64_t abandoned_ = 0;
};

// ---- Server presence -------------------------------------------------------------------------

inline constexpr Tick kKeepAliveIdleMs = 1000;    // a keep-alive after more than this without sending
inline constexpr Tick kKeepAliveMaxGapMs = 10000; // and at least this often while busy

struct KeepAliveTimes {
  Tick lastSendTime = 0;      // last datagram sent (or keep-alive forced)
  Tick lastKeepAliveTime = 0; // last keep-alive queued
};

// The keep-alive rule, checked on every 30 ms status tick while the server is on. Returns true
// when a KeepAlive must be queued now, and updates the times as the rule says.
[[nodiscard]] bool KeepAliveDue(Tick now, KeepAliveTimes& times) noexcept;

// A KeepAlive record carrying the server's usable virtual port count.
[[nodiscard]] inline ShortRecord MakeKeepAlive(std::int32_t virtualPortCount) noexcept {
  return MakeShortRecord(RecordType::KeepAlive, 0, 0, 0, static_cast<std::uint32_t>(virtualPortCount));
}

// ---- Template definitions --------------------------------------------------------------------

template <class SendDatagram>
void SendFragments(std::span<std::byte> record, std::uint32_t messageId, SendDatagram&& send) {
  EventRecord h = LoadHeader(record.data());
  const auto total = static_cast<std::size_t>(h.dataLength);
  h.type = static_cast<std::int32_t>(RecordType::Fragment);
  h.totalLength = h.dataLength;
  h.messageId = static_cast<std::int32_t>(messageId);
  h.sequence = 0;
  for (std::size_t sent = 0; sent < total; sent += kFragmentPayload) {
    const std::size_t remaining = total - sent;
    const std::size_t chunk = remaining <= kFragmentPayload ? remaining : kFragmentPayload;
    if (remaining <= kFragmentPayload) { h.type = static_cast<std::int32_t>(RecordType::LastFragment); }
    h.dataLength = static_cast<std::int32_t>(chunk);
    // The fragment's payload starts at kHeaderSize + sent; its header goes just before it, over
    // the tail of the previous fragment, which has already left.
    std::byte* start = record.data() + sent;
    StoreHeader(start, h);
    send(std::span<const std::byte>(start, kHeaderSize + chunk));
    ++h.sequence;
  }
}

template <class NextMessageId, class SendDatagram>
void PackDatagrams(std::span<std::byte> records, NextMessageId&& nextMessageId, SendDatagram&& send) {
  const std::size_t size = records.size();
  if (size == 0) { return; }
  if (size <= kMaxDatagram) {
    send(std::span<const std::byte>(records));
    return;
  }
  std::size_t groupStart = 0;
  std::size_t p = 0;
  while (p + kHeaderSize <= size) {
    const std::int32_t dataLength = LoadLE32(records.data() + p + field::kDataLength);
    if (dataLength < 0 || static_cast<std::size_t>(dataLength) > size - p - kHeaderSize) { break; }
    const std::size_t length = kHeaderSize + static_cast<std::size_t>(dataLength);
    if (length > kMaxDatagram) {
      if (p > groupStart) { send(std::span<const std::byte>(records.data() + groupStart, p - groupStart)); }
      const std::int32_t type = LoadLE32(records.data() + p + field::kType);
      if (type == static_cast<std::int32_t>(RecordType::MIM_LONGDATA)) {
        SendFragments(records.subspan(p, length), nextMessageId(), send);
      }
      p += length;
      groupStart = p;
      continue;
    }
    if (p + length - groupStart > kMaxDatagram) {
      send(std::span<const std::byte>(records.data() + groupStart, p - groupStart));
      groupStart = p;
    }
    p += length;
  }
  if (p > groupStart) { send(std::span<const std::byte>(records.data() + groupStart, p - groupStart)); }
}

} // namespace kestrel
