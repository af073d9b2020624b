// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The session exchange of RTP-MIDI peers (the AppleMIDI protocol): the packets that invite a peer
// into a session, answer, end it, align the clocks and acknowledge received RTP packets. Each
// session has a control port and a data port one above it; session packets travel on both, RTP
// packets only on the data port. A session packet begins with 0xFFFF, which no RTP packet of
// version 2 can, so a data port's reader tries this decoder first.
//
// Layouts, big-endian:
//   IN, OK, NO, BY  FF FF, command, version 2 (32 bits), initiator token (32), SSRC (32), name:
//                   UTF-8 ending in a NUL, at most kMaxNameBytes before it. IN and OK carry one
//                   always; NO and BY may end before it.
//   CK              FF FF, "CK", SSRC, count (8 bits: 0, 1 or 2), 3 bytes of padding, three
//                   64-bit timestamps: 36 bytes.
//   RS              FF FF, "RS", SSRC, the RTP sequence number received last (16 bits), 2 bytes of
//                   padding: 12 bytes.
//
// The decoder is strict: a packet of any other length, a name without its NUL, with bytes after
// it, longer than kMaxNameBytes or not UTF-8, another version or count, or another command is
// malformed. Padding is not checked. It never reads past the bytes it is given.
//
// Pure functions; no allocation; any thread.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kestrel::net::rtpmidi {

inline constexpr std::uint32_t kSessionVersion = 2;
// A name is announced as a DNS-SD instance label too, whose limit is 63 bytes.
inline constexpr std::size_t kMaxNameBytes = 63;
inline constexpr std::size_t kSessionHeaderSize = 16; // IN, OK, NO, BY up to the name
inline constexpr std::size_t kClockPacketSize = 36;
inline constexpr std::size_t kFeedbackPacketSize = 12;
inline constexpr std::size_t kMaxSessionPacket = kSessionHeaderSize + kMaxNameBytes + 1;

enum class SessionCommand : std::uint16_t {
  Invitation = 0x494E, // "IN"
  Accepted = 0x4F4B,   // "OK"
  Rejected = 0x4E4F,   // "NO"
  Goodbye = 0x4259,    // "BY"
  Clock = 0x434B,      // "CK"
  Feedback = 0x5253,   // "RS"
};

// One session packet; only the fields of its command mean anything.
struct SessionPacket {
  SessionCommand command = SessionCommand::Invitation;
  std::uint32_t ssrc = 0;
  // IN, OK, NO, BY
  std::uint32_t initiatorToken = 0;
  // Without its NUL. Decoded: a view into the packet's bytes. IN and OK always have one (encoded
  // as empty when absent); NO and BY when the sender wrote one.
  std::optional<std::string_view> name{};
  // CK: how many of the timestamps are set (0: the first, 1: two, 2: all three).
  std::uint8_t count = 0;
  std::array<std::uint64_t, 3> timestamps{};
  // RS
  std::uint16_t sequence = 0;
  friend bool operator==(const SessionPacket&, const SessionPacket&) = default;
};

enum class SessionDecode {
  Packet,     // `packet` holds it
  NotSession, // does not begin with 0xFFFF: an RTP packet, perhaps
  Malformed,  // begins with 0xFFFF, but is no packet above
};

struct DecodedSession {
  SessionDecode result = SessionDecode::NotSession;
  SessionPacket packet;
};

[[nodiscard]] DecodedSession DecodeSessionPacket(std::span<const std::byte> bytes) noexcept;

// Bytes `packet` takes encoded: exactly what it needs, the name's NUL included. 0 when it cannot be
// encoded: a name that is not IsSessionName, a count above 2.
[[nodiscard]] std::size_t SessionPacketSize(const SessionPacket& packet) noexcept;

// Writes `packet` to the start of `out`; returns the bytes written, 0 (nothing written) when it
// cannot be encoded or `out` is too small.
[[nodiscard]] std::size_t EncodeSessionPacket(const SessionPacket& packet, std::span<std::byte> out) noexcept;

// A name a session packet may carry: UTF-8, no NUL, at most kMaxNameBytes bytes.
[[nodiscard]] bool IsSessionName(std::string_view name) noexcept;

} // namespace kestrel::net::rtpmidi
