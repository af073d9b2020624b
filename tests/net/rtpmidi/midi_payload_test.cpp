// SPDX-License-Identifier: GPL-3.0-or-later
// The RTP-MIDI payload: hand-written packets the reader must play or refuse, the writer's exact
// bytes where the coding rules decide them, segmented system exclusive gathered whole or dropped
// whole, and random message lists written and read back.
#include "net/rtpmidi/midi_payload.hpp"

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
  unsigned v = 0;
  while (in >> std::hex >> v) out.push_back(static_cast<std::byte>(v));
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

// A command section around a MIDI list written in hex: its header (long when it must be) first.
std::string Section(const std::string& list, std::uint8_t flags = 0) {
  const std::size_t n = Hex(list).size();
  char h[16];
  if (n > 15) {
    std::snprintf(h, sizeof h, "%02x %02x", 0x80U | flags | static_cast<unsigned>(n >> 8U),
                  static_cast<unsigned>(n & 0xFFU));
  } else {
    std::snprintf(h, sizeof h, "%02x", flags | static_cast<unsigned>(n));
  }
  return std::string(h) + " " + list;
}

// An RTP packet of sender `ssrc` around a payload written in hex.
Bytes Packet(std::uint16_t sequence, const std::string& payload, std::uint32_t ssrc = 5) {
  Bytes p(kRtpHeaderSize);
  StoreRtpHeader(std::span(p).first<kRtpHeaderSize>(), {false, kDefaultPayloadType, sequence, 1000, ssrc});
  const Bytes rest = Hex(payload);
  p.insert(p.end(), rest.begin(), rest.end());
  return p;
}

std::string ShortText(std::uint32_t word) {
  std::array<std::byte, 3> b{static_cast<std::byte>(word), static_cast<std::byte>(word >> 8U),
                             static_cast<std::byte>(word >> 16U)};
  return HexOf(std::span(b).first(RawMessageLength(static_cast<std::uint8_t>(word & 0xFFU))));
}

// "sx f0 01 f7" for a system-exclusive message up to 8 bytes, "sx:N:checksum" for longer.
std::string SysexText(std::span<const std::byte> sysex) {
  if (sysex.size() <= 8) return "sx " + HexOf(sysex);
  std::uint32_t sum = 2166136261U;
  for (const std::byte b : sysex) sum = (sum ^ std::to_integer<std::uint32_t>(b)) * 16777619U;
  return "sx:" + std::to_string(sysex.size()) + ":" + std::to_string(sum);
}

// A reader and what it played: "90 3c 64@5" (a short message 5 ticks after the packet's
// timestamp) and SysexText.
struct Player {
  PayloadReader reader;
  Played played;
  PacketRead Feed(const Bytes& packet) {
    return reader.Read(
        packet,
        [&](std::uint32_t word, std::uint32_t delta) {
          played.push_back(ShortText(word) + "@" + std::to_string(delta));
        },
        [&](std::span<const std::byte> sysex) { played.push_back(SysexText(sysex)); });
  }
};

EventRecord Record(RecordType type) {
  EventRecord h;
  h.type = static_cast<std::int32_t>(type);
  return h;
}

Bytes Word(std::uint32_t word) {
  Bytes b(4);
  StoreLE32(b.data(), static_cast<std::int32_t>(word));
  return b;
}

// A writer and the packets it sent.
struct Sender {
  explicit Sender(const WriterSettings& settings) : writer(settings) {}
  PayloadWriter writer;
  std::vector<Bytes> sent;
  WriteResult Add(RecordType type, const Bytes& payload, std::uint32_t time) {
    return writer.Add(Record(type), payload, time,
                      [&](std::span<const std::byte> p) { sent.emplace_back(p.begin(), p.end()); });
  }
  void Flush() {
    writer.Flush([&](std::span<const std::byte> p) { sent.emplace_back(p.begin(), p.end()); });
  }
};

