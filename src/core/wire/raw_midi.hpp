// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Raw MIDI bytes as the payload of UDP datagrams to a multicast group, one UDP port per MIDI
// port: the convention many MIDI network programs share. Kestrel speaks it beside its own
// records ("[Interop] Multicast=1"): the encoder turns a captured record into the bytes a datagram
// carries, the parser turns a received datagram back into the messages the client plays.
//
// The parser's rules, chosen so that nothing corrupt is ever played:
//  - running status holds within a datagram only: every datagram starts without a status (the
//    senders of this convention send each event whole), so a stray datagram of data bytes cannot
//    turn into notes on the strength of an earlier one;
//  - real-time bytes (0xF8..0xFF) may stand anywhere, inside a message or a system-exclusive one
//    too, and are played where they stand without touching the running status;
//  - a datagram that breaks the grammar anywhere (data bytes without a status, an undefined status,
//    a stray 0xF7, a message cut by a status byte or by the end of the datagram) is dropped whole
//    and counted as not MIDI: none of its messages is played;
//  - system-exclusive is played whole only (0xF0 to 0xF7, at most kMaxLongMessage bytes). A message
//    that a peer splits over several datagrams of the same port and sender is gathered: a datagram
//    that ends inside one is held, and the next one continues it when it starts with data bytes.
//    A different sender, a datagram starting with a status byte, more than kRawSysexGapMs between
//    pieces, or more than kMaxLongMessage bytes drop the unfinished message, never playing a part
//    of it. (A lost middle piece cannot be seen: the convention carries no sequence numbers.)
//
// The server sends every short message as one datagram and every whole system-exclusive message of
// at most kMaxRawDatagram bytes as one datagram. A longer one (or a piece of a message longer than
// one capture buffer) is not sent on the multicast ports and is counted: cut into datagrams it
// would reach the convention's receivers, which cannot tell a lost piece, as a corrupt message.

#include "base/tick_clock.hpp"
#include "core/event_record.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

namespace kestrel {

inline constexpr std::uint16_t kMulticastFirstPort = 21928; // MIDI port n: 21927 + n
inline constexpr const char* kMulticastGroup = "225.0.0.37";
// The largest UDP payload over IPv4 (65535 less the IP and UDP headers).
inline constexpr std::size_t kMaxRawDatagram = 65507;
inline constexpr Tick kRawSysexGapMs = 1000;

[[nodiscard]] constexpr std::uint16_t MulticastPortOf(int midiPort) noexcept {
  return static_cast<std::uint16_t>(kMulticastFirstPort - 1 + midiPort);
}

// Bytes of a message that begins with `status` (system-exclusive excluded; 0 for 0xF0, 0xF7 and
// the undefined 0xF4, 0xF5, 0xF9, 0xFD).
[[nodiscard]] std::size_t RawMessageLength(std::uint8_t status) noexcept;

// ---- Encoding --------------------------------------------------------------------------------

enum class RawEncoding {
  Bytes,      // `bytes` is the datagram's payload
  NoMidi,     // a record without MIDI bytes (open, close, keep-alive): nothing to send
  Incomplete, // a system-exclusive piece that is not a whole message: not sent
  TooLong,    // a whole system-exclusive message above kMaxRawDatagram: not sent
  Malformed,  // a short message without a status byte: not sent
};

struct RawBytes {
  RawEncoding result = RawEncoding::NoMidi;
  std::span<const std::byte> bytes; // into the payload or into the caller's scratch
};

// The raw bytes of one record (MIM_DATA or MIM_LONGDATA). Short messages are written to `scratch`;
// a system-exclusive message is its payload as it is. Pure; no allocation; any thread.
[[nodiscard]] RawBytes EncodeRawMidi(const EventRecord& header, std::span<const std::byte> payload,
                                     std::array<std::byte, 3>& scratch) noexcept;

// ---- Parsing ---------------------------------------------------------------------------------

// What one parsed datagram came to.
enum class RawDatagram {
  Midi,    // every message in it was played (a system-exclusive one may be waiting for its end)
  NotMidi, // dropped whole
};

// Turns the datagrams of one MIDI port into messages, by the rules above. One per port; one
// thread only (the client engine). The buffer for split system-exclusive messages is allocated at
// the first such message and reused: steady traffic allocates nothing.
class RawMidiParser {
public:
  // `shortMessage(std::uint32_t word)` gets each short message packed as PackShortMessage packs it;
  // `longMessage(std::span<const std::byte>)` each whole system-exclusive message, valid only
  // during the call. Messages come in the order they end: a real-time byte inside another message
  // (a system-exclusive one too) comes before it.
  template <class Short, class Long>
  RawDatagram Parse(std::span<const std::byte> datagram, std::uint32_t sender, Tick now, Short&& shortMessage,
                    Long&& longMessage);

