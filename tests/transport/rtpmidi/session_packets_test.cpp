// SPDX-License-Identifier: GPL-3.0-or-later
// The session exchange's packets byte by byte: every command written to its exact bytes and read
// back, and everything the strict reader and writer refuse.
#include "transport/rtpmidi/session_packets.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace kestrel::net::rtpmidi {
namespace {

using Bytes = std::vector<std::byte>;

Bytes Hex(const std::string& text) {
  Bytes out;
  std::istringstream in(text);
  unsigned v = 0;
  while (in >> std::hex >> v) out.push_back(static_cast<std::byte>(v));
  return out;
}

Bytes Text(const std::string& text) {
  Bytes out;
  for (const char c : text) out.push_back(static_cast<std::byte>(c));
  return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const Bytes kInvitationHead = Hex("ff ff 49 4e 00 00 00 02 12 34 56 78 9a bc de f0");

TEST(SessionPackets, EveryCommandIsWrittenToItsExactBytesAndReadBack) {
  using C = SessionCommand;
  struct Case {
    SessionPacket packet;
    Bytes bytes;
  };
  const std::string name63(kMaxNameBytes, 'n');
  const std::vector<Case> cases{
      {{.command = C::Invitation, .ssrc = 0x9ABCDEF0, .initiatorToken = 0x12345678, .name = "Kestrel"},
       kInvitationHead + Text("Kestrel") + Hex("00")},
      {{.command = C::Accepted, .ssrc = 1, .initiatorToken = 2, .name = name63},
       Hex("ff ff 4f 4b 00 00 00 02 00 00 00 02 00 00 00 01") + Text(name63) + Hex("00")},
      {{.command = C::Accepted, .ssrc = 1, .initiatorToken = 2, .name = ""},
       Hex("ff ff 4f 4b 00 00 00 02 00 00 00 02 00 00 00 01 00")},
      {{.command = C::Rejected, .ssrc = 3, .initiatorToken = 4},
       Hex("ff ff 4e 4f 00 00 00 02 00 00 00 04 00 00 00 03")},
      {{.command = C::Goodbye, .ssrc = 3, .initiatorToken = 4, .name = "B\xc3\xbchne"},
       Hex("ff ff 42 59 00 00 00 02 00 00 00 04 00 00 00 03 42 c3 bc 68 6e 65 00")},
      {{.command = C::Clock, .ssrc = 7, .count = 2, .timestamps = {1, 0x0102030405060708, ~0ULL}},
       Hex("ff ff 43 4b 00 00 00 07 02 00 00 00 00 00 00 00 00 00 00 01 01 02 03 04 05 06 07 08 "
           "ff ff ff ff ff ff ff ff")},
      {{.command = C::Feedback, .ssrc = 7, .sequence = 0xBEEF}, Hex("ff ff 52 53 00 00 00 07 be ef 00 00")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes.size());
    EXPECT_EQ(SessionPacketSize(c.packet), c.bytes.size());
    Bytes out(kMaxSessionPacket + 8, std::byte{0xAA});
    ASSERT_EQ(EncodeSessionPacket(c.packet, out), c.bytes.size());
    EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(c.bytes.size())), c.bytes);
    const DecodedSession d = DecodeSessionPacket(c.bytes);
    ASSERT_EQ(d.result, SessionDecode::Packet);
    EXPECT_EQ(d.packet, c.packet);
  }
  // Padding is not the reader's business; an RS of another length is.
  EXPECT_EQ(DecodeSessionPacket(Hex("ff ff 52 53 00 00 00 07 be ef 12 34")).packet.sequence, 0xBEEF);
}

TEST(SessionPackets, TheReaderRefusesAnythingElse) {
  const Bytes name64 = Text(std::string(kMaxNameBytes + 1, 'n'));
  const auto no = SessionDecode::NotSession;
  const auto bad = SessionDecode::Malformed;
  const std::vector<std::pair<Bytes, SessionDecode>> cases{
      {{}, no},
      {Hex("ff fe 49 4e"), no},                                         // wrong signature
      {Hex("80 61 00 01 00 00 00 00 00 00 00 05 03 90 3c 64"), no},     // RTP
      {Hex("ff ff 49"), bad},                                           // short
      {Hex("ff ff 52 4c 00 00 00 07 00 00 10 00"), bad},                // a command we do not speak
      {Hex("ff ff 49 4e 00 00 00 03 12 34 56 78 9a bc de f0 00"), bad}, // version 3
      {kInvitationHead, bad},                                           // no name
      {kInvitationHead + Text("Kestrel"), bad},                         // no NUL
      {kInvitationHead + Text("Kestrel") + Hex("00 00"), bad},          // bytes after it
      {kInvitationHead + name64 + Hex("00"), bad},                      // too long
      {kInvitationHead + Hex("c0 80 00"), bad},                         // not UTF-8
      {Hex("ff ff 42 59 00 00 00 02 12 34 56 78 9a bc de f0 41"), bad}, // BY, no NUL
      {Hex("ff ff 43 4b 00 00 00 07 03") + Bytes(27), bad},             // count 3
      {Hex("ff ff 43 4b 00 00 00 07 00") + Bytes(26), bad},             // 35 bytes
      {Hex("ff ff 52 53 00 00 00 07 be ef 00 00 00"), bad},             // 13 bytes
  };
  for (const auto& [bytes, expected] : cases) {
    EXPECT_EQ(DecodeSessionPacket(bytes).result, expected) << ::testing::PrintToString(bytes);
  }
}

TEST(SessionPackets, TheWriterRefusesWhatItCannotWriteAndWritesNothingThen) {
  using C = SessionCommand;
  const std::string name64(kMaxNameBytes + 1, 'n');
  for (const SessionPacket& p :
       {SessionPacket{.command = C::Invitation, .name = name64},
        SessionPacket{.command = C::Accepted, .name = std::string_view("a\0b", 3)},
        SessionPacket{.command = C::Goodbye, .name = "\xff"}, SessionPacket{.command = C::Clock, .count = 3}}) {
    Bytes out(kMaxSessionPacket, std::byte{0xAA});
    EXPECT_EQ(SessionPacketSize(p), 0U);
    EXPECT_EQ(EncodeSessionPacket(p, out), 0U);
    EXPECT_EQ(out, Bytes(kMaxSessionPacket, std::byte{0xAA}));
  }
  // One byte short of room.
  const SessionPacket in{.command = C::Invitation, .name = "Kestrel"};
  Bytes out(SessionPacketSize(in) - 1, std::byte{0xAA});
  EXPECT_EQ(EncodeSessionPacket(in, out), 0U);
  EXPECT_EQ(out, Bytes(out.size(), std::byte{0xAA}));
}

} // namespace
} // namespace kestrel::net::rtpmidi
