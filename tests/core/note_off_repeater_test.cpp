// SPDX-License-Identifier: GPL-3.0-or-later
// The copies of messages that end sound, as the server makes them and as a client takes them: a
// copy never ends a note struck after its original, on the wire or in the client, and a client
// takes for a copy only what the server could have sent as one.
#include "core/note_off_repeater.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace kestrel {
namespace {

ShortRecord Short(std::uint8_t status, std::uint8_t d1, std::uint8_t d2, std::int32_t port = 1) {
  return MakeShortRecord(RecordType::MIM_DATA, port, 0, 0, PackShortMessage(status, d1, d2));
}

ShortRecord Timed(std::uint8_t status, std::uint8_t d1, std::uint8_t d2, std::int32_t time) {
  return MakeShortRecord(RecordType::MIM_DATA, 1, time, time, PackShortMessage(status, d1, d2));
}

std::uint32_t WordOf(const ShortRecord& r) { return static_cast<std::uint32_t>(LoadLE32(r.data() + kHeaderSize)); }

TEST(RepeatFilter, ACopyIsWhatTheServerCouldHaveSentAsOne) {
  struct Step {
    ShortRecord record;
    Tick arrival;
    bool copy;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  // Most cases come from a server that leaves the time fields at 0: every Note Off of a key has
  // the same header, and only what lies between tells a copy from a new message.
  const std::vector<Case> cases{
      {"the repeat and the late copies",
       {{Timed(0x80, 60, 0, 7), 0, false},
        {Timed(0x80, 60, 0, 7), 5, true},
        {Timed(0x80, 60, 0, 7), 105, true},
        {Timed(0x80, 60, 0, 7), 1010, true}}},
      {"after the window, another message", {{Short(0x80, 60, 0), 0, false}, {Short(0x80, 60, 0), 1600, false}}},
      {"another time, another message", {{Timed(0x80, 60, 0, 7), 0, false}, {Timed(0x80, 60, 0, 8), 5, false}}},
      {"half pedal 40, 20, 40",
       {{Short(0xB0, 64, 40), 0, false}, {Short(0xB0, 64, 20), 10, false}, {Short(0xB0, 64, 40), 20, false}}},
      {"a chord's Note Offs and their repeats",
       {{Short(0x80, 60, 0), 0, false},
        {Short(0x80, 64, 0), 0, false},
        {Short(0x80, 60, 0), 5, true},
        {Short(0x80, 64, 0), 5, true}}},
      {"the key struck again",
       {{Short(0x80, 62, 0), 0, false}, {Short(0x90, 62, 90), 1, false}, {Short(0x80, 62, 0), 2, false}}},
      {"the pedal pressed again",
       {{Short(0xB0, 64, 0), 0, false}, {Short(0xB0, 64, 127), 1, false}, {Short(0xB0, 64, 0), 2, false}}},
      {"All Notes Off, a note of its channel",
       {{Short(0xB1, 123, 0), 0, false}, {Short(0x91, 10, 1), 1, false}, {Short(0xB1, 123, 0), 2, false}}},
      {"another channel, key or controller between",
       {{Short(0x92, 70, 0), 0, false},
        {Short(0x93, 70, 100), 1, false},
        {Short(0x92, 71, 100), 2, false},
        {Short(0xB2, 7, 100), 3, false},
        {Short(0x92, 70, 0), 4, true}}},
      {"another port", {{Short(0x80, 60, 0), 0, false}, {Short(0x80, 60, 0, 2), 1, false}}},
  };
  for (const Case& c : cases) {
    RepeatFilter filter;
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      const Step& step = c.steps[i];
      EXPECT_EQ(filter.IsCopy(LoadHeader(step.record.data()), WordOf(step.record), 1000 + step.arrival), step.copy)
          << c.name << ", message " << i + 1;
    }
  }
}

TEST(NoteOffRepeater, AKeysLastNoteOffAndTheLastSustainOffLeaveLateUnlessTheKeyOrPedalMovesAgain) {
  NoteOffRepeater repeater;
  const auto records = [](std::initializer_list<ShortRecord> list) {
    std::vector<std::byte> out;
    for (const ShortRecord& r : list) out.insert(out.end(), r.begin(), r.end());
    return out;
  };
  const auto words = [](std::span<const std::byte> bytes) {
    std::vector<std::uint32_t> out;
    for (std::size_t p = 0; p + kShortRecordSize <= bytes.size(); p += kShortRecordSize) {
      out.push_back(static_cast<std::uint32_t>(LoadLE32(bytes.data() + p + kHeaderSize)));
    }
    return out;
  };
  const auto run = records({Short(0x90, 60, 100), Short(0x80, 60, 0), Short(0xB0, 64, 40), Short(0xB0, 64, 20),
                            Short(0x80, 62, 0), Short(0x90, 62, 90), Short(0xB1, 123, 0)});
  repeater.Collect(run, 5000);
  EXPECT_EQ(words(repeater.Take()), (std::vector{PackShortMessage(0x80, 60, 0), PackShortMessage(0xB0, 64, 20),
                                                 PackShortMessage(0xB1, 123, 0)}))
      << "the pedal's earlier value is not repeated after its later one";
  const std::vector late{PackShortMessage(0x80, 60, 0), PackShortMessage(0xB0, 64, 20)};
  EXPECT_TRUE(repeater.TakeLate(5050).empty());
  EXPECT_EQ(repeater.LateDueIn(5050), 50);
  const auto first = repeater.TakeLate(5100);
  EXPECT_EQ(words(first), late);
  EXPECT_TRUE(std::equal(first.begin(), first.begin() + kShortRecordSize, run.begin() + kShortRecordSize))
      << "an ordinary identical record";
  EXPECT_TRUE(repeater.TakeLate(5500).empty());
  EXPECT_EQ(words(repeater.TakeLate(6000)), late) << "a second time, a second after";
  EXPECT_EQ(repeater.LateDueIn(6000), -1);

  // Withdrawn when the key is struck again or the pedal moves, as the early repeat is.
  repeater.Collect(records({Short(0x80, 60, 0), Short(0xB0, 64, 0), Short(0x80, 61, 0)}), 7000);
  (void)repeater.Take();
  repeater.Collect(records({Short(0x90, 60, 1), Short(0xB0, 64, 100)}), 7050);
  (void)repeater.Take();
  EXPECT_EQ(words(repeater.TakeLate(7100)), std::vector{PackShortMessage(0x80, 61, 0)});
  EXPECT_EQ(words(repeater.TakeLate(8000)), std::vector{PackShortMessage(0x80, 61, 0)});
  // Late enough for both copies (a busy engine): one is sent.
  repeater.Collect(records({Short(0x80, 63, 0)}), 8000);
  EXPECT_EQ(words(repeater.TakeLate(9500)), std::vector{PackShortMessage(0x80, 63, 0)});
  EXPECT_TRUE(repeater.TakeLate(9600).empty());
}

TEST(NoteOffRepeater, ARunLongerThanItsRoomRepeatsWhatFitsAndCountsTheRest) {
  NoteOffRepeater repeater;
  std::vector<std::byte> run;
  for (std::size_t i = 0; i < NoteOffRepeater::kMaxRepeats + 3; ++i) {
    const ShortRecord r = Short(0x80 | (i % 16), static_cast<std::uint8_t>(i / 16), 0); // each key once
    run.insert(run.end(), r.begin(), r.end());
  }
  repeater.Collect(run);
  const auto repeats = repeater.Take();
  EXPECT_EQ(repeats.size(), NoteOffRepeater::kMaxRepeats * kShortRecordSize);
  EXPECT_TRUE(std::equal(repeats.begin(), repeats.end(), run.begin())) << "whole records, in their order";
  EXPECT_EQ(repeater.Skipped(), 3U);
  EXPECT_FALSE(repeater.Pending());
  EXPECT_TRUE(repeater.Take().empty());
}

} // namespace
} // namespace kestrel
