// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/event_decoder.hpp"
#include "core/event_record.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace kestrel {
namespace {

using Bytes = std::vector<std::uint8_t>;

// One record in a heap block of exactly its own size, so that AddressSanitizer reports any read
// past the payload.
struct Record {
  explicit Record(std::size_t n) : size(n), bytes(std::make_unique<std::byte[]>(n)) {}
  [[nodiscard]] RecordView View() const {
    RecordView view{LoadHeader(bytes.get()), {}, std::span<const std::byte>(bytes.get(), size)};
    view.payload = view.bytes.subspan(kHeaderSize);
    return view;
  }
  std::size_t size;
  std::unique_ptr<std::byte[]> bytes;
};

Record Short(std::uint32_t word, RecordType type = RecordType::MIM_DATA, std::int32_t port = 1,
             std::int32_t timestamp = 0, std::int32_t captureTime = 0) {
  const ShortRecord r = MakeShortRecord(type, port, timestamp, captureTime, word);
  Record record(r.size());
  std::memcpy(record.bytes.get(), r.data(), r.size());
  return record;
}

Record Long(const Bytes& payload) {
  Record record(kHeaderSize + payload.size());
  EventRecord h;
  h.dataLength = static_cast<std::int32_t>(payload.size());
  h.type = static_cast<std::int32_t>(RecordType::MIM_LONGDATA);
  StoreHeader(record.bytes.get(), h);
  std::memcpy(record.bytes.get() + kHeaderSize, payload.data(), payload.size());
  return record;
}

// A meta event {0xFF, type, length as a variable-length quantity, text}; texts below 16384 bytes.
Bytes Meta(std::uint8_t type, const std::string& text) {
  Bytes bytes{0xFF, type};
  if (text.size() >= 0x80) { bytes.push_back(static_cast<std::uint8_t>(0x80U | (text.size() >> 7U))); }
  bytes.push_back(static_cast<std::uint8_t>(text.size() & 0x7FU));
  for (const char c : text) { bytes.push_back(static_cast<std::uint8_t>(c)); }
  return bytes;
}

std::string Cell(EventDecoder& decoder, const Record& record, int column) {
  std::array<char, 512> out{};
  const std::size_t n = decoder.CellText(out, record.View(), column);
  EXPECT_EQ(n, std::strlen(out.data())) << "returned length differs from the text";
  return out.data();
}

constexpr int kHex = static_cast<int>(DumpColumn::Hex);
constexpr int kCode = static_cast<int>(DumpColumn::Code);
constexpr const char* kError = "MIDI ERROR (F0 midi command)";

TEST(EventDecoder, ShortMessagesShowHexAndCode) {
  const std::tuple<std::uint32_t, const char*, const char*> kCases[] = {
      {PackShortMessage(0x99, 36, 100), "99 24 64 ", "[10] Note on (36,100)"},
      {PackShortMessage(0x80, 60, 0), "80 3c ", "[1] Note off (60,0)"},
      {PackShortMessage(0x90, 0, 100), "90 00 64 ", "[1] Note on (0,100)"},
      {0x01643C90, "90 3c 64 01 ", "[1] Note on (60,100)"},
      {PackShortMessage(0xA3, 64, 32), "a3 40 20 ", "[4] Note presure (64,32)"},
      {PackShortMessage(0xBF, 7, 127), "bf 07 7f ", "[16] Control Change (7,127)"},
      {PackShortMessage(0xC2, 5), "c2 05 ", "[3] Program change (5)"},
      {PackShortMessage(0xD0, 90), "d0 5a ", "[1] Channel Pressure (90,0)"},
      {PackShortMessage(0xE1, 0, 64), "e1 00 40 ", "[2] Pitch change (0,64)"},
      {PackShortMessage(0xF1, 0x7A), "f1 7a ", "Time Code 7A"},
      {PackShortMessage(0xF8), "f8 00 ", "Timing Clock"},
      {PackShortMessage(0xFE), "fe 00 ", "Active Sensing"},
      {PackShortMessage(0xF6), "f6 00 ", kError}};
  for (const auto& [word, hex, code] : kCases) {
    EventDecoder decoder;
    EXPECT_EQ(Cell(decoder, Short(word), kHex), hex) << code;
    EXPECT_EQ(Cell(decoder, Short(word), kCode), code);
  }
}

TEST(EventDecoder, DataByteRowContinuesTheRunningStatus) {
  const std::pair<std::uint32_t, const char*> kRows[] = {
      {PackShortMessage(0x92, 60, 100), "[3] Note on (60,100)"},
      {PackShortMessage(62, 90), "[3] Note on (62,90)"},
      {PackShortMessage(0xF8), "Timing Clock"}, // real-time bytes leave the running status alone
      {PackShortMessage(64, 0), "[3] Note on (64,0)"},
      {PackShortMessage(0xB0, 64, 127), "[1] Control Change (64,127)"},
      {PackShortMessage(64, 0), "[1] Control Change (64,0)"},
      {PackShortMessage(0xF2, 0x10, 0x02), kError},
      {PackShortMessage(64, 0), kError}};
  EventDecoder decoder;
  for (const auto& [word, code] : kRows) { EXPECT_EQ(Cell(decoder, Short(word), kCode), code); }
  EXPECT_EQ(decoder.RunningStatus(), 0xF2);
  EventDecoder fresh;
  EXPECT_EQ(Cell(fresh, Short(PackShortMessage(64, 0)), kCode), kError) << "no running status yet";
}

TEST(EventDecoder, LongRecordsShowSixHexBytesAndDecodedText) {
  EventDecoder decoder;
  const Record sysex = Long({0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0x00, 0xF7});
  EXPECT_EQ(Cell(decoder, sysex, kHex), "f0 43 10 4c 00 00 ");
  EXPECT_EQ(Cell(decoder, sysex, kCode), "Sysex type 1 [length: 67 (10)]");
  EXPECT_EQ(Cell(decoder, Long({0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20}), kHex), "ff 51 03 07 a1 20 ");

  const std::pair<Bytes, std::string> kCases[] = {
      {{0xF7, 0x05, 0x01, 0x02, 0x03, 0x04, 0xF7}, "Sysex type 1 [length: 5 (7)]"},
      {{0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20}, "TEMPO EVENT (500000)"},
      {{0xFF, 0x00, 0x02, 0x01, 0x02}, "SEQUENCE NUMBER (258)"},
      {Meta(0x01, std::string(128, 'a')), "TEXT EVENT (" + std::string(128, 'a') + ")"},
      {{0xFF, 0x2F, 0x00}, "END OF TRACK"},
      {{0xFF, 0x58, 0x04, 0x06, 0x03, 0x18, 0x08}, "TIME SIG EVENT (6,3,18,8)"},
      {{0xFF, 0x59, 0x02, 0xFD, 0x01}, "KEY SIG EVENT (FD,1)"},
      {{0xFF, 0x7F, 0x03, 0x00, 0x00, 0x41}, "SEQUENCER DATA EVENT"},
      {{0xFF, 0x20, 0x01, 0x00}, "*** undefined event *** (255, type: 32,length 1)"}};
  for (const auto& [payload, code] : kCases) { EXPECT_EQ(Cell(decoder, Long(payload), kCode), code); }
  const char* const kTextEvents[] = {"TEXT", "COPYWRITE", "TRACK NAME", "INSTRUMENT NAME", "LYRIC", "MARKER", "CUE"};
  for (std::uint8_t type = 1; type <= 7; ++type) {
    EXPECT_EQ(Cell(decoder, Long(Meta(type, "Verse 1")), kCode),
              std::string(kTextEvents[type - 1]) + " EVENT (Verse 1)");
  }
}

// Meta text comes from the LAN: terminal escapes, line breaks and bytes outside printable ASCII
// must not reach a terminal, a log or a script reading the dump, so each shows as one '.'.
TEST(EventDecoder, MetaTextShowsOnlyPrintableCharactersOnOneLine) {
  const std::pair<std::string, std::string> kCases[] = {
      {"\x1b[2J\rdump 0 0\t1\t\t\nforged\x07\xff", ".[2J.dump 0 0.1...forged.."},
      {std::string("a\0b", 3), "a.b"}, // a zero byte neither ends the text nor shows
      {"\x1f\x20~\x7f\x80\xc3\xa9", ". ~...."},
      {"Verse 1 (x) \"%s\"", "Verse 1 (x) \"%s\""}};
  for (std::uint8_t type = 1; type <= 7; ++type) {
    for (const auto& [text, shown] : kCases) {
      EventDecoder decoder;
      const std::string code = Cell(decoder, Long(Meta(type, text)), kCode);
      EXPECT_TRUE(code.ends_with(" EVENT (" + shown + ")")) << code;
      EXPECT_TRUE(std::ranges::all_of(code, [](char c) { return c >= 0x20 && c <= 0x7E; })) << code;
    }
  }
}

TEST(EventDecoder, TinyAndTruncatedPayloadsStayInBounds) {
  const std::tuple<Bytes, std::string, std::string> kCases[] = {
      {{0xF0}, "f0 00 ", "Sysex type 1 [length: 0 (1)]"},
      {{0xF0, 0x43, 0xF7}, "f0 43 f7 ", "Sysex type 1 [length: 67 (3)]"},
      {{0x90}, "90 00 ", "[1] Note on (0,0)"},
      {{0xFF, 0x51}, "ff 51 ", "TEMPO EVENT (0)"},
      {{0xFF, 0x51, 0x03, 0x07}, "ff 51 03 07 ", "TEMPO EVENT (458752)"},
      {{0xFF, 0x01, 0x0A, 'a', 'b'}, "ff 01 0a 61 62 ", "TEXT EVENT (ab)"}, // claims 10 bytes
      {{0xFF, 0x01, 0xFF}, "ff 01 ff ", "TEXT EVENT ()"},                   // length cut short
      {Meta(0x01, std::string(297, 'x')), "ff 01 82 29 78 78 ", "TEXT EVENT (" + std::string(255, 'x') + ")"}};
  for (const auto& [payload, hex, code] : kCases) {
    EventDecoder decoder;
    EXPECT_EQ(Cell(decoder, Long(payload), kHex), hex) << code;
    EXPECT_EQ(Cell(decoder, Long(payload), kCode), code);
  }
}

TEST(EventDecoder, NoticeRowsAndOtherColumns) {
  EventDecoder decoder;
  for (const auto& [type, code] :
       {std::pair(RecordType::MIM_OPEN, "Port Opened"), std::pair(RecordType::MIM_CLOSE, "Port Closed")}) {
    const Record notice = Short(0, type, 3, 1000, 1012);
    EXPECT_EQ(Cell(decoder, notice, static_cast<int>(DumpColumn::TimeStamp)), "1000 12");
    EXPECT_EQ(Cell(decoder, notice, static_cast<int>(DumpColumn::Port)), "3");
    EXPECT_EQ(Cell(decoder, notice, kHex), "");
    EXPECT_EQ(Cell(decoder, notice, kCode), code);
  }
  const Record late = Short(PackShortMessage(0x90, 60, 1), RecordType::MIM_DATA, 16, 5000, 4990);
  EXPECT_EQ(Cell(decoder, late, 0), "5000 -10");
  EXPECT_EQ(Cell(decoder, late, 1), "16");
  EXPECT_EQ(Cell(decoder, late, 4), "*");
}

TEST(EventDecoder, ReadVarLengthStopsAtTheLastByteOrTheEnd) {
  // {bytes, how many of them the reader gets, value, bytes used}: at most four, never past the span
  const std::tuple<Bytes, std::size_t, std::uint32_t, std::size_t> kCases[] = {
      {{0x00}, 1, 0, 1},
      {{0x43, 0x99}, 2, 67, 1},
      {{0x81, 0x00}, 2, 128, 2},
      {{0x83, 0xA1, 0x20}, 3, 53408, 3},
      {{0xFF, 0xFF, 0xFF, 0x7F}, 4, 0x0FFFFFFF, 4},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, 5, 0x0FFFFFFF, 4},
      {{0x81, 0x80, 0x00}, 2, 128, 2},
      {{}, 0, 0, 0}};
  for (const auto& [bytes, available, value, used] : kCases) {
    std::vector<std::byte> data;
    for (const std::uint8_t b : bytes) { data.push_back(std::byte{b}); }
    const VarLength v = ReadVarLength(std::span<const std::byte>(data).first(available));
    EXPECT_EQ(v.value, value);
    EXPECT_EQ(v.used, used);
  }
}

