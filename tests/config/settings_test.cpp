// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/ini_file.hpp"
#include "config/config_keys.hpp"
#include "config/setting_assignment.hpp"
#include "config/settings.hpp"
#include "support/child_process.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using test::WriteText;

std::string ReadAll(const fs::path& file) {
  std::string content(fs::file_size(file), '\0');
  std::ifstream(file, std::ios::binary).read(content.data(), static_cast<std::streamsize>(content.size()));
  return content;
}

std::set<std::string> Entries(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) { names.insert(entry.path().filename().string()); }
  return names;
}

// Every test works in a fresh temporary folder, removed afterwards.
class SettingsTest : public testing::Test {
protected:
  test::TempDir tmp_;
  const fs::path dir_ = tmp_.Path();
  const fs::path file_ = dir_ / "Kestrel.dat";
  Settings settings_{file_};
};

TEST_F(SettingsTest, DataFileInWorkingDirWinsThenBesideProgramThenConfigHome) {
  const DataPathInputs inputs{dir_ / "work", dir_ / "bin", dir_ / "config"};
  EXPECT_EQ(ResolveDataFilePath(inputs), dir_ / "config" / "kestrel" / "Kestrel.dat");
  WriteText(inputs.programDir / "Kestrel.dat", "");
  EXPECT_EQ(ResolveDataFilePath(inputs), inputs.programDir / "Kestrel.dat");
  WriteText(inputs.workingDir / "Kestrel.dat", "");
  EXPECT_EQ(ResolveDataFilePath(inputs), inputs.workingDir / "Kestrel.dat");
}

TEST_F(SettingsTest, MissingFileGivesEveryDefault) {
  const Settings fresh(dir_ / "none" / "Kestrel.dat");
  const std::pair<config::IntKey, int> kCases[] = {
      {config::kServerEnable, 0},        {config::kClientEnable, 1}, {config::kServerUdpPort, 8800},
      {config::kClientUdpPort, 8800},    {config::kDumpFilter, 1},   {config::kFilterTimingClock, 1},
      {config::kFilterActiveSensing, 1}, {config::kServerLog, 0},    {config::kClientLog, 0}};
  for (const auto& [key, expected] : kCases) {
    EXPECT_EQ(fresh.ReadConfigInt(key), expected) << key.section << "/" << key.name;
  }
  for (int n = 1; n <= 8; ++n) {
    EXPECT_EQ(fresh.ReadConfigInt(config::ServerPortKey(n)), 1) << "server port " << n;
    EXPECT_EQ(fresh.ReadConfigInt(config::ClientPortKey(n)), 1) << "client port " << n;
  }
  EXPECT_EQ(fresh.ReadConfigText(config::kMidiInTarget), "Kestrel Port1");
  EXPECT_EQ(fresh.ReadConfigText(config::ClientDeviceKey(2), "USB MIDI 1"), "USB MIDI 1");
  EXPECT_FALSE(fs::exists(dir_ / "none")) << "reading must not create anything";
}

TEST_F(SettingsTest, IntegerIsTheLeadingDecimalNumber) {
  WriteText(file_, "[Pref]\na=42abc\nb=abc\nc=\nd=-17\ne=99999999999\nf=-99999999999\ng=  +7 \nh=\"12\"\n");
  const std::pair<const char*, std::int32_t> kCases[] = {{"a", 42},  {"b", 0},         {"c", 5},
                                                         {"d", -17}, {"e", INT32_MAX}, {"f", INT32_MIN},
                                                         {"g", 7},   {"h", 12},        {"missing", 5}};
  for (const auto& [key, expected] : kCases) { EXPECT_EQ(settings_.ReadConfigInt("Pref", key, 5), expected) << key; }
}

TEST_F(SettingsTest, TextLosesOnePairOfQuotesAndNamesIgnoreCase) {
  WriteText(file_, "[client]\n  HOSTIP = 10.0.0.2 \nTo1=\"Quoted\"\nTo2='Single'\nTo3=\"Mixed'\nTo4=\"\"Two\"\"\nTo5=" +
                       std::string(300, 'x') + "\n");
  const std::pair<const char*, std::string> kCases[] = {
      {"HostIP", "10.0.0.2"},         {"to1", "Quoted"}, {"To2", "Single"}, {"To3", "\"Mixed'"}, {"To4", "\"Two\""},
      {"To5", std::string(259, 'x')}, {"To6", "default"}};
  for (const auto& [key, expected] : kCases) {
    EXPECT_EQ(settings_.ReadConfigText(config::ConfigKey{"CLIENT", key, "default"}), expected) << key;
  }
}