TEST(MidiPayload, DeltaTimesReadAsTheRfcCodesThem) {
  const std::vector<std::pair<std::string, std::uint32_t>> cases{
      {"00", 0},           {"7f", 127},           {"81 00", 128},           {"ff 7f", 16383},
      {"81 80 00", 16384}, {"ff ff 7f", 2097151}, {"81 80 80 00", 2097152}, {"ff ff ff 7f", kMaxDeltaTime}};
  for (const auto& [delta, value] : cases) {
    Player p;
    p.Feed(Packet(1, Section(delta + " f8", kZ)));
    EXPECT_EQ(p.played, Played{"f8@" + std::to_string(value)}) << delta;
  }
  // Each delta counts from the command before; without Z the first lies at the timestamp.
  Player p;
  p.Feed(Packet(1, Section("90 3c 64 05 80 3c 00 81 00 f8")));
  EXPECT_EQ(p.played, (Played{"90 3c 64@0", "80 3c 00@5", "f8@133"}));
}

TEST(MidiPayload, MidiListsPlayUpToTheirFirstFault) {
  struct Case {
    std::string payload;
    Played played;
    PacketStatus status = PacketStatus::Read;
  };
  const auto bad = PacketStatus::Malformed;
  const std::vector<Case> cases{
      {Section("90 3c 64 00 3e 50 00 c1 05 00 06"), {"90 3c 64@0", "90 3e 50@0", "c1 05@0", "c1 06@0"}},
      {Section("90 f8 3c fe 64"), {"f8@0", "fe@0", "90 3c 64@0"}}, // real time inside a command
      {Section("f0 01 f8 02 f7 00 f0 03 f7"), {"f8@0", "sx f0 01 02 f7", "sx f0 03 f7"}},
      {Section("f2 10 20 00 f3 02 00 f6 00 fa"), {"f2 10 20@0", "f3 02@0", "f6@0", "fa@0"}},
      {Section("90 3c 64 03"), {"90 3c 64@0"}},                          // a delta time closes the list
      {"80 03 90 3c 64", {"90 3c 64@0"}},                                // the long header for a short list
      {Section("3c 64"), {}, bad},                                       // no status to run on
      {Section("90 3c 64 00 f6 00 3e 64"), {"90 3c 64@0", "f6@0"}, bad}, // system common ends running status
      {Section("90 3c 64 00 80 3c"), {"90 3c 64@0"}, bad},               // cut by the end
      {Section("90 3c b0 07 7f"), {}, bad},                              // cut by a status byte
      {Section("90 3c 64 00 f4"), {"90 3c 64@0"}, bad},                  // undefined
      {Section("90 fd 3c 64"), {}, bad},                                 // undefined real time
      {Section("90 3c 64 81"), {"90 3c 64@0"}, bad},                     // a delta time cut by the end
      {Section("80 80 80 80 f8", kZ), {}, bad},                          // five bytes of delta time
      {Section("f0 01 f8 02"), {}, bad},                                 // system exclusive cut by the end
      {Section("f0 01 90 f7"), {}, bad},                                 // ... by a status byte
      {Section("f0 01 f4"), {}, bad},                                    // F0 .. F4 is no form
      {"05 90 3c 64", {}, bad},                                          // LEN past the payload
      {"03 90 3c 64 00", {}, bad},                                       // bytes after it without J
      {"43 90 3c 64", {}, bad},                                          // J without a journal
      {"", {}, bad},                                                     // no section at all
  };
  for (const Case& c : cases) {
    Player p;
    EXPECT_EQ(p.Feed(Packet(1, c.payload)).status, c.status) << c.payload;
    EXPECT_EQ(p.played, c.played) << c.payload;
    EXPECT_EQ(p.reader.Malformed(), c.status == bad ? 1U : 0U);
  }
}