  // Unfinished system-exclusive messages dropped (interrupted, from a new sender, too late, too
  // long), since construction.
  [[nodiscard]] std::uint64_t DroppedSysex() const noexcept { return droppedSysex_; }
  // A system-exclusive message is waiting for its next piece.
  [[nodiscard]] bool Gathering() const noexcept { return gathering_; }
  // Forgets an unfinished message (not counted), e.g. when the client stops listening.
  void Reset() noexcept { gathering_ = false; }

private:
  // One pass over a datagram; with `emit` false it only checks the grammar. Returns whether the
  // datagram is MIDI; with `emit` it calls `sink` as the parse goes.
  template <class Sink>
  bool Walk(std::span<const std::byte> datagram, bool continuing, bool emit, Sink&& sink);
  void DropGathered() noexcept;

  std::unique_ptr<std::byte[]> sysex_; // kMaxLongMessage bytes, once needed
  std::size_t sysexLength_ = 0;
  bool gathering_ = false;
  bool overlong_ = false; // the message being gathered passed kMaxLongMessage: it is only skipped
  std::uint32_t sysexSender_ = 0;
  Tick lastPiece_ = 0;
  std::uint64_t droppedSysex_ = 0;
};

// ---- Template definitions --------------------------------------------------------------------

namespace raw_detail {
struct Event {
  enum Kind { Short, SysexBytes, SysexEnd, SysexStart } kind;
  std::uint32_t word = 0;
  // SysexBytes: a run of data bytes inside system-exclusive; SysexStart, SysexEnd: the 0xF0, 0xF7
  std::span<const std::byte> bytes;
};
} // namespace raw_detail

template <class Sink>
bool RawMidiParser::Walk(std::span<const std::byte> datagram, bool continuing, bool emit, Sink&& sink) {
  using raw_detail::Event;
  bool inSysex = continuing;
  std::size_t runStart = 0; // first data byte of the current system-exclusive run
  std::uint8_t status = 0;  // running status, 0: none
  std::array<std::uint8_t, 2> data{};
  std::size_t have = 0; // data bytes of the current message
  std::size_t need = 0; // data bytes it takes
  bool pending = false; // a status byte came, its data is not complete
  const std::size_t n = datagram.size();
  for (std::size_t i = 0; i < n; ++i) {
    const auto b = std::to_integer<std::uint8_t>(datagram[i]);
    if (b >= 0xF8) { // real time: anywhere, alone
      if (b == 0xF9 || b == 0xFD) return false;
      if (inSysex && emit && i > runStart) sink(Event{Event::SysexBytes, 0, datagram.subspan(runStart, i - runStart)});
      if (emit) sink(Event{Event::Short, PackShortMessage(b), {}});
      runStart = i + 1;
      continue;
    }
    if (inSysex) {
      if (b < 0x80) continue;
      if (b != 0xF7) return false; // a status byte cuts the message: it was never whole
      if (emit) {
        if (i > runStart) sink(Event{Event::SysexBytes, 0, datagram.subspan(runStart, i - runStart)});
        sink(Event{Event::SysexEnd, 0, datagram.subspan(i, 1)});
      }
      inSysex = false;
      continue;
    }
    if (b >= 0x80) {
      if (pending) return false; // the message before was cut short
      if (b == 0xF0) {
        if (emit) sink(Event{Event::SysexStart, 0, datagram.subspan(i, 1)});
        inSysex = true;
        runStart = i + 1;
        status = 0;
        continue;
      }
      need = RawMessageLength(b);
      if (need == 0) return false; // 0xF7 without a message, 0xF4, 0xF5
      --need;
      status = b < 0xF0 ? b : 0; // system common cancels running status
      have = 0;
      if (need == 0) {
        if (emit) sink(Event{Event::Short, PackShortMessage(b), {}});
        continue;
      }
      data[0] = b; // the status of the pending message, running or not
      pending = true;
      continue;
    }
    // A data byte.
    if (!pending) {
      if (status == 0) return false; // no status to run on
      data[0] = status;
      need = RawMessageLength(status) - 1;
      have = 0;
      pending = true;
    }
    if (have == 0) {
      data[1] = b;
      have = 1;
    } else {
      have = 2;
    }
    if (have == need) {
      if (emit) {
        const std::uint8_t d2 = have == 2 ? b : 0;
        sink(Event{Event::Short, PackShortMessage(data[0], data[1], d2), {}});
      }
      pending = false;
    }
  }
  if (pending) return false; // cut by the end of the datagram
  if (inSysex && emit && n > runStart) sink(Event{Event::SysexBytes, 0, datagram.subspan(runStart, n - runStart)});
  // Ending inside system-exclusive is allowed: the next datagram may continue it.
  return true;
}

template <class Short, class Long>
RawDatagram RawMidiParser::Parse(std::span<const std::byte> datagram, std::uint32_t sender, Tick now,
                                 Short&& shortMessage, Long&& longMessage) {
  using raw_detail::Event;
  // A held message continues only with the next piece of its own sender, soon enough, that
  // starts with data bytes, real time or its end.
  if (gathering_ && (sender != sysexSender_ || TickElapsed(now, lastPiece_) > kRawSysexGapMs)) DropGathered();
  bool continuing = false;
  if (gathering_ && !datagram.empty()) {
    const auto first = std::to_integer<std::uint8_t>(datagram[0]);
    if (first < 0x80 || first >= 0xF8 || first == 0xF7) {
      continuing = true;
    } else {
      DropGathered();
    }
  }
  if (!Walk(datagram, continuing, false, [](const Event&) {})) {
    if (continuing) DropGathered();
    return RawDatagram::NotMidi;
  }
  // A system-exclusive message that lies in one piece inside this datagram is played from it;
  // only one that is split (over datagrams, or by real-time bytes) is copied.
  std::span<const std::byte> whole; // the current message's bytes from its 0xF0, while contiguous
  const auto append = [&](std::span<const std::byte> bytes) {
    if (!overlong_ && sysexLength_ + bytes.size() <= kMaxLongMessage) {
      std::memcpy(sysex_.get() + sysexLength_, bytes.data(), bytes.size());
      sysexLength_ += bytes.size();
    } else {
      overlong_ = true;
    }
  };
  const auto spill = [&] {
    if (!sysex_) sysex_ = std::make_unique<std::byte[]>(kMaxLongMessage);
    gathering_ = true;
    overlong_ = false;
    sysexLength_ = 0;
    append(whole);
    whole = {};
  };
  const auto contiguous = [&](std::span<const std::byte> next) {
    return !whole.empty() && whole.data() + whole.size() == next.data();
  };
  Walk(datagram, continuing, true, [&](const Event& e) {
    switch (e.kind) {
    case Event::Short: shortMessage(e.word); break;
    case Event::SysexStart: whole = e.bytes; break;
    case Event::SysexBytes:
      if (!gathering_ && contiguous(e.bytes)) {
        whole = std::span<const std::byte>(whole.data(), whole.size() + e.bytes.size());
        break;
      }
      if (!gathering_) spill();
      append(e.bytes);
      break;
    case Event::SysexEnd:
      if (!gathering_ && contiguous(e.bytes)) {
        longMessage(std::span<const std::byte>(whole.data(), whole.size() + 1));
        whole = {};
        break;
      }
      if (!gathering_) spill();
      append(e.bytes);
      gathering_ = false;
      if (overlong_) {
        ++droppedSysex_;
      } else {
        longMessage(std::span<const std::byte>(sysex_.get(), sysexLength_));
      }
      break;
    }
  });
  // A message left open at the end of the datagram waits for its next piece.
  if (!whole.empty()) spill();
  if (gathering_) {
    sysexSender_ = sender;
    lastPiece_ = now;
  }
  return RawDatagram::Midi;
}

} // namespace kestrel