TEST_F(SettingsTest, WrittenTextReadsBackUnchanged) {
  for (const char* text : {"plain name", "\"Quoted Port\"", "\"", "\"\"", "say \"hi\"", "\"open", ""}) {
    ASSERT_TRUE(settings_.WriteConfigText(config::kClient, "To1", text)) << settings_.LastError();
    EXPECT_EQ(settings_.ReadConfigText(config::ClientDeviceKey(1), "default"), text);
  }
}

TEST_F(SettingsTest, WritingOneKeyLeavesTheRestOfTheFileAlone) {
  // {before ("" = no file), section, key, after} for writing the value 7.
  const std::tuple<const char*, const char*, const char*, const char*> kCases[] = {
      // existing key replaced in place, its spelling, the comment and CRLF endings kept
      {"; Kestrel\r\n[Pref]\r\nFilter=1\r\n\r\n[Server]\r\nUDPPort=8800\r\nEnable=0\r\n", "server", "udpport",
       "; Kestrel\r\n[Pref]\r\nFilter=1\r\n\r\n[Server]\r\nUDPPort=7\r\nEnable=0\r\n"},
      // new key at the end of its own section, not after the next one
      {"[Pref]\nFilter=1\n\n[Server]\nEnable=1\n", "Pref", "w", "[Pref]\nFilter=1\nw=7\n\n[Server]\nEnable=1\n"},
      {"[Pref]\r\nx=1\r\n[Client]\r\nLog=0\r\n", "Pref", "y", "[Pref]\r\nx=1\r\ny=7\r\n[Client]\r\nLog=0\r\n"},
      {"[Client]\nLog=0", "Client", "Enable", "[Client]\nLog=0\nEnable=7\n"},
      {"[Server]\nLog=1\n[Client]\nLog=1\n", "CLIENT", "Log", "[Server]\nLog=1\n[Client]\nLog=7\n"},
      {"\xEF\xBB\xBF[Pref]\nx=1\n", "Pref", "y", "\xEF\xBB\xBF[Pref]\nx=1\ny=7\n"},
      // new section appended
      {"[Pref]\nx=1\n", "Server", "Enable", "[Pref]\nx=1\n\n[Server]\nEnable=7\n"},
      {"", "Server", "Enable", "[Server]\nEnable=7\n"}};
  for (const auto& [before, section, key, after] : kCases) {
    SCOPED_TRACE(before);
    fs::remove(file_);
    if (*before != '\0') { WriteText(file_, before); }
    ASSERT_TRUE(settings_.WriteConfigInt(section, key, 7)) << settings_.LastError();
    EXPECT_EQ(ReadAll(file_), after);
    EXPECT_EQ(settings_.ReadConfigInt(section, key, 0), 7);
  }
}

TEST_F(SettingsTest, WriteReplacesTheFileAtomically) {
  WriteText(file_, "[Pref]\nx=1\n");
  ASSERT_EQ(chmod(file_.c_str(), 0640), 0);
  ASSERT_TRUE(settings_.WriteConfigInt(config::kWindowY, 20)) << settings_.LastError();
  EXPECT_EQ(fs::status(file_).permissions() & fs::perms::mask, fs::perms(0640));
  EXPECT_EQ(Entries(dir_), std::set<std::string>{"Kestrel.dat"}) << "no temporary file left behind";

  Settings fresh(dir_ / "config" / "kestrel" / "Kestrel.dat"); // the first write makes the folders
  ASSERT_TRUE(fresh.WriteConfigInt(config::kServerEnable, 1)) << fresh.LastError();
  EXPECT_EQ(ReadAll(fresh.DataFilePath()), "[Server]\nEnable=1\n");

  const mode_t oldMask = umask(077); // a new file gets what the user's umask allows
  Settings secret(dir_ / "secret.dat");
  ASSERT_TRUE(secret.WriteConfigInt(config::kServerEnable, 1)) << secret.LastError();
  umask(oldMask);
  EXPECT_EQ(fs::status(secret.DataFilePath()).permissions() & fs::perms::mask, fs::perms(0600));
}