TEST(MidiPayload, TheRtpHeaderIsCheckedAndItsOptionalPartsSkipped) {
  // V=2 with padding, an extension and one CSRC: 11 22 33 44, extension of one word, 3 bytes of padding.
  Player p;
  const PacketRead r = p.Feed(Hex("b1 e1 12 34 00 00 03 e8 00 00 00 05 11 22 33 44 be de 00 01 aa bb cc dd "
                                  "03 90 3c 64 00 00 03"));
  EXPECT_EQ(r.status, PacketStatus::Read);
  EXPECT_EQ(r.header, (RtpHeader{true, 97, 0x1234, 1000, 5}));
  EXPECT_EQ(p.played, Played{"90 3c 64@0"});
  for (const char* bad : {"40 61 00 01 00 00 03 e8 00 00 00 05 03 90 3c 64", // version 1
                          "80 61 00 01 00 00 03 e8 00 00 00",                // short
                          "82 61 00 01 00 00 03 e8 00 00 00 05 11 22 33 44", // CSRC past the end
                          "90 61 00 01 00 00 03 e8 00 00 00 05 be de 00 02 aa bb cc dd",
                          "a0 61 00 01 00 00 03 e8 00 00 00 05 03 90 3c 64 00", // padding of 0
                          "a0 61 00 01 00 00 03 e8 00 00 00 05 01 90 06"}) {    // past the payload
    EXPECT_EQ(p.Feed(Hex(bad)).status, PacketStatus::NotRtp) << bad;
  }
  EXPECT_EQ(p.reader.NotRtp(), 6U);
  EXPECT_EQ(p.played.size(), 1U);
}

TEST(MidiPayload, TheJournalIsHandedOverUntouched) {
  Player p;
  const Bytes packet = Packet(1, "43 90 3c 64 a0 12 34 56");
  const PacketRead r = p.Feed(packet);
  EXPECT_EQ(r.status, PacketStatus::Read);
  EXPECT_TRUE(r.journal);
  EXPECT_EQ(r.journalBytes.data(), packet.data() + kRtpHeaderSize + 4);
  EXPECT_EQ(HexOf(r.journalBytes), "a0 12 34 56");
  const Bytes only = Packet(2, "40 a0 00 01");
  EXPECT_EQ(HexOf(p.Feed(only).journalBytes), "a0 00 01");
  EXPECT_EQ(p.played, Played{"90 3c 64@0"});
}

TEST(MidiPayload, TheWriterUsesRunningStatusAndTheLongHeaderPast15Bytes) {
  Sender s({.ssrc = 0x01020304, .firstSequence = 0xFFFF});
  s.Add(RecordType::MIM_DATA, Word(PackShortMessage(0x90, 0x3C, 0x64)), 100);
  s.Add(RecordType::MIM_DATA, Word(PackShortMessage(0x90, 0x3E, 0x64)), 100);
  s.Add(RecordType::MIM_DATA, Word(PackShortMessage(0xF8)), 101); // real time: runs on
  s.Add(RecordType::MIM_DATA, Word(PackShortMessage(0x90, 0x40, 0x64)), 101);
  s.Add(RecordType::MIM_DATA, Word(PackShortMessage(0xF6)), 102); // system common: ends it
  s.Add(RecordType::MIM_DATA, Word(PackShortMessage(0x90, 0x41, 0x64)), 102);
  s.Flush();
  ASSERT_EQ(s.sent.size(), 1U);
  EXPECT_EQ(HexOf(s.sent[0]),
            "80 61 ff ff 00 00 00 64 01 02 03 04 80 11 90 3c 64 00 3e 64 01 f8 00 40 64 01 f6 00 90 41 64");
  // 15 bytes of list take the one-byte header, 16 the two-byte one; both read back.
  using Messages = std::vector<std::uint32_t>;
  for (const auto& [messages, header] :
       std::vector<std::pair<Messages, std::string>>{{{0x643C90, 0x643D90, 0x643E90, 0x643F90, 0x644090}, "0f"},
                                                     {{0x643C90, 0x643D90, 0x643E90, 0x643F90, 0xF8, 0xFA}, "80 10"}}) {
    Sender w({});
    Player p;
    for (const std::uint32_t m : messages) w.Add(RecordType::MIM_DATA, Word(m), 0);
    w.Flush();
    ASSERT_EQ(w.sent.size(), 1U);
    EXPECT_EQ(HexOf(std::span(w.sent[0]).subspan(kRtpHeaderSize, Hex(header).size())), header);
    EXPECT_EQ(p.Feed(w.sent[0]).status, PacketStatus::Read);
    ASSERT_EQ(p.played.size(), messages.size());
    for (std::size_t i = 0; i < messages.size(); ++i) EXPECT_EQ(p.played[i], ShortText(messages[i]) + "@0");
  }
}

