// SPDX-License-Identifier: GPL-3.0-or-later
// The multicast convention's byte streams: what the parser plays from tricky datagrams, what it
// refuses whole, and that the encoder's bytes read back as the records they came from.
#include "core/wire/raw_midi.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace kestrel {
namespace {

std::vector<std::byte> Bytes(std::initializer_list<int> values) {
  std::vector<std::byte> out;
  for (const int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

// A port's parser and what it played, as text: "90 3c 64" for a short message, "sx:N:f0..f7" for
// system-exclusive (its length, first and last byte).
struct Port {
  RawMidiParser parser;
  std::vector<std::string> played;
  int notMidi = 0;

  RawDatagram Feed(const std::vector<std::byte>& datagram, std::uint32_t sender = 1, Tick now = 0) {
    const RawDatagram r = parser.Parse(
        datagram, sender, now,
        [&](std::uint32_t word) {
          char text[16];
          const unsigned status = word & 0xFFU;
          const std::size_t length = RawMessageLength(static_cast<std::uint8_t>(status));
          if (length == 1) {
            std::snprintf(text, sizeof text, "%02x", status);
          } else if (length == 2) {
            std::snprintf(text, sizeof text, "%02x %02x", status, (word >> 8U) & 0xFFU);
          } else {
            std::snprintf(text, sizeof text, "%02x %02x %02x", status, (word >> 8U) & 0xFFU, (word >> 16U) & 0xFFU);
          }
          played.emplace_back(text);
        },
        [&](std::span<const std::byte> sysex) {
          std::string text = "sx:" + std::to_string(sysex.size());
          // Every byte between is a data byte: a real-time byte never stays inside.
          for (std::size_t i = 1; i + 1 < sysex.size(); ++i) {
            if (std::to_integer<int>(sysex[i]) >= 0x80) text += ":status inside!";
          }
          char ends[16];
          std::snprintf(ends, sizeof ends, ":%02x..%02x", std::to_integer<unsigned>(sysex.front()),
                        std::to_integer<unsigned>(sysex.back()));
          played.push_back(text + ends);
        });
    if (r == RawDatagram::NotMidi) ++notMidi;
    return r;
  }
};

using Played = std::vector<std::string>;

TEST(RawMidiParser, RunningStatusRealTimeAndSeveralMessagesInOneDatagram) {
  Port p;
  // Note On with running status, a Timing Clock between status and data, a program change with
  // running status, a controller, a Tune Request (system common: running status ends), Start.
  p.Feed(Bytes({0x90, 0x3C, 0x64, 0x3E, 0xF8, 0x50, 0xC1, 0x05, 0x06, 0xB0, 0x07, 0x7F, 0xF6, 0xFA}));
  EXPECT_EQ(p.played, (Played{"90 3c 64", "f8", "90 3e 50", "c1 05", "c1 06", "b0 07 7f", "f6", "fa"}));
  EXPECT_EQ(p.notMidi, 0);
  // Song position and song select carry data; running status does not outlive a datagram.
  p.played.clear();
  p.Feed(Bytes({0xF2, 0x10, 0x20, 0xF3, 0x02, 0xE0, 0x00, 0x40}));
  EXPECT_EQ(p.played, (Played{"f2 10 20", "f3 02", "e0 00 40"}));
  p.played.clear();
  EXPECT_EQ(p.Feed(Bytes({0x3C, 0x00})), RawDatagram::NotMidi);
  EXPECT_TRUE(p.played.empty());
}

TEST(RawMidiParser, DatagramsThatAreNotMidiAreDroppedWholeAndNothingOfThemPlays) {
  const std::vector<std::vector<std::byte>> garbage{
      Bytes({0x90, 0x3C}),                         // cut by the end of the datagram
      Bytes({0x90, 0x3C, 0x64, 0x80, 0x3C}),       // the last message cut short
      Bytes({0x90, 0x3C, 0xB0, 0x07, 0x7F}),       // a status byte inside a message
      Bytes({0x90, 0x3C, 0x64, 0xF7}),             // a stray end of system-exclusive
      Bytes({0xF4}),                               // undefined
      Bytes({0xB0, 0x07, 0x7F, 0xFD}),             // undefined real time
      Bytes({0xF0, 0x7E, 0x01, 0x90, 0x3C, 0x64}), // system-exclusive cut by a status byte
      Bytes({0xF2, 0x10, 0x20, 0x30}),             // data after system common
      Bytes({'h', 'e', 'l', 'l', 'o'}),            // text
      // A Kestrel record (keep-alive) sent to the wrong port: the header's first byte is 4.
      Bytes({0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
             0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 0, 0}),
  };
  Port p;
  for (const auto& d : garbage) EXPECT_EQ(p.Feed(d), RawDatagram::NotMidi) << d.size();
  EXPECT_TRUE(p.played.empty()) << p.played.front();
  EXPECT_EQ(p.notMidi, static_cast<int>(garbage.size()));
  EXPECT_FALSE(p.parser.Gathering());
  // And the port still works.
  p.Feed(Bytes({0x80, 0x3C, 0x00}));
  EXPECT_EQ(p.played, (Played{"80 3c 00"}));
}

TEST(RawMidiParser, SystemExclusiveWholeWithRealTimeInsideAndAround) {
  Port p;
  std::vector<std::byte> d = Bytes({0xF8, 0xF0});
  for (int i = 0; i < 1022; ++i) {
    d.push_back(static_cast<std::byte>(i & 0x7F));
    if (i == 0 || i == 500) d.push_back(std::byte{0xFE}); // Active Sensing inside
  }
  d.push_back(std::byte{0xF8}); // just before the end
  d.push_back(std::byte{0xF7});
  const auto after = Bytes({0x90, 0x3C, 0x64});
  d.insert(d.end(), after.begin(), after.end());
  p.Feed(d);
  // Real time plays where it stands, the message once whole, without the real-time bytes.
  EXPECT_EQ(p.played, (Played{"f8", "fe", "fe", "f8", "sx:1024:f0..f7", "90 3c 64"}));
  p.played.clear();
  p.Feed(Bytes({0xF0, 0xF7, 0xF0, 0x01, 0xF7}));
  EXPECT_EQ(p.played, (Played{"sx:2:f0..f7", "sx:3:f0..f7"}));
}

TEST(RawMidiParser, SystemExclusiveSplitOverDatagramsIsGatheredOrDroppedNeverPlayedInPart) {
  Port p;
  // Three pieces, a clock inside the second, the end followed by a note.
  p.Feed(Bytes({0x90, 0x3C, 0x64, 0xF0, 0x43, 0x10}), 7, 0);
  EXPECT_TRUE(p.parser.Gathering());
  p.Feed(Bytes({0x4C, 0xF8, 0x00}), 7, 10);
  p.Feed(Bytes({0x7F, 0xF7, 0x80, 0x3C, 0x00}), 7, 20);
  EXPECT_EQ(p.played, (Played{"90 3c 64", "f8", "sx:7:f0..f7", "80 3c 00"}));
  EXPECT_EQ(p.parser.DroppedSysex(), 0U);

  // Interrupted by a datagram that starts with a status byte: dropped, the new datagram plays.
  p.played.clear();
  p.Feed(Bytes({0xF0, 0x01, 0x02}), 7, 100);
  p.Feed(Bytes({0xB0, 0x07, 0x10}), 7, 110);
  EXPECT_EQ(p.played, (Played{"b0 07 10"}));
  EXPECT_EQ(p.parser.DroppedSysex(), 1U);
  // Its tail alone is data bytes without a status: not MIDI.
  EXPECT_EQ(p.Feed(Bytes({0x03, 0xF7}), 7, 120), RawDatagram::NotMidi);

  // Another sender's datagram does not continue it; nor does the same sender too late.
  p.played.clear();
  p.Feed(Bytes({0xF0, 0x01}), 7, 200);
  EXPECT_EQ(p.Feed(Bytes({0x02, 0xF7}), 8, 210), RawDatagram::NotMidi);
  p.Feed(Bytes({0xF0, 0x01}), 7, 300);
  EXPECT_EQ(p.Feed(Bytes({0x02, 0xF7}), 7, 300 + kRawSysexGapMs + 1), RawDatagram::NotMidi);
  EXPECT_TRUE(p.played.empty());
  EXPECT_EQ(p.parser.DroppedSysex(), 3U);

  // A broken continuation drops the datagram and the message.
  p.Feed(Bytes({0xF0, 0x01}), 7, 400);
  EXPECT_EQ(p.Feed(Bytes({0x02, 0xF4, 0xF7}), 7, 410), RawDatagram::NotMidi);
  EXPECT_FALSE(p.parser.Gathering());
  EXPECT_TRUE(p.played.empty());
}

TEST(RawMidiParser, GatheredSystemExclusiveAboveOneCaptureBufferIsDropped) {
  Port p;
  std::vector<std::byte> piece(40000, std::byte{0x11});
  piece.front() = std::byte{0xF0};
  p.Feed(piece, 1, 0);
  std::vector<std::byte> middle(40000, std::byte{0x22});
  p.Feed(middle, 1, 1);
  p.Feed(Bytes({0x33, 0xF7, 0xFC}), 1, 2);
  EXPECT_EQ(p.played, (Played{"fc"}));
  EXPECT_EQ(p.parser.DroppedSysex(), 1U);
  // Exactly one capture buffer, in two pieces, is played.
  p.played.clear();
  std::vector<std::byte> first(kMaxLongMessage / 2, std::byte{0x01});
  first.front() = std::byte{0xF0};
  std::vector<std::byte> second(kMaxLongMessage / 2, std::byte{0x02});
  second.back() = std::byte{0xF7};
  p.Feed(first, 1, 10);
  p.Feed(second, 1, 11);
  EXPECT_EQ(p.played, (Played{"sx:65536:f0..f7"}));
}

TEST(RawMidiEncoding, RecordsBecomeTheBytesTheParserReadsBack) {
  std::array<std::byte, 3> scratch{};
  const auto word = [](std::uint32_t w) {
    std::array<std::byte, 4> b{};
    StoreLE32(b.data(), static_cast<std::int32_t>(w));
    return b;
  };
  EventRecord h;
  h.type = static_cast<std::int32_t>(RecordType::MIM_DATA);
  h.port = 3;
  Port p;
  for (const std::uint32_t w : {PackShortMessage(0x93, 60, 100), PackShortMessage(0xC2, 7), PackShortMessage(0xF8),
                                PackShortMessage(0xE0, 0, 0x40), PackShortMessage(0xF3, 2)}) {
    const auto payload = word(w);
    const RawBytes raw = EncodeRawMidi(h, payload, scratch);
    ASSERT_EQ(raw.result, RawEncoding::Bytes);
    EXPECT_EQ(raw.bytes.size(), RawMessageLength(static_cast<std::uint8_t>(w & 0xFFU)));
    p.Feed(std::vector<std::byte>(raw.bytes.begin(), raw.bytes.end()));
  }
  EXPECT_EQ(p.played, (Played{"93 3c 64", "c2 07", "f8", "e0 00 40", "f3 02"}));
  EXPECT_EQ(EncodeRawMidi(h, word(0x3C), scratch).result, RawEncoding::Malformed);

  h.type = static_cast<std::int32_t>(RecordType::MIM_LONGDATA);
  std::vector<std::byte> sysex(kMaxRawDatagram, std::byte{0x05});
  sysex.front() = std::byte{0xF0};
  sysex.back() = std::byte{0xF7};
  const RawBytes whole = EncodeRawMidi(h, sysex, scratch);
  ASSERT_EQ(whole.result, RawEncoding::Bytes);
  EXPECT_EQ(whole.bytes.data(), sysex.data()); // sent from the record as it is
  sysex.insert(sysex.begin() + 1, std::byte{0x05});
  EXPECT_EQ(EncodeRawMidi(h, sysex, scratch).result, RawEncoding::TooLong);
  // The pieces of a message longer than one capture buffer are not whole messages.
  EXPECT_EQ(EncodeRawMidi(h, std::span(sysex).first(100), scratch).result, RawEncoding::Incomplete);
  EXPECT_EQ(EncodeRawMidi(h, std::span(sysex).last(100), scratch).result, RawEncoding::Incomplete);
  h.type = static_cast<std::int32_t>(RecordType::MIM_OPEN);
  EXPECT_EQ(EncodeRawMidi(h, word(0), scratch).result, RawEncoding::NoMidi);
}

} // namespace
} // namespace kestrel
