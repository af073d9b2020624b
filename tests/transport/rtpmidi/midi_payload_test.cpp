// SPDX-License-Identifier: GPL-3.0-or-later
// The RTP-MIDI payload: hand-written packets the reader must play or refuse, the writer's exact
// bytes where the coding rules decide them, segmented system exclusive gathered whole or dropped
// whole, and random message lists written and read back.
#include "transport/rtpmidi/midi_payload.hpp"

#include "core/wire/raw_midi.hpp"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace kestrel::net::rtpmidi {
namespace {

using Bytes = std::vector<std::byte>;
using Played = std::vector<std::string>;
constexpr std::uint8_t kZ = 0x20;

Bytes Hex(const std::string& text) {
  Bytes out;
  std::istringstream in(text);
  for (unsigned v = 0; in >> std::hex >> v;) out.push_back(static_cast<std::byte>(v));
  return out;
}

std::string HexOf(std::span<const std::byte> bytes) {
  std::string s;
  for (const std::byte b : bytes) {
    char t[4];
    std::snprintf(t, sizeof t, "%s%02x", s.empty() ? "" : " ", std::to_integer<unsigned>(b));
    s += t;
  }
  return s;
}

// A command section around a MIDI list written in hex, its header long when it must be.
std::string Section(const std::string& list, unsigned flags = 0) {
  const auto n = static_cast<unsigned>(Hex(list).size());
  char h[16];
  if (n > 15) {
    std::snprintf(h, sizeof h, "%02x %02x ", 0x80U | flags | (n >> 8U), n & 0xFFU);
  } else {
    std::snprintf(h, sizeof h, "%02x ", flags | n);
  }
  return h + list;
}

// An RTP packet of sender `ssrc` at timestamp 1000 around a payload written in hex.
Bytes Packet(std::uint16_t sequence, const std::string& payload, std::uint32_t ssrc = 5) {
  Bytes p(kRtpHeaderSize);
  StoreRtpHeader(std::span(p).first<kRtpHeaderSize>(), {false, kDefaultPayloadType, sequence, 1000, ssrc});
  const Bytes rest = Hex(payload);
  p.insert(p.end(), rest.begin(), rest.end());
  return p;
}

std::string ShortText(std::uint32_t word) {
  const std::array<std::byte, 3> b{static_cast<std::byte>(word), static_cast<std::byte>(word >> 8U),
                                   static_cast<std::byte>(word >> 16U)};
  return HexOf(std::span(b).first(RawMessageLength(static_cast<std::uint8_t>(word & 0xFFU))));
}

// "sx f0 01 f7" up to 8 bytes, "sx:N:checksum" for longer.
std::string SysexText(std::span<const std::byte> sysex) {
  if (sysex.size() <= 8) return "sx " + HexOf(sysex);
  std::uint32_t sum = 2166136261U;
  for (const std::byte b : sysex) sum = (sum ^ std::to_integer<std::uint32_t>(b)) * 16777619U;
  return "sx:" + std::to_string(sysex.size()) + ":" + std::to_string(sum);
}

// A reader and what it played: "90 3c 64@5" is a short message 5 ticks after the packet's
// timestamp (or `base` plus that), then SysexText.
struct Player {
  PayloadReader reader;
  Played played;
  PacketRead Feed(const Bytes& packet, std::uint32_t base = 0) {
    return reader.Read(
        packet,
        [&](std::uint32_t w, std::uint32_t delta) {
          played.push_back(ShortText(w) + "@" + std::to_string(base + delta));
        },
        [&](std::span<const std::byte> sysex) { played.push_back(SysexText(sysex)); });
  }
};

// A writer and the packets it sent.
struct Sender {
  explicit Sender(const WriterSettings& settings) : writer(settings) {}
  PayloadWriter writer;
  std::vector<Bytes> sent;
  WriteResult Add(RecordType type, const Bytes& payload, std::uint32_t time) {
    EventRecord h;
    h.type = static_cast<std::int32_t>(type);
    return writer.Add(h, payload, time, [&](std::span<const std::byte> p) { sent.emplace_back(p.begin(), p.end()); });
  }
  WriteResult Add(std::uint32_t word, std::uint32_t time) {
    Bytes b(4);
    StoreLE32(b.data(), static_cast<std::int32_t>(word));
    return Add(RecordType::MIM_DATA, b, time);
  }
  void Flush() {
    writer.Flush([&](std::span<const std::byte> p) { sent.emplace_back(p.begin(), p.end()); });
  }
};

TEST(MidiPayload, MidiListsPlayUpToTheirFirstFault) {
  const auto ok = PacketStatus::Read;
  const auto bad = PacketStatus::Malformed;
  const std::vector<std::tuple<std::string, Played, PacketStatus>> cases{
      // Delta times in each of RFC 6295's four lengths, with Z set: 0, 127, 128, 16383, 16384,
      // 2097151, 2097152, 268435455, added up.
      {Section("00 f8 7f f8 81 00 f8 ff 7f f8 81 80 00 f8 ff ff 7f f8 81 80 80 00 f8 ff ff ff 7f f8", kZ),
       {"f8@0", "f8@127", "f8@255", "f8@16638", "f8@33022", "f8@2130173", "f8@4227325", "f8@272662780"},
       ok},
      {Section("90 3c 64 05 80 3c 00 81 00 f8"), {"90 3c 64@0", "80 3c 00@5", "f8@133"}, ok}, // Z clear
      {Section("90 3c 64 00 3e 50 00 c1 05 00 06"), {"90 3c 64@0", "90 3e 50@0", "c1 05@0", "c1 06@0"}, ok},
      {Section("90 f8 3c fe 64"), {"f8@0", "fe@0", "90 3c 64@0"}, ok}, // real time inside a command
      {Section("f0 01 f8 02 f7 00 f0 03 f7"), {"f8@0", "sx f0 01 02 f7", "sx f0 03 f7"}, ok},
      {Section("f2 10 20 00 f3 02 00 f6 00 fa"), {"f2 10 20@0", "f3 02@0", "f6@0", "fa@0"}, ok},
      {Section("90 3c 64 03"), {"90 3c 64@0"}, ok},                      // a delta time closes the list
      {"80 03 90 3c 64", {"90 3c 64@0"}, ok},                            // the long header for a short list
      {Section("3c 64"), {}, bad},                                       // no status to run on
      {Section("90 3c 64 00 f6 00 3e 64"), {"90 3c 64@0", "f6@0"}, bad}, // system common ends it
      {Section("90 3c 64 00 80 3c"), {"90 3c 64@0"}, bad},               // cut by the end
      {Section("90 3c b0 07 7f"), {}, bad},                              // cut by a status byte
      {Section("90 3c 64 00 f4"), {"90 3c 64@0"}, bad},                  // undefined
      {Section("90 fd 3c 64"), {}, bad},                                 // undefined real time
      {Section("90 3c 64 81"), {"90 3c 64@0"}, bad},                     // a delta time cut short
      {Section("80 80 80 80 f8", kZ), {}, bad},                          // five bytes of delta time
      {Section("f0 01 f8 02"), {}, bad},                                 // system exclusive cut short
      {Section("f0 01 90 f7"), {}, bad},                                 // ... by a status byte
      {Section("f0 01 f4"), {}, bad},                                    // F0 .. F4 is no form
      {"05 90 3c 64", {}, bad},                                          // LEN past the payload
      {"03 90 3c 64 00", {}, bad},                                       // bytes after it without J
      {"43 90 3c 64", {}, bad},                                          // J without a journal
      {"", {}, bad},
  };
  for (const auto& [payload, played, status] : cases) {
    Player p;
    EXPECT_EQ(p.Feed(Packet(1, payload)).status, status) << payload;
    EXPECT_EQ(p.played, played) << payload;
    EXPECT_EQ(p.reader.Malformed(), status == bad ? 1U : 0U);
  }
}

TEST(MidiPayload, TheRtpHeaderIsCheckedCsrcExtensionAndPaddingSkippedAndTheJournalHandedOver) {
  // Padding, an extension of one word and one CSRC around a section with a journal.
  Player p;
  const Bytes packet = Hex("b1 e1 12 34 00 00 03 e8 00 00 00 05 11 22 33 44 be de 00 01 aa bb cc dd "
                           "43 90 3c 64 a0 12 34 00 00 03");
  const PacketRead r = p.Feed(packet);
  EXPECT_EQ(r.status, PacketStatus::Read);
  EXPECT_EQ(r.header, (RtpHeader{true, 97, 0x1234, 1000, 5}));
  EXPECT_EQ(p.played, Played{"90 3c 64@0"});
  EXPECT_TRUE(r.journal);
  EXPECT_EQ(r.journalBytes.data(), packet.data() + 28);
  EXPECT_EQ(HexOf(r.journalBytes), "a0 12 34");
  EXPECT_EQ(HexOf(p.Feed(Packet(0x1235, "40 a0 00 01")).journalBytes), "a0 00 01"); // a journal alone
  for (const char* bad : {"40 61 00 01 00 00 03 e8 00 00 00 05 03 90 3c 64",        // version 1
                          "80 61 00 01 00 00 03 e8 00 00 00",                       // short
                          "82 61 00 01 00 00 03 e8 00 00 00 05 11 22 33 44",        // CSRC past the end
                          "90 61 00 01 00 00 03 e8 00 00 00 05 be de 00 02 aa bb cc dd",
                          "a0 61 00 01 00 00 03 e8 00 00 00 05 03 90 3c 64 00", // padding of 0
                          "a0 61 00 01 00 00 03 e8 00 00 00 05 01 90 06"}) {    // past the payload
    EXPECT_EQ(p.Feed(Hex(bad)).status, PacketStatus::NotRtp) << bad;
  }
  EXPECT_EQ(p.reader.NotRtp(), 6U);
  EXPECT_EQ(p.played.size(), 1U);
}

TEST(MidiPayload, TheWriterUsesRunningStatusAndTheLongHeaderPast15Bytes) {
  Sender s({.ssrc = 0x01020304, .firstSequence = 0xFFFF});
  for (const auto& [word, time] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{
           {0x643C90, 100}, {0x643E90, 100}, {0xF8, 101}, {0x644090, 101}, {0xF6, 102}, {0x644190, 102}}) {
    s.Add(word, time); // real time (F8) runs on, system common (F6) ends running status
  }
  s.Flush();
  ASSERT_EQ(s.sent.size(), 1U);
  EXPECT_EQ(HexOf(s.sent[0]),
            "80 61 ff ff 00 00 00 64 01 02 03 04 80 11 90 3c 64 00 3e 64 01 f8 00 40 64 01 f6 00 90 41 64");
  // 15 bytes of list take the one-byte header, 16 the two-byte one; both read back.
  using Words = std::vector<std::uint32_t>;
  for (const auto& [more, header] :
       std::vector<std::pair<Words, std::string>>{{{0x644090}, "0f"}, {{0xF8, 0xFA}, "80 10"}}) {
    Sender w({});
    Player p;
    for (const std::uint32_t word : {0x643C90U, 0x643D90U, 0x643E90U, 0x643F90U}) w.Add(word, 0);
    for (const std::uint32_t word : more) w.Add(word, 0);
    w.Flush();
    ASSERT_EQ(w.sent.size(), 1U);
    EXPECT_EQ(HexOf(std::span(w.sent[0]).subspan(kRtpHeaderSize, Hex(header).size())), header);
    EXPECT_EQ(p.Feed(w.sent[0]).status, PacketStatus::Read);
    EXPECT_EQ(p.played.size(), 4 + more.size());
  }
}

TEST(MidiPayload, TheWriterKeepsOrderSplitsAtFarTimesAndRefusesBrokenRecords) {
  Sender s({});
  Player p;
  s.Add(0x643C90, 1000);
  s.Add(0x643D90, 990); // earlier: at the time of the one before
  s.Add(0x643E90, 1000 + kMaxDeltaTime);
  s.Add(0x643F90, 1001 + 2 * kMaxDeltaTime); // one tick past what a delta time holds
  Bytes longest(kMaxLongMessage + 1, std::byte{0x01});
  longest.front() = std::byte{0xF0};
  longest.back() = std::byte{0xF7};
  for (const auto& [type, payload] :
       std::vector<std::pair<RecordType, Bytes>>{{RecordType::MIM_DATA, Hex("3c 64 00 00")},
                                                 {RecordType::MIM_DATA, Hex("f0 00 00 00")},
                                                 {RecordType::MIM_DATA, Hex("f4 00 00 00")},
                                                 {RecordType::MIM_DATA, Hex("90 3c")},
                                                 {RecordType::MIM_LONGDATA, Hex("f0 01")},
                                                 {RecordType::MIM_LONGDATA, Hex("01 f7")},
                                                 {RecordType::MIM_LONGDATA, Hex("f0 90 f7")},
                                                 {RecordType::MIM_LONGDATA, longest}}) {
    EXPECT_EQ(s.Add(type, payload, 5), WriteResult::Refused) << HexOf(payload);
  }
  EXPECT_EQ(s.Add(RecordType::MIM_OPEN, Hex("00 00 00 00"), 0), WriteResult::NoMidi);
  EXPECT_EQ(s.writer.Refused(), 8U);
  s.Flush();
  ASSERT_EQ(s.sent.size(), 2U);
  EXPECT_EQ(p.Feed(s.sent[0], 1000).header.timestamp, 1000U);
  EXPECT_EQ(p.Feed(s.sent[1], 1001 + 2 * kMaxDeltaTime).header.timestamp, 1001 + 2 * kMaxDeltaTime);
  EXPECT_EQ(p.played, (Played{"90 3c 64@1000", "90 3d 64@1000", "90 3e 64@" + std::to_string(1000 + kMaxDeltaTime),
                              "90 3f 64@" + std::to_string(1001 + 2 * kMaxDeltaTime)}));
}

TEST(MidiPayload, SegmentsAreGatheredWholeOrDroppedWholeAndCountedOnce) {
  Player p; // commands between segments, real time inside one
  p.Feed(Packet(1, Section("90 3c 64 00 f0 01 02 f0")));
  p.Feed(Packet(2, Section("f7 03 f8 04 f0 00 80 3c 00")));
  EXPECT_TRUE(p.reader.Gathering());
  p.Feed(Packet(3, Section("f7 05 f7 00 b0 07 7f")));
  EXPECT_EQ(p.played, (Played{"90 3c 64@0", "f8@0", "80 3c 00@0", "sx f0 01 02 03 04 05 f7", "b0 07 7f@0"}));

  struct Sent {
    std::uint16_t sequence;
    std::string list;
    std::uint32_t ssrc = 5;
  };
  const std::vector<std::tuple<std::string, std::vector<Sent>, Played, std::uint64_t>> broken{
      {"a middle without a first", {{1, "f7 01 f0"}, {2, "f7 02 f0"}, {3, "f7 03 f7"}}, {}, 1},
      {"a last without a first", {{1, "f7 01 f7"}}, {}, 1},
      {"a first while one is open", {{1, "f0 01 f0"}, {2, "f0 02 f0"}, {3, "f7 03 f7"}}, {"sx f0 02 03 f7"}, 1},
      {"a whole message while one is open", {{1, "f0 01 f0"}, {2, "f0 05 f7"}, {3, "f7 03 f7"}}, {"sx f0 05 f7"}, 1},
      {"a cancel", {{1, "f0 01 f0"}, {2, "f7 02 f4"}}, {}, 1},
      {"a cancel alone", {{1, "f7 f4"}}, {}, 1},
      {"a lost packet", {{1, "f0 01 f0"}, {3, "f7 02 f0"}, {4, "f7 03 f7"}}, {}, 1},
      {"a repeated packet", {{1, "f0 01 f0"}, {2, "f7 02 f0"}, {2, "f7 02 f0"}, {3, "f7 03 f7"}}, {}, 1},
      {"a new sender", {{1, "f0 01 f0"}, {2, "f7 02 f7", 6}}, {}, 2},
      {"a malformed packet", {{1, "f0 01 f0"}, {2, "90 3c"}, {3, "f7 03 f7"}}, {}, 1},
  };
  for (const auto& [what, packets, played, dropped] : broken) {
    Player q;
    for (const Sent& s : packets) q.Feed(Packet(s.sequence, Section(s.list), s.ssrc));
    EXPECT_EQ(q.played, played) << what;
    EXPECT_EQ(q.reader.DroppedSysex(), dropped) << what;
    // And the next message comes through.
    const Sent& last = packets.back();
    q.Feed(Packet(static_cast<std::uint16_t>(last.sequence + 1), Section("f0 0a f0"), last.ssrc));
    q.Feed(Packet(static_cast<std::uint16_t>(last.sequence + 2), Section("f7 0b f7"), last.ssrc));
    EXPECT_EQ(q.played.back(), "sx f0 0a 0b f7") << what;
    EXPECT_EQ(q.reader.DroppedSysex(), dropped) << what;
  }
}

TEST(MidiPayload, AWholeCaptureBufferCrossesPacketsWholeAndALostPacketDropsIt) {
  Bytes sysex(kMaxLongMessage);
  for (std::size_t i = 0; i < sysex.size(); ++i) sysex[i] = static_cast<std::byte>(i % 127);
  sysex.front() = std::byte{0xF0};
  sysex.back() = std::byte{0xF7};
  Sender s({});
  s.Add(RecordType::MIM_LONGDATA, sysex, 0);
  s.Add(0x643C90, 7);
  s.Flush();
  EXPECT_EQ(s.sent.size(), 48U); // 65534 data bytes, at most 1384 a segment
  Player whole;
  Player lossy; // its tenth packet lost: the note plays, nothing of the message
  for (std::size_t i = 0; i < s.sent.size(); ++i) {
    EXPECT_LE(s.sent[i].size(), kDefaultMaxPacket);
    whole.Feed(s.sent[i]);
    if (i != 9) lossy.Feed(s.sent[i]);
  }
  EXPECT_EQ(whole.played, (Played{SysexText(sysex), "90 3c 64@7"}));
  EXPECT_EQ(lossy.played, Played{"90 3c 64@7"});
  EXPECT_EQ(lossy.reader.DroppedSysex(), 1U);
  // Segments of 65536 bytes in all play, of 65537 are dropped.
  const auto ones = [](int n) {
    std::string d;
    for (int i = 0; i < n; ++i) d += " 01";
    return d;
  };
  for (const int last : {1534, 1535}) {
    Player big;
    big.Feed(Packet(1, Section("f0" + ones(4000) + " f0")));
    for (std::uint16_t i = 2; i < 17; ++i) big.Feed(Packet(i, Section("f7" + ones(4000) + " f0")));
    big.Feed(Packet(17, Section("f7" + ones(last) + " f7 00 f8")));
    EXPECT_EQ(big.played.size(), last == 1534 ? 2U : 1U);
    EXPECT_EQ(big.reader.DroppedSysex(), last == 1534 ? 0U : 1U);
  }
}

TEST(MidiPayload, RandomMessageListsComeBackInOrderAtTheirTimes) {
  std::mt19937 random(6295);
  const auto pick = [&](unsigned n) { return static_cast<std::uint32_t>(random() % n); };
  static constexpr std::array<std::uint8_t, 14> kStatus{0x80, 0x93, 0xA5, 0xB0, 0xC1, 0xDF, 0xE2,
                                                        0xF1, 0xF2, 0xF3, 0xF6, 0xF8, 0xFA, 0xFE};
  for (const std::size_t budget : {kMinPacket, std::size_t{100}, kDefaultMaxPacket}) {
    Sender s({.ssrc = 9, .firstSequence = 65000, .maxPacket = budget});
    Played sent;
    std::uint32_t time = 0xFFFFF000; // the clock wraps on the way
    for (int i = 0; i < 3000; ++i) {
      time += pick(10) == 0 ? pick(1U << 20U) : pick(30);
      if (pick(10) < 8) {
        const std::uint8_t status = kStatus.at(pick(pick(2) == 0 ? 7 : 14));
        const std::uint32_t word =
            PackShortMessage(status, static_cast<std::uint8_t>(pick(128)), static_cast<std::uint8_t>(pick(128)));
        const std::uint32_t kept = word & (0xFFFFFFU >> (8 * (3 - RawMessageLength(status))));
        s.Add(kept, time);
        sent.push_back(ShortText(kept) + "@" + std::to_string(time));
      } else {
        Bytes sysex(2 + pick(pick(4) == 0 ? 5000 : 40));
        for (std::byte& b : sysex) b = static_cast<std::byte>(pick(128));
        sysex.front() = std::byte{0xF0};
        sysex.back() = std::byte{0xF7};
        s.Add(RecordType::MIM_LONGDATA, sysex, time);
        sent.push_back(SysexText(sysex));
      }
    }
    s.Flush();
    Player p;
    auto sequence = static_cast<std::uint16_t>(65000);
    for (const Bytes& packet : s.sent) {
      ASSERT_LE(packet.size(), s.writer.MaxPacket());
      const PacketRead r = p.Feed(packet, ParseRtp(packet)->header.timestamp);
      EXPECT_EQ(r.status, PacketStatus::Read);
      EXPECT_EQ(r.header.sequence, sequence++);
    }
    EXPECT_EQ(p.played, sent) << budget;
  }
}

} // namespace
} // namespace kestrel::net::rtpmidi