TEST(MidiPayload, TheWriterKeepsOrderAndStartsAPacketWhereADeltaTimeCannotReach) {
  Sender s({});
  Player p;
  s.Add(RecordType::MIM_DATA, Word(0x643C90), 1000);
  s.Add(RecordType::MIM_DATA, Word(0x643D90), 990); // earlier: at the time of the one before
  s.Add(RecordType::MIM_DATA, Word(0x643E90), 1000 + kMaxDeltaTime);
  s.Add(RecordType::MIM_DATA, Word(0x643F90), 1001 + 2 * kMaxDeltaTime); // one tick too far
  s.Flush();
  ASSERT_EQ(s.sent.size(), 2U);
  std::vector<std::uint32_t> stamps;
  for (const Bytes& packet : s.sent) stamps.push_back(p.Feed(packet).header.timestamp);
  EXPECT_EQ(stamps, (std::vector<std::uint32_t>{1000, 1001 + 2 * kMaxDeltaTime}));
  EXPECT_EQ(p.played, (Played{"90 3c 64@0", "90 3d 64@0", "90 3e 64@" + std::to_string(kMaxDeltaTime), "90 3f 64@0"}));
}

TEST(MidiPayload, TheWriterRefusesWhatIsNotAWholeMessage) {
  Sender s({});
  Bytes longest(kMaxLongMessage + 1, std::byte{0x01});
  longest.front() = std::byte{0xF0};
  longest.back() = std::byte{0xF7};
  const std::vector<std::pair<RecordType, Bytes>> refused{
      {RecordType::MIM_DATA, Word(0x643C)},     {RecordType::MIM_DATA, Word(0xF0)},
      {RecordType::MIM_DATA, Word(0xF7)},       {RecordType::MIM_DATA, Word(0xF4)},
      {RecordType::MIM_DATA, Hex("90 3c")},     {RecordType::MIM_LONGDATA, Hex("f0 01")},
      {RecordType::MIM_LONGDATA, Hex("01 f7")}, {RecordType::MIM_LONGDATA, Hex("f0 90 f7")},
      {RecordType::MIM_LONGDATA, longest}};
  for (const auto& [type, payload] : refused) EXPECT_EQ(s.Add(type, payload, 0), WriteResult::Refused);
  EXPECT_EQ(s.Add(RecordType::MIM_OPEN, Word(0), 0), WriteResult::NoMidi);
  EXPECT_EQ(s.Add(RecordType::KeepAlive, Word(0), 0), WriteResult::NoMidi);
  EXPECT_EQ(s.writer.Refused(), refused.size());
  EXPECT_FALSE(s.writer.Pending());
}

TEST(MidiPayload, SegmentsAreGatheredAcrossPacketsWithCommandsBetween) {
  Player p;
  p.Feed(Packet(1, Section("90 3c 64 00 f0 01 02 f0")));
  EXPECT_TRUE(p.reader.Gathering());
  p.Feed(Packet(2, Section("f7 03 f8 04 f0 00 80 3c 00")));
  p.Feed(Packet(3, Section("f7 05 f7 00 b0 07 7f")));
  EXPECT_EQ(p.played, (Played{"90 3c 64@0", "f8@0", "80 3c 00@0", "sx f0 01 02 03 04 05 f7", "b0 07 7f@0"}));
  EXPECT_FALSE(p.reader.Gathering());
  EXPECT_EQ(p.reader.DroppedSysex(), 0U);
}

