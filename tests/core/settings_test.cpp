// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/config_keys.hpp"
#include "core/ini_file.hpp"
#include "core/settings.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kestrel {
namespace {

namespace fs = std::filesystem;

void WriteFile(const fs::path& file, std::string_view content) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << content;
}

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

// The first word of a desktop entry's Exec value as a launcher reads it: the key's value escapes
// first (\\ \s \t \n \r), then the command's quoting (inside "...", a backslash takes the next
// character as it is), then %% for a %.
std::vector<std::string> ExecWords(std::string_view value) {
  std::string command;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      command += value[i];
      continue;
    }
    const char c = value[++i];
    command += c == 's' ? ' ' : c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
  }
  std::vector<std::string> words(1);
  bool quoted = false;
  for (std::size_t i = 0; i < command.size(); ++i) {
    const char c = command[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (i + 1 < command.size() && ((quoted && c == '\\') || (c == '%' && command[i + 1] == '%'))) {
      words.back() += command[++i];
    } else if (!quoted && c == ' ') {
      words.emplace_back();
    } else {
      words.back() += c;
    }
  }
  return words;
}

fs::path MakeTempDir() {
  std::string pattern = (fs::temp_directory_path() / "kestrel-settings-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) { throw std::runtime_error("mkdtemp failed"); }
  return pattern;
}

// Every test works in a fresh temporary folder, removed afterwards.
class SettingsTest : public testing::Test {
protected:
  ~SettingsTest() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  const fs::path dir_ = MakeTempDir();
  const fs::path file_ = dir_ / "Kestrel.dat";
  Settings settings_{file_};
};

TEST_F(SettingsTest, DataFileInWorkingDirWinsThenBesideProgramThenConfigHome) {
  const DataPathInputs inputs{dir_ / "work", dir_ / "bin", dir_ / "config"};
  EXPECT_EQ(ResolveDataFilePath(inputs), dir_ / "config" / "kestrel" / "Kestrel.dat");
  WriteFile(inputs.programDir / "Kestrel.dat", "");
  EXPECT_EQ(ResolveDataFilePath(inputs), inputs.programDir / "Kestrel.dat");
  WriteFile(inputs.workingDir / "Kestrel.dat", "");
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
  WriteFile(file_, "[Pref]\na=42abc\nb=abc\nc=\nd=-17\ne=99999999999\nf=-99999999999\ng=  +7 \nh=\"12\"\n");
  const std::pair<const char*, std::int32_t> kCases[] = {{"a", 42},  {"b", 0},         {"c", 5},
                                                         {"d", -17}, {"e", INT32_MAX}, {"f", INT32_MIN},
                                                         {"g", 7},   {"h", 12},        {"missing", 5}};
  for (const auto& [key, expected] : kCases) { EXPECT_EQ(settings_.ReadConfigInt("Pref", key, 5), expected) << key; }
}

TEST_F(SettingsTest, TextLosesOnePairOfQuotesAndNamesIgnoreCase) {
  WriteFile(file_, "[client]\n  HOSTIP = 10.0.0.2 \nTo1=\"Quoted\"\nTo2='Single'\nTo3=\"Mixed'\nTo4=\"\"Two\"\"\nTo5=" +
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
    if (*before != '\0') { WriteFile(file_, before); }
    ASSERT_TRUE(settings_.WriteConfigInt(section, key, 7)) << settings_.LastError();
    EXPECT_EQ(ReadAll(file_), after);
    EXPECT_EQ(settings_.ReadConfigInt(section, key, 0), 7);
  }
}

TEST_F(SettingsTest, WriteReplacesTheFileAtomically) {
  WriteFile(file_, "[Pref]\nx=1\n");
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
  WriteFile(dir_ / "afile", "keep"); // a path below a regular file cannot be made, even by root
  Settings blocked(dir_ / "afile" / "Kestrel.dat");
  EXPECT_FALSE(blocked.WriteConfigInt(config::kServerEnable, 1));
  EXPECT_FALSE(blocked.LastError().empty());
  EXPECT_EQ(ReadAll(dir_ / "afile"), "keep");
  EXPECT_EQ(Entries(dir_), std::set<std::string>{"afile"});

  const std::string before = "[Client]\nHostIP=10.0.0.1\n";
  WriteFile(file_, before);
  for (const char* text : {"10.0.0.2\n[Server]", "10.0.0.2\rx"}) {
    EXPECT_FALSE(settings_.WriteConfigText(config::kHostIp, text)) << "a line break would corrupt the file";
    EXPECT_FALSE(settings_.LastError().empty());
    EXPECT_EQ(ReadAll(file_), before);
  }
}

TEST_F(SettingsTest, FileOver4MiBIsNeitherReadNorRewritten) {
  const std::string head = "[Server]\nUDPPort=9000\n;";
  std::string content = head + std::string(ini::kMaxFileSize - head.size() - 1, 'x') + "\n";
  WriteFile(file_, content);
  EXPECT_EQ(settings_.ReadConfigInt(config::kServerUdpPort), 9000) << "exactly 4 MiB is still read";

  content += "\n";
  WriteFile(file_, content);
  EXPECT_EQ(settings_.ReadConfigInt(config::kServerUdpPort), 8800);
  EXPECT_FALSE(settings_.WriteConfigInt(config::kServerUdpPort, 9100));
  EXPECT_EQ(fs::file_size(file_), content.size());
}

TEST_F(SettingsTest, FallbackRuntimeFolderIsUsedOnlyWhenItIsOurOwnAndPrivate) {
  const uid_t uid = getuid();
  const fs::path own = dir_ / ("kestrel-" + std::to_string(uid));
  std::string error;
  ASSERT_EQ(PrivateRuntimeDirectory(dir_, uid, &error), own) << error;
  EXPECT_EQ(fs::symlink_status(own).permissions() & fs::perms::mask, fs::perms::owner_all);
  EXPECT_EQ(PrivateRuntimeDirectory(dir_, uid), own) << "found again";

  // Each way someone else may have prepared it is refused, naming the folder and what is wrong.
  const auto refused = [&](const fs::path& base, uid_t user, const std::string& fault) {
    const fs::path folder = base / ("kestrel-" + std::to_string(user));
    error.clear();
    EXPECT_FALSE(PrivateRuntimeDirectory(base, user, &error)) << fault;
    EXPECT_NE(error.find("the runtime folder " + folder.string() + " " + fault), std::string::npos) << error;
  };
  ASSERT_EQ(chmod(own.c_str(), 0755), 0);
  refused(dir_, uid, "has mode 0755, not 0700");
  ASSERT_EQ(chmod(own.c_str(), 0700), 0);
  // A link is refused even to a private folder of ours: whoever made it can point it elsewhere.
  fs::rename(own, dir_ / "elsewhere");
  fs::create_directory_symlink(dir_ / "elsewhere", own);
  refused(dir_, uid, "is a symbolic link");
  fs::remove(own);
  WriteFile(own, "");
  refused(dir_, uid, "is not a folder");
  // The next user's folder, made by us: it is not theirs, however private.
  const uid_t other = uid + 1;
  ASSERT_EQ(mkdir((dir_ / ("kestrel-" + std::to_string(other))).c_str(), 0700), 0);
  refused(dir_, other, "belongs to another user (uid " + std::to_string(uid) + ")");
  EXPECT_NE(error.find("remove it or set XDG_RUNTIME_DIR"), std::string::npos) << error;
  refused(dir_ / "missing", uid, "cannot be made");
}

TEST_F(SettingsTest, AutostartEntryStartsTheProgramHidden) {
  const fs::path entry = AutostartEntryPath(dir_);
  EXPECT_EQ(entry, dir_ / "autostart" / "kestrel.desktop");
  EXPECT_FALSE(ReadAutostart(entry));
  ASSERT_TRUE(WriteAutostart(entry, true, "/opt/kestrel/bin/kestrel"));
  EXPECT_TRUE(ReadAutostart(entry));
  EXPECT_EQ(ini::ReadValue(entry, "Desktop Entry", "Exec"), "/opt/kestrel/bin/kestrel /m");

  ASSERT_TRUE(WriteAutostart(entry, false, {}));
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_FALSE(ReadAutostart(entry));
  EXPECT_TRUE(WriteAutostart(entry, false, {})) << "switching off twice is not an error";

  const std::pair<const char*, const char*> kCases[] = {
      {"/home/ann/Studio Tools/kestrel", "\"/home/ann/Studio Tools/kestrel\" /m"},
      {"/opt/100%/kestrel", "/opt/100%%/kestrel /m"}}; // % starts a field code
  for (const auto& [program, command] : kCases) { EXPECT_EQ(AutostartCommand(program), command); }

  // Whatever a path holds, the launcher reads back exactly that path; a control character, which
  // would end the Exec line or hide in it, is refused and nothing is written.
  for (const char* program : {"/opt/a b/kestrel", "/opt/100%/kestrel", "/opt/$HOME/kestrel", "/opt/back\\slash/kestrel",
                              "/opt/say \"hi\"/kestrel", "/opt/it's/kestrel", "/opt/`id`/kestrel",
                              "/opt/a;b|c&d/kestrel", "/opt/\xc3\xa9t\xc3\xa9/kestrel"}) {
    std::string error;
    ASSERT_TRUE(WriteAutostart(entry, true, program, &error)) << program << ": " << error;
    const auto exec = ini::ReadValue(entry, "Desktop Entry", "Exec");
    ASSERT_TRUE(exec) << program;
    EXPECT_EQ(ExecWords(*exec), (std::vector<std::string>{program, "/m"})) << *exec;
  }
  for (const char control : {'\n', '\r', '\t', '\x01', '\x1f', '\x7f'}) {
    fs::remove(entry);
    const std::string program = std::string("/opt/a") + control + "b/kestrel";
    std::string error;
    EXPECT_FALSE(WriteAutostart(entry, true, program, &error)) << int(control);
    EXPECT_NE(error.find("control character"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(entry)) << int(control);
  }

  // An entry switched off by the desktop, or without a command, counts as off.
  const std::pair<const char*, bool> kEntries[] = {
      {"[Desktop Entry]\nExec=kestrel /m\nHidden=false\nX-GNOME-Autostart-enabled=true\n", true},
      {"[Desktop Entry]\nExec=kestrel /m\nHidden=true\n", false},
      {"[Desktop Entry]\nExec=kestrel /m\nX-GNOME-Autostart-enabled=false\n", false},
      {"[Desktop Entry]\nType=Application\n", false},
      {"[Other]\nExec=kestrel /m\n", false}};
  for (const auto& [content, on] : kEntries) {
    WriteFile(entry, content);
    EXPECT_EQ(ReadAutostart(entry), on) << content;
  }
}

TEST_F(SettingsTest, TheProgramFileIsDeletedOnlyByItsKnownPath) {
  // Without /proc the program's own path is unknown (empty); a relative one would name a file in
  // the working folder. Neither deletes anything there.
  WriteFile(dir_ / "quillon", "decoy");
  const fs::path before = fs::current_path();
  fs::current_path(dir_);
  for (const fs::path& unknown : {fs::path(), fs::path("quillon")}) {
    std::string error;
    EXPECT_FALSE(DeleteProgramFile(unknown, &error)) << unknown;
    EXPECT_NE(error.find("unknown"), std::string::npos) << error;
  }
  fs::current_path(before);
  EXPECT_TRUE(fs::exists(dir_ / "quillon"));

  // A delete that fails, even for root, is reported: a folder where the file should be.
  fs::create_directories(dir_ / "bin" / "quillon" / "inside");
  std::string error;
  EXPECT_FALSE(DeleteProgramFile(dir_ / "bin" / "quillon", &error));
  EXPECT_NE(error.find("cannot delete " + (dir_ / "bin" / "quillon").string()), std::string::npos) << error;
  EXPECT_TRUE(fs::exists(dir_ / "bin" / "quillon" / "inside"));

  WriteFile(dir_ / "bin" / "quillon-old", "");
  EXPECT_TRUE(DeleteProgramFile(dir_ / "bin" / "quillon-old", &error)) << error;
  EXPECT_FALSE(fs::exists(dir_ / "bin" / "quillon-old"));
}

// systemd's own reading of a user unit: `systemd-analyze verify` fails unless ExecStart names an
// executable file that exists, so a path it reads otherwise than written is caught.
TEST_F(SettingsTest, UnitExecStartNamesExactlyTheProgram) {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the test runs on one thread
  if (std::system("command -v systemd-analyze >/dev/null") != 0) GTEST_SKIP() << "no systemd-analyze";
  const fs::path unit = dir_ / "kestrel-ports.service";
  for (const char* folder :
       {"plain", "a b", "100%", "%h", "$HOME", "${HOME}", "$$", "semi;colon", "\xc3\xa9t\xc3\xa9"}) {
    const fs::path program = dir_ / folder / "kestrel-ports";
    fs::create_directories(program.parent_path());
    fs::copy_file("/bin/true", program);
    std::string error;
    const auto argument = UnitExecArgument(program, &error);
    ASSERT_TRUE(argument) << folder << ": " << error;
    WriteFile(unit, "[Unit]\nDescription=test\n[Service]\nExecStart=" + *argument + "\n");
    const std::string verify = "systemd-analyze verify '" + unit.string() + "' 2>&1";
    const int status = std::system(verify.c_str()); // NOLINT(concurrency-mt-unsafe): one thread
    EXPECT_EQ(status, 0) << folder << "\n" << ReadAll(unit);
  }
  for (const char* folder : {"back\\slash", "say \"hi\"", "it's", "a\nb", "a\tb", "a\x7f", "bad\xff"}) {
    std::string error;
    EXPECT_FALSE(UnitExecArgument(dir_ / folder / "kestrel-ports", &error)) << folder;
    EXPECT_FALSE(error.empty()) << folder;
  }
}

} // namespace
} // namespace kestrel
