// The controller's small parts: choice lists and their name-order rule, the lamps, number
// formats from language files, port edits and command-line settings.

#include "controller/app_context.hpp"
#include "controller/choice_list.hpp"
#include "controller/indicators.hpp"
#include "controller/main_dlg.hpp"
#include "controller/setting_assignment.hpp"
#include "core/settings.hpp"
#include "support/child_process.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

namespace kestrel::ui {
namespace {
using test::TempDir;

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

TEST(Lamp, LightsOnTheNextTickAndGoesDarkThreeTicksAfterTheLastEvent) {
  CBin lamp;
  EXPECT_FALSE(lamp.LampTick()) << "dark lamps are not repainted";
  lamp.LampTrigger();
  EXPECT_TRUE(lamp.LampTick()); // lit: one repaint
  for (int i = 0; i < 10; ++i) {
    lamp.LampTrigger(); // a steady stream costs no repaint
    EXPECT_FALSE(lamp.LampTick());
    EXPECT_TRUE(lamp.Lit());
  }
  EXPECT_FALSE(lamp.LampTick());
  EXPECT_TRUE(lamp.LampTick()); // third tick after the last event: dark
  EXPECT_FALSE(lamp.Lit());
  EXPECT_FALSE(lamp.LampTick());
}

// The capture thread keeps reporting while windows come and go: a window deleted right after it
// was detached is never called again (ThreadSanitizer and AddressSanitizer watch this one).
TEST(CaptureRelay, AWindowDetachedIsNeverCalledAgain) {
  struct Window final : midi::CaptureObserver {
    std::atomic<int> lamps{0};
    void LampTrigger(int /*port*/) noexcept override { lamps.fetch_add(1); }
    void InputOpenFailed(int /*index*/) override {}
    void VirtualPortsVanished(int /*found*/) override {}
    void InputVanished(int /*index*/) noexcept override {}
  };
  CaptureRelay relay;
  std::atomic<bool> stop{false};
  std::thread capture([&] {
    while (!stop.load()) relay.LampTrigger(1);
  });
  int seen = 0;
  for (int i = 0; i < 200; ++i) {
    auto window = std::make_unique<Window>();
    relay.SetTarget(window.get());
    while (window->lamps.load() == 0) std::this_thread::yield();
    relay.SetTarget(nullptr);
    seen += window->lamps.load() > 0 ? 1 : 0;
  } // each window is deleted here, while the capture thread goes on
  stop = true;
  capture.join();
  EXPECT_EQ(seen, 200);
}

TEST(FormatNumber, TakesTheFirstNumberPlaceAndNothingElse) {
  EXPECT_EQ(FormatNumber("delay: %d ms", 12), "delay: 12 ms");
  EXPECT_EQ(FormatNumber("Error: Port %d already in use", 8800), "Error: Port 8800 already in use");
  // A language file's format can hold anything; none of it reaches printf.
  EXPECT_EQ(FormatNumber("%s %n %d%% %d", 5), "%s %n 5% %d");
}

TEST(PortText, TakesUnsignedNumbersOnly) {
  EXPECT_EQ(ParsePortText(" 8800 "), 8800U);
  EXPECT_EQ(ParsePortText("0"), 0U);
  EXPECT_FALSE(ParsePortText(""));
  EXPECT_FALSE(ParsePortText("-1"));
  EXPECT_FALSE(ParsePortText("88a"));
  EXPECT_FALSE(ParsePortText("99999999999"));
  EXPECT_EQ(ParseAddress("10.0.0.5"),
            DottedAddress(ParseAddress("10.0.0.5")) == "10.0.0.5" ? ParseAddress("10.0.0.5") : 0U);
  EXPECT_EQ(ParseAddress("10.0.0"), 0U);
}

TEST(SettingAssignment, WritesAsTheWindowWouldAndRefusesNonsense) {
  TempDir dir;
  Settings settings(dir.Path() / "Kestrel.dat");
  std::string error;
  EXPECT_TRUE(ApplySettingAssignment(settings, "Server.Enable=1", &error)) << error;
  EXPECT_TRUE(ApplySettingAssignment(settings, "client.udpport=9000", &error)) << error;
  EXPECT_TRUE(ApplySettingAssignment(settings, "Client.To3=\"Quoted Synth\"", &error)) << error;
  EXPECT_TRUE(ApplySettingAssignment(settings, "Client.Port8=0", &error)) << error;
  EXPECT_EQ(settings.ReadConfigInt(config::kServerEnable), 1);
  EXPECT_EQ(settings.ReadConfigInt(config::kClientUdpPort), 9000);
  EXPECT_EQ(settings.ReadConfigText(config::ClientDeviceKey(3), ""), "\"Quoted Synth\"");
  EXPECT_EQ(settings.ReadConfigInt(config::ClientPortKey(8)), 0);

  for (const char* bad : {"Server.Enable=yes", "Server.UDPPort=0", "Client.UDPPort=70000", "Client.Port9=1",
                          "Client.Port=1", "Client.HostIP=10.0.0", "Nowhere.Enable=1", "Server.Enable", "Enable=1"}) {
    error.clear();
    EXPECT_FALSE(ApplySettingAssignment(settings, bad, &error)) << bad;
    EXPECT_NE(error.find(bad), std::string::npos) << "the reason names the input: " << error;
  }
  EXPECT_EQ(settings.ReadConfigInt(config::kServerEnable), 1) << "a refused value leaves the file";
}

} // namespace
} // namespace kestrel::ui
