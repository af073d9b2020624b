#include "core/event_decoder.hpp"
#include "core/event_record.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace kestrel {
namespace {

using Bytes = std::vector<std::uint8_t>;

// One record in a heap block of exactly its own size, so that AddressSanitizer reports any read
// past the payload.
class Record {
public:
  static Record Short(std::uint32_t word, RecordType type = RecordType::MIM_DATA, std::int32_t port = 1,
                      std::int32_t timestamp = 0, std::int32_t captureTime = 0) {
    const ShortRecord r = MakeShortRecord(type, port, timestamp, captureTime, word);
    return Record(r.data(), r.size());
  }

  static Record Long(const Bytes& payload) {
    EventRecord h;
    h.dataLength = static_cast<std::int32_t>(payload.size());
    h.type = static_cast<std::int32_t>(RecordType::MIM_LONGDATA);
    h.port = 2;
    std::vector<std::byte> bytes(kHeaderSize + payload.size());
    StoreHeader(bytes.data(), h);
    std::memcpy(bytes.data() + kHeaderSize, payload.data(), payload.size());
    return Record(bytes.data(), bytes.size());
  }

  [[nodiscard]] RecordView View() const {
    RecordView view;
    view.bytes = std::span<const std::byte>(bytes_.get(), size_);
    view.header = LoadHeader(bytes_.get());
    view.payload = view.bytes.subspan(kHeaderSize);
    return view;
  }

private:
  Record(const std::byte* data, std::size_t size) : size_(size), bytes_(std::make_unique<std::byte[]>(size)) {
    std::memcpy(bytes_.get(), data, size);
  }

