// SPDX-License-Identifier: GPL-3.0-or-later
// The copies of messages that end sound, as the server makes them and as a client takes them: a
// copy never ends a note struck after its original, on the wire or in the client.
#include "core/note_off_repeater.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace kestrel {
namespace {

ShortRecord Short(std::uint8_t status, std::uint8_t d1, std::uint8_t d2, std::int32_t port = 1) {
  return MakeShortRecord(RecordType::MIM_DATA, port, 0, 0, PackShortMessage(status, d1, d2));
}

TEST(RepeatFilter, ACopyIsPlayedOnceButANoteOffAfterTheKeyIsStruckAgainIsNew) {
  // A server that leaves the time fields at 0: every Note Off of a key has the same header.
  RepeatFilter filter;
  const auto copy = [&](const ShortRecord& r) {
    return filter.IsCopy(LoadHeader(r.data()), static_cast<std::uint32_t>(LoadLE32(r.data() + kHeaderSize)));
  };
  EXPECT_FALSE(copy(Short(0x90, 60, 100)));
  EXPECT_FALSE(copy(Short(0x80, 60, 0)));
  EXPECT_TRUE(copy(Short(0x80, 60, 0))) << "the repeat";
  EXPECT_FALSE(copy(Short(0x80, 60, 0))) << "a third is another message";
  EXPECT_FALSE(copy(Short(0x80, 60, 0, 2))) << "another port";

  // Off, struck again, Off: the second Note Off ends the new note and must be played.
  EXPECT_FALSE(copy(Short(0x80, 62, 0)));
  EXPECT_FALSE(copy(Short(0x90, 62, 90)));
  EXPECT_FALSE(copy(Short(0x80, 62, 0)));
  // The same for the pedal, and for All Notes Off followed by any note of its channel.
  EXPECT_FALSE(copy(Short(0xB0, 64, 0)));
  EXPECT_FALSE(copy(Short(0xB0, 64, 127)));
  EXPECT_FALSE(copy(Short(0xB0, 64, 0)));
  EXPECT_FALSE(copy(Short(0xB1, 123, 0)));
  EXPECT_FALSE(copy(Short(0x91, 10, 1)));
  EXPECT_FALSE(copy(Short(0xB1, 123, 0)));
  // A note of another channel or key withdraws nothing.
  EXPECT_FALSE(copy(Short(0x92, 70, 0)));
  EXPECT_FALSE(copy(Short(0x93, 70, 100)));
  EXPECT_FALSE(copy(Short(0x92, 71, 100)));
  EXPECT_TRUE(copy(Short(0x92, 70, 0)));
}

TEST(NoteOffRepeater, ARunLongerThanItsRoomRepeatsWhatFitsAndCountsTheRest) {
  NoteOffRepeater repeater;
  std::vector<std::byte> run;
  for (std::size_t i = 0; i < NoteOffRepeater::kMaxRepeats + 3; ++i) {
    const ShortRecord r = Short(0x80 | (i % 16), static_cast<std::uint8_t>(i % 128), 0);
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
