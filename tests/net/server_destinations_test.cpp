// SPDX-License-Identifier: GPL-3.0-or-later
// What the server sends to, as Kestrel.dat says it.

#include "config/config_keys.hpp"
#include "config/destinations.hpp"
#include "config/settings.hpp"
#include "net/server_destinations.hpp"
#include "support/child_process.hpp"

#include <arpa/inet.h>

#include <gtest/gtest.h>

namespace kestrel::net {
namespace {
using test::TempDir;

// What the server sends to, as Kestrel.dat says it: every entry skipped is named.
TEST(ServerDestinations, ReadFromTheFileWithEveryBadEntryNamed) {
  const config::TargetList list =
      config::ParseTargets(" 10.1.0.5,10.2.0.7;;10.1.0.5 host.lan 255.255.255.255 0.1.2.3\t224.0.0.9 10.9");
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
} // namespace kestrel::net