  std::size_t size_;
  std::unique_ptr<std::byte[]> bytes_;
};

std::string Cell(EventDecoder& decoder, const Record& record, int column) {
  std::array<char, 512> out{};
  const std::size_t n = decoder.CellText(out, record.View(), column);
  EXPECT_EQ(n, std::strlen(out.data())) << "returned length differs from the text";
  return out.data();
}

constexpr int kHex = static_cast<int>(DumpColumn::Hex);
constexpr int kCode = static_cast<int>(DumpColumn::Code);

TEST(EventDecoder, ShortMessagesShowHexAndCode) {
  const struct {
    std::uint32_t word;
    const char* hex;
    const char* code;
  } kCases[] = {
      {PackShortMessage(0x99, 36, 100), "99 24 64 ", "[10] Note on (36,100)"},
      {PackShortMessage(0x80, 60, 0), "80 3c ", "[1] Note off (60,0)"},
      {PackShortMessage(0x90, 60, 0), "90 3c ", "[1] Note on (60,0)"},
      {PackShortMessage(0xA3, 64, 32), "a3 40 20 ", "[4] Note presure (64,32)"},
      {PackShortMessage(0xBF, 7, 127), "bf 07 7f ", "[16] Control Change (7,127)"},
      {PackShortMessage(0xC2, 5), "c2 05 ", "[3] Program change (5)"},
      {PackShortMessage(0xD0, 90), "d0 5a ", "[1] Channel Pressure (90,0)"},
      {PackShortMessage(0xE1, 0, 64), "e1 00 40 ", "[2] Pitch change (0,64)"},
      {PackShortMessage(0xF1, 0x7A), "f1 7a ", "Time Code 7A"},
      {PackShortMessage(0xF8), "f8 00 ", "Timing Clock"},
      {PackShortMessage(0xFE), "fe 00 ", "Active Sensing"},
      {PackShortMessage(0xF6), "f6 00 ", "MIDI ERROR (F0 midi command)"},
  };
  for (const auto& c : kCases) {
    EventDecoder decoder;
    const Record record = Record::Short(c.word);
    EXPECT_EQ(Cell(decoder, record, kHex), c.hex) << c.code;
    EXPECT_EQ(Cell(decoder, record, kCode), c.code);
  }
}

TEST(EventDecoder, DataByteRowContinuesTheRunningStatus) {
  const struct {
    std::uint32_t word;
    const char* code;
  } kRows[] = {
      {PackShortMessage(0x92, 60, 100), "[3] Note on (60,100)"},
      {PackShortMessage(62, 90), "[3] Note on (62,90)"},
      {PackShortMessage(0xF8), "Timing Clock"}, // real-time bytes leave the running status alone
      {PackShortMessage(64, 0), "[3] Note on (64,0)"},
      {PackShortMessage(0xB0, 64, 127), "[1] Control Change (64,127)"},
      {PackShortMessage(64, 0), "[1] Control Change (64,0)"},
      {PackShortMessage(0xF2, 0x10, 0x02), "MIDI ERROR (F0 midi command)"},
      {PackShortMessage(64, 0), "MIDI ERROR (F0 midi command)"},
  };
  EventDecoder decoder;
  for (const auto& row : kRows) { EXPECT_EQ(Cell(decoder, Record::Short(row.word), kCode), row.code); }
  EXPECT_EQ(decoder.RunningStatus(), 0xF2);

  EventDecoder fresh;
  EXPECT_EQ(Cell(fresh, Record::Short(PackShortMessage(64, 0)), kCode), "MIDI ERROR (F0 midi command)");
}

Bytes Meta(std::uint8_t type, std::string_view text) {
  Bytes bytes{0xFF, type, static_cast<std::uint8_t>(text.size())};
  for (const char c : text) { bytes.push_back(static_cast<std::uint8_t>(c)); }
  return bytes;
}

TEST(EventDecoder, LongRecordsShowSixHexBytesAndDecodedText) {
  const Record sysex = Record::Long({0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0x00, 0xF7});
  EventDecoder decoder;
  EXPECT_EQ(Cell(decoder, sysex, kHex), "f0 43 10 4c 00 00 ");
  EXPECT_EQ(Cell(decoder, sysex, kCode), "Sysex type 1 [length: 67 (10)]");
  EXPECT_EQ(Cell(decoder, Record::Long({0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20}), kHex), "ff 51 03 07 a1 20 ");

  Bytes longText{0xFF, 0x01, 0x81, 0x00}; // length 128 as a two-byte quantity
  longText.insert(longText.end(), 128, 'a');
  const struct {
    Bytes payload;
    std::string code;
  } kCases[] = {
      {{0xF7, 0x05, 0x01, 0x02, 0x03, 0x04, 0xF7}, "Sysex type 1 [length: 5 (7)]"},
      {{0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20}, "TEMPO EVENT (500000)"},
      {{0xFF, 0x00, 0x02, 0x01, 0x02}, "SEQUENCE NUMBER (258)"},
      {Meta(0x01, "Intro"), "TEXT EVENT (Intro)"},
      {Meta(0x02, "(c) Studio"), "COPYWRITE EVENT ((c) Studio)"},
      {Meta(0x03, "Drums"), "TRACK NAME EVENT (Drums)"},
      {Meta(0x04, "Kit 1"), "INSTRUMENT NAME EVENT (Kit 1)"},
      {Meta(0x05, "la la"), "LYRIC EVENT (la la)"},
      {Meta(0x06, "Verse"), "MARKER EVENT (Verse)"},
      {Meta(0x07, "Go"), "CUE EVENT (Go)"},
      {longText, "TEXT EVENT (" + std::string(128, 'a') + ")"},
      {{0xFF, 0x2F, 0x00}, "END OF TRACK"},
      {{0xFF, 0x58, 0x04, 0x06, 0x03, 0x18, 0x08}, "TIME SIG EVENT (6,3,18,8)"},
      {{0xFF, 0x59, 0x02, 0xFD, 0x01}, "KEY SIG EVENT (FD,1)"},
      {{0xFF, 0x7F, 0x03, 0x00, 0x00, 0x41}, "SEQUENCER DATA EVENT"},
      {{0xFF, 0x20, 0x01, 0x00}, "*** undefined event *** (255, type: 32,length 1)"},
      {{0xFF, 0x90, 0x00}, "*** undefined event *** (255, type: 144,length 0)"},
  };
  for (const auto& c : kCases) { EXPECT_EQ(Cell(decoder, Record::Long(c.payload), kCode), c.code); }
}

TEST(EventDecoder, NoticeRowsAndOtherColumns) {
  const struct {
    RecordType type;
    const char* code;
  } kCases[] = {{RecordType::MIM_OPEN, "Port Opened"}, {RecordType::MIM_CLOSE, "Port Closed"}};
  EventDecoder decoder;
  for (const auto& c : kCases) {
    const Record record = Record::Short(0, c.type, 3, 1000, 1012);
    EXPECT_EQ(Cell(decoder, record, static_cast<int>(DumpColumn::TimeStamp)), "1000 12");
    EXPECT_EQ(Cell(decoder, record, static_cast<int>(DumpColumn::Port)), "3");
    EXPECT_EQ(Cell(decoder, record, kHex), "");
    EXPECT_EQ(Cell(decoder, record, kCode), c.code);
  }
  const Record late = Record::Short(PackShortMessage(0x90, 60, 1), RecordType::MIM_DATA, 16, 5000, 4990);
  EXPECT_EQ(Cell(decoder, late, 0), "5000 -10");
  EXPECT_EQ(Cell(decoder, late, 1), "16");
  EXPECT_EQ(Cell(decoder, late, 4), "*");
  EXPECT_EQ(Cell(decoder, late, -1), "*");
}

TEST(EventDecoder, FormatShortHexCountsBytesFromTheHighestNonZero) {
  const struct {
    std::uint32_t word;
    const char* hex;
  } kCases[] = {{0x00000000, "00 00 "},      {0x00000090, "90 00 "},    {0x00003C90, "90 3c "},
                {0x00643C90, "90 3c 64 "},   {0x00640000, "00 00 64 "}, {0x01000000, "00 00 00 01 "},
                {0xFFFFFFFF, "ff ff ff ff "}};
  for (const auto& c : kCases) {
    std::array<char, 32> out{};
    EXPECT_EQ(FormatShortHex(out, c.word), std::strlen(c.hex));
    EXPECT_STREQ(out.data(), c.hex);
  }
}

TEST(EventDecoder, ReadVarLengthStopsAtTheLastByteOrTheEnd) {
  const struct {
    Bytes bytes;
    std::size_t available; // how much of `bytes` the reader is given
    std::uint32_t value;
    std::size_t used;
  } kCases[] = {
      {{0x00}, 1, 0, 1},
      {{0x43, 0x99}, 2, 67, 1},
      {{0x7F}, 1, 127, 1},
      {{0x81, 0x00}, 2, 128, 2},
      {{0x83, 0xA1, 0x20}, 3, 53408, 3},
      {{0xFF, 0xFF, 0xFF, 0x7F}, 4, 0x0FFFFFFF, 4},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, 5, 0x0FFFFFFF, 4}, // at most four bytes
      {{0x81, 0x80, 0x00}, 2, 128, 2},                    // cut short: never past the span
      {{0x81}, 1, 1, 1},
      {{}, 0, 0, 0},
  };
  for (const auto& c : kCases) {
    std::vector<std::byte> bytes(c.bytes.size());
    std::memcpy(bytes.data(), c.bytes.data(), c.bytes.size());
    const VarLength v = ReadVarLength(std::span<const std::byte>(bytes).first(c.available));
    EXPECT_EQ(v.value, c.value);
    EXPECT_EQ(v.used, c.used);
  }
}