TEST(MidiPayload, BrokenSegmentSequencesAreDroppedWholeAndCountedOnce) {
  struct Sent {
    std::uint16_t sequence;
    std::string list;
    std::uint32_t ssrc = 5;
  };
  struct Case {
    std::string what;
    std::vector<Sent> packets;
    Played played;
    std::uint64_t dropped = 1;
  };
  const std::vector<Case> cases{
      {"a middle without a first", {{1, "f7 01 f0"}, {2, "f7 02 f0"}, {3, "f7 03 f7"}}, {}},
      {"a last without a first", {{1, "f7 01 f7"}}, {}},
      {"a first while one is open", {{1, "f0 01 f0"}, {2, "f0 02 f0"}, {3, "f7 03 f7"}}, {"sx f0 02 03 f7"}},
      {"a whole message while one is open", {{1, "f0 01 f0"}, {2, "f0 05 f7"}, {3, "f7 03 f7"}}, {"sx f0 05 f7"}},
      {"a cancel", {{1, "f0 01 f0"}, {2, "f7 02 f4"}}, {}},
      {"a cancel alone", {{1, "f7 f4"}}, {}},
      {"a lost packet", {{1, "f0 01 f0"}, {3, "f7 02 f0"}, {4, "f7 03 f7"}}, {}},
      {"a repeated packet", {{1, "f0 01 f0"}, {2, "f7 02 f0"}, {2, "f7 02 f0"}, {3, "f7 03 f7"}}, {}},
      {"a new sender", {{1, "f0 01 f0"}, {2, "f7 02 f7", 6}}, {}, 2},
      {"a malformed packet", {{1, "f0 01 f0"}, {2, "90 3c"}, {3, "f7 03 f7"}}, {}},
  };
  for (const Case& c : cases) {
    Player p;
    std::uint16_t next = 0;
    std::uint32_t ssrc = 5;
    for (const Sent& s : c.packets) {
      p.Feed(Packet(s.sequence, Section(s.list), s.ssrc));
      next = static_cast<std::uint16_t>(s.sequence + 1);
      ssrc = s.ssrc;
    }
    EXPECT_EQ(p.played, c.played) << c.what;
    EXPECT_EQ(p.reader.DroppedSysex(), c.dropped) << c.what;
    // And the next message comes through.
    p.Feed(Packet(next, Section("f0 0a f0"), ssrc));
    p.Feed(Packet(static_cast<std::uint16_t>(next + 1), Section("f7 0b f7"), ssrc));
    EXPECT_EQ(p.played.back(), "sx f0 0a 0b f7") << c.what;
    EXPECT_EQ(p.reader.DroppedSysex(), c.dropped) << c.what;
  }
}

TEST(MidiPayload, AWholeCaptureBufferCrossesPacketsWholeAndALostPacketDropsIt) {
  Bytes sysex(kMaxLongMessage);
  for (std::size_t i = 0; i < sysex.size(); ++i) sysex[i] = static_cast<std::byte>(i % 127);
  sysex.front() = std::byte{0xF0};
  sysex.back() = std::byte{0xF7};
  Sender s({});
  s.Add(RecordType::MIM_LONGDATA, sysex, 0);
  s.Add(RecordType::MIM_DATA, Word(0x643C90), 7);
  s.Flush();
  EXPECT_EQ(s.sent.size(), 48U); // 65534 data bytes, at most 1384 a segment
  Bytes got;
  PayloadReader reader;
  int shorts = 0;
  for (const Bytes& packet : s.sent) {
    EXPECT_LE(packet.size(), kDefaultMaxPacket);
    reader.Read(
        packet, [&](std::uint32_t, std::uint32_t) { ++shorts; }, [&](auto m) { got.assign(m.begin(), m.end()); });
  }
  EXPECT_EQ(got, sysex);
  EXPECT_EQ(shorts, 1);
  // The same stream with its tenth packet lost: the note plays, nothing of the message.
  Player p;
  for (std::size_t i = 0; i < s.sent.size(); ++i) {
    if (i != 9) p.Feed(s.sent[i]);
  }
  EXPECT_EQ(p.played, Played{"90 3c 64@7"});
  EXPECT_EQ(p.reader.DroppedSysex(), 1U);
  // Segments gathered to one byte more than a capture buffer: dropped, never played.
  const auto ones = [](int n) {
    std::string d;
    for (int i = 0; i < n; ++i) d += " 01";
    return d;
  };
  for (const int last : {1534, 1535}) { // 65536 and 65537 bytes in all
    Player big;
    big.Feed(Packet(1, Section("f0" + ones(4000) + " f0")));
    for (std::uint16_t i = 2; i < 17; ++i) big.Feed(Packet(i, Section("f7" + ones(4000) + " f0")));
    big.Feed(Packet(17, Section("f7" + ones(last) + " f7 00 f8")));
    EXPECT_EQ(big.played.size(), last == 1534 ? 2U : 1U);
    EXPECT_EQ(big.played.back(), "f8@0");
    EXPECT_EQ(big.reader.DroppedSysex(), last == 1534 ? 0U : 1U);
  }
}

