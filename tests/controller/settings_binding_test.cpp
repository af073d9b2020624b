// SPDX-License-Identifier: GPL-3.0-or-later
// Port edits, addresses and command-line settings as Kestrel.dat takes them.

#include "config/config_keys.hpp"
#include "config/settings.hpp"
#include "controller/device_choices.hpp"
#include "controller/setting_assignment.hpp"
#include "controller/settings_binding.hpp"
#include "support/child_process.hpp"

#include <gtest/gtest.h>

namespace kestrel::controller {
namespace {
using test::TempDir;

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

} // namespace
} // namespace kestrel::controller
