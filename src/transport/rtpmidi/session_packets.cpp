// SPDX-License-Identifier: GPL-3.0-or-later
#include "transport/rtpmidi/session_packets.hpp"

#include "base/text.hpp"
#include "transport/rtpmidi/big_endian.hpp"

#include <algorithm>

namespace kestrel::net::rtpmidi {

namespace {

constexpr std::uint16_t kSignature = 0xFFFF;

bool CarriesName(SessionCommand c) noexcept {
  return c == SessionCommand::Invitation || c == SessionCommand::Accepted || c == SessionCommand::Rejected ||
         c == SessionCommand::Goodbye;
}

bool KnownCommand(std::uint16_t c) noexcept {
  switch (static_cast<SessionCommand>(c)) {
  case SessionCommand::Invitation:
  case SessionCommand::Accepted:
  case SessionCommand::Rejected:
  case SessionCommand::Goodbye:
  case SessionCommand::Clock:
  case SessionCommand::Feedback: return true;
  }
  return false;
}

std::string_view AsText(std::span<const std::byte> bytes) noexcept {
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): bytes read as the text they are
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The name after the fixed fields of IN, OK, NO, BY: `tail` must be the name and its NUL, nothing
// more. nullopt when it is not.
std::optional<std::string_view> NameOf(std::span<const std::byte> tail) noexcept {
  if (tail.empty() || tail.back() != std::byte{0}) return std::nullopt;
  const std::string_view name = AsText(tail.first(tail.size() - 1));
  if (!IsSessionName(name)) return std::nullopt;
  return name;
}

} // namespace

bool IsSessionName(std::string_view name) noexcept {
  return name.size() <= kMaxNameBytes && name.find('\0') == std::string_view::npos && IsUtf8(name);
}

DecodedSession DecodeSessionPacket(std::span<const std::byte> bytes) noexcept {
  DecodedSession d;
  if (bytes.size() < 2 || LoadBE16(bytes.data()) != kSignature) return d;
  d.result = SessionDecode::Malformed;
  if (bytes.size() < 4 || !KnownCommand(LoadBE16(bytes.data() + 2))) return d;
  SessionPacket& p = d.packet;
  p.command = static_cast<SessionCommand>(LoadBE16(bytes.data() + 2));
  if (CarriesName(p.command)) {
    if (bytes.size() < kSessionHeaderSize || LoadBE32(bytes.data() + 4) != kSessionVersion) return d;
    p.initiatorToken = LoadBE32(bytes.data() + 8);
    p.ssrc = LoadBE32(bytes.data() + 12);
    const auto tail = bytes.subspan(kSessionHeaderSize);
    const bool optional = p.command == SessionCommand::Rejected || p.command == SessionCommand::Goodbye;
    if (!tail.empty() || !optional) {
      p.name = NameOf(tail);
      if (!p.name) return d;
    }
  } else if (p.command == SessionCommand::Clock) {
    if (bytes.size() != kClockPacketSize) return d;
    p.ssrc = LoadBE32(bytes.data() + 4);
    p.count = std::to_integer<std::uint8_t>(bytes[8]);
    if (p.count > 2) return d;
    for (std::size_t i = 0; i < p.timestamps.size(); ++i) p.timestamps.at(i) = LoadBE64(bytes.data() + 12 + 8 * i);
  } else {
    if (bytes.size() != kFeedbackPacketSize) return d;
    p.ssrc = LoadBE32(bytes.data() + 4);
    p.sequence = LoadBE16(bytes.data() + 8);
  }
  d.result = SessionDecode::Packet;
  return d;
}

std::size_t SessionPacketSize(const SessionPacket& packet) noexcept {
  switch (packet.command) {
  case SessionCommand::Invitation:
  case SessionCommand::Accepted:
  case SessionCommand::Rejected:
  case SessionCommand::Goodbye: {
    const bool always = packet.command == SessionCommand::Invitation || packet.command == SessionCommand::Accepted;
    if (!packet.name) return always ? kSessionHeaderSize + 1 : kSessionHeaderSize;
    return IsSessionName(*packet.name) ? kSessionHeaderSize + packet.name->size() + 1 : 0;
  }
  case SessionCommand::Clock: return packet.count <= 2 ? kClockPacketSize : 0;
  case SessionCommand::Feedback: return kFeedbackPacketSize;
  }
  return 0;
}

std::size_t EncodeSessionPacket(const SessionPacket& packet, std::span<std::byte> out) noexcept {
  const std::size_t size = SessionPacketSize(packet);
  if (size == 0 || size > out.size()) return 0;
  std::byte* p = out.data();
  std::fill_n(p, size, std::byte{0});
  StoreBE16(p, kSignature);
  StoreBE16(p + 2, static_cast<std::uint16_t>(packet.command));
  if (CarriesName(packet.command)) {
    StoreBE32(p + 4, kSessionVersion);
    StoreBE32(p + 8, packet.initiatorToken);
    StoreBE32(p + 12, packet.ssrc);
    if (size > kSessionHeaderSize && packet.name) {
      std::transform(packet.name->begin(), packet.name->end(), p + kSessionHeaderSize,
                     [](char c) { return static_cast<std::byte>(c); });
    }
  } else if (packet.command == SessionCommand::Clock) {
    StoreBE32(p + 4, packet.ssrc);
    p[8] = static_cast<std::byte>(packet.count);
    for (std::size_t i = 0; i < packet.timestamps.size(); ++i) StoreBE64(p + 12 + 8 * i, packet.timestamps.at(i));
  } else {
    StoreBE32(p + 4, packet.ssrc);
    StoreBE16(p + 8, packet.sequence);
  }
  return size;
}

} // namespace kestrel::net::rtpmidi