TEST_F(SettingsTest, RefusedWriteGivesReasonAndChangesNothing) {
  WriteText(dir_ / "afile", "keep"); // a path below a regular file cannot be made, even by root
  Settings blocked(dir_ / "afile" / "Kestrel.dat");
  EXPECT_FALSE(blocked.WriteConfigInt(config::kServerEnable, 1));
  EXPECT_FALSE(blocked.LastError().empty());
  EXPECT_EQ(ReadAll(dir_ / "afile"), "keep");
  EXPECT_EQ(Entries(dir_), std::set<std::string>{"afile"});

  const std::string before = "[Client]\nHostIP=10.0.0.1\n";
  WriteText(file_, before);
  for (const char* text : {"10.0.0.2\n[Server]", "10.0.0.2\rx"}) {
    EXPECT_FALSE(settings_.WriteConfigText(config::kHostIp, text)) << "a line break would corrupt the file";
    EXPECT_FALSE(settings_.LastError().empty());
    EXPECT_EQ(ReadAll(file_), before);
  }
}

TEST_F(SettingsTest, FileOver4MiBIsNeitherReadNorRewritten) {
  const std::string head = "[Server]\nUDPPort=9000\n;";
  std::string content = head + std::string(ini::kMaxFileSize - head.size() - 1, 'x') + "\n";
  WriteText(file_, content);
  EXPECT_EQ(settings_.ReadConfigInt(config::kServerUdpPort), 9000) << "exactly 4 MiB is still read";

  content += "\n";
  WriteText(file_, content);
  EXPECT_EQ(settings_.ReadConfigInt(config::kServerUdpPort), 8800);
  EXPECT_FALSE(settings_.WriteConfigInt(config::kServerUdpPort, 9100));
  EXPECT_EQ(fs::file_size(file_), content.size());
}

// Command-line settings, written as the window would write them.
TEST(SettingAssignment, WritesAsTheWindowWouldAndRefusesNonsense) {
  test::TempDir dir;
  Settings settings(dir.Path() / "Kestrel.dat");
  std::string error;
  EXPECT_TRUE(config::ApplySettingAssignment(settings, "Server.Enable=1", &error)) << error;
  EXPECT_TRUE(config::ApplySettingAssignment(settings, "client.udpport=9000", &error)) << error;
  EXPECT_TRUE(config::ApplySettingAssignment(settings, "Client.To3=\"Quoted Synth\"", &error)) << error;
  EXPECT_TRUE(config::ApplySettingAssignment(settings, "Client.Port8=0", &error)) << error;
  EXPECT_EQ(settings.ReadConfigInt(config::kServerEnable), 1);
  EXPECT_EQ(settings.ReadConfigInt(config::kClientUdpPort), 9000);
  EXPECT_EQ(settings.ReadConfigText(config::ClientDeviceKey(3), ""), "\"Quoted Synth\"");
  EXPECT_EQ(settings.ReadConfigInt(config::ClientPortKey(8)), 0);

  for (const char* bad : {"Server.Enable=yes", "Server.UDPPort=0", "Client.UDPPort=70000", "Client.Port9=1",
                          "Client.Port=1", "Client.HostIP=10.0.0", "Nowhere.Enable=1", "Server.Enable", "Enable=1"}) {
    error.clear();
    EXPECT_FALSE(config::ApplySettingAssignment(settings, bad, &error)) << bad;
    EXPECT_NE(error.find(bad), std::string::npos) << "the reason names the input: " << error;
  }
  EXPECT_EQ(settings.ReadConfigInt(config::kServerEnable), 1) << "a refused value leaves the file";

  // The destinations beyond the broadcast: a bad entry is named and nothing is written.
  EXPECT_TRUE(config::ApplySettingAssignment(settings, "Server.Targets=10.1.0.5, 10.2.0.7", &error)) << error;
  EXPECT_TRUE(config::ApplySettingAssignment(settings, "Server.Group=239.1.2.3", &error)) << error;
  EXPECT_TRUE(config::ApplySettingAssignment(settings, "Server.TTL=4", &error)) << error;
  EXPECT_TRUE(config::ApplySettingAssignment(settings, "Client.Group=", &error)) << error;
  for (const char* bad : {"Server.Targets=10.1.0.5 studio-b", "Server.Targets=239.1.2.3", "Server.Group=10.1.0.5",
                          "Server.TTL=0", "Server.TTL=256", "Client.Group=224.1"}) {
    error.clear();
    EXPECT_FALSE(config::ApplySettingAssignment(settings, bad, &error)) << bad;
    EXPECT_NE(error.find(bad), std::string::npos) << error;
  }
  EXPECT_NE(error.find("not a multicast group"), std::string::npos) << error;
  EXPECT_EQ(settings.ReadConfigText(config::kServerTargets), "10.1.0.5, 10.2.0.7");
}

} // namespace
} // namespace kestrel