TEST(EventDecoder, TinyAndTruncatedPayloadsStayInBounds) {
  Bytes bigText{0xFF, 0x01, 0x82, 0x29}; // claims 297 bytes, and has them
  bigText.insert(bigText.end(), 297, 'x');
  const struct {
    Bytes payload;
    std::string hex;
    std::string code;
  } kCases[] = {
      {{0xF0}, "f0 00 ", "Sysex type 1 [length: 0 (1)]"},
      {{0xF0, 0x43, 0xF7}, "f0 43 f7 ", "Sysex type 1 [length: 67 (3)]"},
      {{0x90}, "90 00 ", "[1] Note on (0,0)"},
      {{0xF1}, "f1 00 ", "Time Code 00"},
      {{0xFF}, "ff 00 ", "SEQUENCE NUMBER (0)"},
      {{0xFF, 0x51}, "ff 51 ", "TEMPO EVENT (0)"},
      {{0xFF, 0x51, 0x03, 0x07}, "ff 51 03 07 ", "TEMPO EVENT (458752)"},
      {{0xFF, 0x01, 0x0A, 'a', 'b'}, "ff 01 0a 61 62 ", "TEXT EVENT (ab)"},
      {{0xFF, 0x01, 0xFF}, "ff 01 ff ", "TEXT EVENT ()"},
      {bigText, "ff 01 82 29 78 78 ", "TEXT EVENT (" + std::string(255, 'x') + ")"},
  };
  for (const auto& c : kCases) {
    EventDecoder decoder;
    const Record record = Record::Long(c.payload);
    EXPECT_EQ(Cell(decoder, record, kHex), c.hex) << c.code;
    EXPECT_EQ(Cell(decoder, record, kCode), c.code);
  }
}

TEST(EventDecoder, OutputIsCutToTheBufferAndTerminated) {
  const Record note = Record::Short(PackShortMessage(0x99, 36, 100), RecordType::MIM_DATA, 12, 123456, 123470);
  const Record sysex = Record::Long({0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0xF7});
  const struct {
    const Record* record;
    int column;
    std::size_t size;
    const char* text;
  } kCases[] = {
      {&note, kCode, 8, "[10] No"},    {&note, kHex, 5, "99 2"}, {&note, 0, 4, "123"},
      {&sysex, kHex, 10, "f0 43 10 "}, {&sysex, kCode, 1, ""},   {&note, 4, 1, ""},
  };
  for (const auto& c : kCases) {
    std::array<char, 64> buffer{};
    buffer.fill('#');
    EventDecoder decoder;
    const std::size_t n = decoder.CellText(std::span<char>(buffer.data(), c.size), c.record->View(), c.column);
    EXPECT_STREQ(buffer.data(), c.text);
    EXPECT_EQ(n, std::strlen(c.text));
    EXPECT_EQ(buffer[c.size], '#') << "wrote past the buffer";
  }
  std::array<char, 1> untouched{'#'};
  EventDecoder decoder;
  EXPECT_EQ(decoder.CellText(std::span<char>(untouched.data(), 0), note.View(), kCode), 0U);
  EXPECT_EQ(untouched[0], '#');
}

} // namespace
} // namespace kestrel