TEST(MidiPayload, RandomMessageListsComeBackInOrderAtTheirTimes) {
  std::mt19937 random(6295);
  const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  for (const std::size_t budget : {kMinPacket, std::size_t{100}, kDefaultMaxPacket}) {
    Sender s({.ssrc = 9, .firstSequence = 65000, .maxPacket = budget});
    std::vector<std::string> sent;
    std::uint32_t time = 0xFFFFF000; // the clock wraps on the way
    for (int i = 0; i < 3000; ++i) {
      time += pick(10) == 0 ? static_cast<std::uint32_t>(pick(1 << 20)) : static_cast<std::uint32_t>(pick(30));
      const int kind = pick(10);
      if (kind < 7) {
        static constexpr std::array<std::uint8_t, 14> kStatus{0x80, 0x93, 0xA5, 0xB0, 0xC1, 0xDF, 0xE2,
                                                              0xF1, 0xF2, 0xF3, 0xF6, 0xF8, 0xFA, 0xFE};
        const std::uint8_t status = kStatus.at(static_cast<std::size_t>(pick(kind < 3 ? 7 : 14)));
        const std::uint32_t word =
            PackShortMessage(status, static_cast<std::uint8_t>(pick(128)), static_cast<std::uint8_t>(pick(128)));
        const std::size_t length = RawMessageLength(status);
        const std::uint32_t shown = word & (length == 1 ? 0xFFU : length == 2 ? 0xFFFFU : 0xFFFFFFU);
        s.Add(RecordType::MIM_DATA, Word(shown), time);
        sent.push_back(ShortText(shown) + "@" + std::to_string(time));
      } else {
        Bytes sysex(2 + static_cast<std::size_t>(pick(kind == 9 ? 5000 : 40)), std::byte{0});
        for (std::byte& b : sysex) b = static_cast<std::byte>(pick(128));
        sysex.front() = std::byte{0xF0};
        sysex.back() = std::byte{0xF7};
        s.Add(RecordType::MIM_LONGDATA, sysex, time);
        sent.push_back(SysexText(sysex));
      }
    }
    s.Flush();
    PayloadReader reader;
    std::vector<std::string> got;
    auto sequence = static_cast<std::uint16_t>(65000);
    for (const Bytes& packet : s.sent) {
      ASSERT_LE(packet.size(), s.writer.MaxPacket());
      const std::uint32_t stamp = ParseRtp(packet)->header.timestamp;
      const PacketRead r = reader.Read(
          packet,
          [&](std::uint32_t word, std::uint32_t delta) {
            got.push_back(ShortText(word) + "@" + std::to_string(stamp + delta));
          },
          [&](std::span<const std::byte> m) { got.push_back(SysexText(m)); });
      EXPECT_EQ(r.status, PacketStatus::Read);
      EXPECT_EQ(r.header.sequence, sequence++);
    }
    EXPECT_EQ(got, sent) << budget;
  }
}

} // namespace
} // namespace kestrel::net::rtpmidi
