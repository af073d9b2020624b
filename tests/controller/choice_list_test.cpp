// SPDX-License-Identifier: GPL-3.0-or-later
// Choice lists and their name-order rule.

#include "controller/choice_list.hpp"

#include <gtest/gtest.h>

namespace kestrel::controller {
namespace {

TEST(ChoiceList, SyncAddsInNameOrderAndRemovesWithTheSelection) {
  ChoiceList c;
  c.Add("--Not Connected--");
  EXPECT_FALSE(SyncComboEntry(c, "Synth B", true));
  EXPECT_FALSE(SyncComboEntry(c, "Kestrel Port3", true));
  EXPECT_FALSE(SyncComboEntry(c, "Synth A", true));
  EXPECT_FALSE(SyncComboEntry(c, "synth a", true)); // present in another case: kept once
  EXPECT_EQ(c.Entries(), (std::vector<std::string>{"--Not Connected--", "Kestrel Port3", "Synth A", "Synth B"}));

  c.Select(1);
  EXPECT_FALSE(SyncComboEntry(c, "Synth A", false)); // not the selected one
  EXPECT_EQ(c.Selected(), 0);                        // removal always moves the choice to entry 0
  c.Select(1);
  EXPECT_TRUE(SyncComboEntry(c, "Kestrel Port3", false));
  EXPECT_EQ(c.Selected(), 0);
  EXPECT_FALSE(SyncComboEntry(c, "Missing", false));
}

TEST(ChoiceList, PrefixAndExactSearchIgnoreCase) {
  ChoiceList c;
  for (const char* s : {"--Disabled--", "UM-ONE MIDI 1", "UM-ONE MIDI 10", "VMPK Output:out"}) c.Add(s);
  EXPECT_EQ(c.FindPrefix("um-one midi 1"), 1);
  EXPECT_EQ(c.FindExact("um-one midi 10"), 2);
  EXPECT_EQ(c.FindPrefix("Nothing"), ChoiceList::kNone);
  c.Select(3);
  EXPECT_EQ(c.SelectPrefix("Nothing"), ChoiceList::kNone);
  EXPECT_EQ(c.Selected(), 3) << "a failed search leaves the choice";
  c.Select(7);
  EXPECT_EQ(c.SelectedText(), "");
}

} // namespace
} // namespace kestrel::controller
