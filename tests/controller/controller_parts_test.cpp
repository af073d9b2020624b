// SPDX-License-Identifier: GPL-3.0-or-later
// The controller's small parts: choice lists and their name-order rule, the lamps, number
// formats from language files, port edits and command-line settings.

#include "controller/app_context.hpp"
#include "controller/choice_list.hpp"
#include "controller/indicators.hpp"
#include "controller/main_dlg.hpp"
#include "controller/server_destinations.hpp"
#include "controller/setting_assignment.hpp"
#include "core/settings.hpp"
#include "net/destinations.hpp"
#include "support/child_process.hpp"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

namespace kestrel::controller {
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

  // The destinations beyond the broadcast: a bad entry is named and nothing is written.
  EXPECT_TRUE(ApplySettingAssignment(settings, "Server.Targets=10.1.0.5, 10.2.0.7", &error)) << error;
  EXPECT_TRUE(ApplySettingAssignment(settings, "Server.Group=239.1.2.3", &error)) << error;
  EXPECT_TRUE(ApplySettingAssignment(settings, "Server.TTL=4", &error)) << error;
  EXPECT_TRUE(ApplySettingAssignment(settings, "Client.Group=", &error)) << error;
  for (const char* bad : {"Server.Targets=10.1.0.5 studio-b", "Server.Targets=239.1.2.3", "Server.Group=10.1.0.5",
                          "Server.TTL=0", "Server.TTL=256", "Client.Group=224.1"}) {
    error.clear();
    EXPECT_FALSE(ApplySettingAssignment(settings, bad, &error)) << bad;
    EXPECT_NE(error.find(bad), std::string::npos) << error;
  }
  EXPECT_NE(error.find("not a multicast group"), std::string::npos) << error;
  EXPECT_EQ(settings.ReadConfigText(config::kServerTargets), "10.1.0.5, 10.2.0.7");
}

// What the server sends to, as Kestrel.dat says it: every entry skipped is named.
TEST(ServerDestinations, ReadFromTheFileWithEveryBadEntryNamed) {
  const net::TargetList list =
      net::ParseTargets(" 10.1.0.5,10.2.0.7;;10.1.0.5 host.lan 255.255.255.255 0.1.2.3\t224.0.0.9 10.9");
  EXPECT_EQ(list.addresses, (std::vector<in_addr_t>{inet_addr("10.1.0.5"), inet_addr("10.2.0.7")}));
  ASSERT_EQ(list.refused.size(), 6U);
  EXPECT_EQ(list.refused[0], "10.1.0.5: listed twice");
  EXPECT_EQ(list.refused[1], "host.lan: not a dotted IPv4 address (names are not looked up)");
  EXPECT_EQ(list.refused[5], "10.9: not a dotted IPv4 address (names are not looked up)");

  TempDir dir;
  Settings settings(dir.Path() / "Kestrel.dat");
  std::vector<std::string> notices;
  const NoticeFunction notice = [&](const std::string& text) { notices.push_back(text); };
  net::SenderDestinations d = ReadSenderDestinations(settings, notice);
  EXPECT_TRUE(d.broadcast);
  EXPECT_TRUE(d.targets.empty());
  EXPECT_EQ(d.group, 0U);
  EXPECT_EQ(d.ttl, 1);
  EXPECT_TRUE(notices.empty());
  EXPECT_EQ(DestinationsText(d, 8800), "broadcasting to UDP port 8800") << "as before, without the new keys";

  ASSERT_TRUE(settings.WriteConfigText(config::kServerTargets, "10.1.0.5 studio-b 10.2.0.7"));
  ASSERT_TRUE(settings.WriteConfigText(config::kServerGroup, "10.0.0.1"));
  ASSERT_TRUE(settings.WriteConfigInt(config::kServerTtl, 300));
  ASSERT_TRUE(settings.WriteConfigInt(config::kServerBroadcast, 0));
  d = ReadSenderDestinations(settings, notice);
  EXPECT_FALSE(d.broadcast);
  EXPECT_EQ(d.targets, (std::vector<in_addr_t>{inet_addr("10.1.0.5"), inet_addr("10.2.0.7")}));
  EXPECT_EQ(d.group, 0U);
  EXPECT_EQ(d.ttl, 1);
  EXPECT_EQ(notices,
            (std::vector<std::string>{
                "Kestrel.dat: [Server] Targets: studio-b: not a dotted IPv4 address (names are not looked up); "
                "skipped",
                "Kestrel.dat: [Server] Group=10.0.0.1: not a multicast group (224.0.0.0 to 239.255.255.255); "
                "no group is sent to",
                "Kestrel.dat: [Server] TTL=300 is not 1 to 255; 1 is used"}));
  EXPECT_EQ(DestinationsText(d, 8800), "sending to UDP port 8800 of 10.1.0.5, 10.2.0.7");

  // A hand-edited line longer than the file's values hold: the entry it cuts is not taken.
  notices.clear();
  std::string many;
  for (int i = 0; i < 18; ++i) many += "10.100.100." + std::to_string(100 + i) + " "; // 270 characters
  ASSERT_TRUE(settings.WriteConfigText(config::kServerTargets, many));
  ASSERT_TRUE(settings.WriteConfigText(config::kServerGroup, "239.9.9.9"));
  ASSERT_TRUE(settings.WriteConfigInt(config::kServerTtl, 2));
  d = ReadSenderDestinations(settings, notice);
  EXPECT_EQ(d.targets.size(), 16U);
  EXPECT_EQ(notices,
            (std::vector<std::string>{
                "Kestrel.dat: [Server] Targets: 10.100.100.116: more than 16 targets; skipped",
                "Kestrel.dat: [Server] Targets: 10.1: cut off (the line is longer than 259 characters); skipped"}));
  EXPECT_EQ(d.group, inet_addr("239.9.9.9"));

  ASSERT_TRUE(settings.WriteConfigText(config::kClientGroup, "239.9.9.300"));
  notices.clear();
  EXPECT_EQ(ReadClientGroup(settings, notice), 0U);
  EXPECT_EQ(notices.size(), 1U);
}

} // namespace
} // namespace kestrel::controller