TEST(EventDecoder, OutputIsCutToTheBufferAndTerminated) {
  const Record note = Short(PackShortMessage(0x99, 36, 100), RecordType::MIM_DATA, 12, 123456, 123470);
  const Record sysex = Long({0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0xF7});
  const std::tuple<const Record*, int, std::size_t, const char*> kCases[] = {
      {&note, kCode, 8, "[10] No"},    {&note, kHex, 5, "99 2"}, {&note, 0, 4, "123"},
      {&sysex, kHex, 10, "f0 43 10 "}, {&sysex, kCode, 1, ""},   {&note, 4, 1, ""}};
  for (const auto& [record, column, size, text] : kCases) {
    std::array<char, 16> buffer{};
    buffer.fill('#');
    buffer.back() = '\0';
    EventDecoder decoder;
    const std::size_t n = decoder.CellText(std::span<char>(buffer.data(), size), record->View(), column);
    EXPECT_STREQ(buffer.data(), text);
    EXPECT_EQ(n, std::strlen(text));
    EXPECT_EQ(buffer[size], '#') << "wrote past the buffer";
  }
  std::array<char, 1> none{'#'};
  EXPECT_EQ(EventDecoder().CellText(std::span<char>(none.data(), 0), note.View(), kCode), 0U);
  EXPECT_EQ(none[0], '#');
}

} // namespace
} // namespace kestrel
