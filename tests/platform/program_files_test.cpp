// SPDX-License-Identifier: GPL-3.0-or-later
// The program's own folders and files as the operating system and the desktop see them: the
// private runtime folder, the autostart entry, a unit's command, deleting the program file.

#include "base/ini_file.hpp"
#include "platform/autostart.hpp"
#include "platform/paths.hpp"
#include "support/child_process.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kestrel {
namespace {

namespace fs = std::filesystem;
using test::WriteText;

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

// Every test works in a fresh temporary folder, removed afterwards.
class ProgramFilesTest : public testing::Test {
protected:
  test::TempDir tmp_;
  const fs::path dir_ = tmp_.Path();
};

TEST_F(ProgramFilesTest, FallbackRuntimeFolderIsUsedOnlyWhenItIsOurOwnAndPrivate) {
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
  WriteText(own, "");
  refused(dir_, uid, "is not a folder");
  // The next user's folder, made by us: it is not theirs, however private.
  const uid_t other = uid + 1;
  ASSERT_EQ(mkdir((dir_ / ("kestrel-" + std::to_string(other))).c_str(), 0700), 0);
  refused(dir_, other, "belongs to another user (uid " + std::to_string(uid) + ")");
  EXPECT_NE(error.find("remove it or set XDG_RUNTIME_DIR"), std::string::npos) << error;
  refused(dir_ / "missing", uid, "cannot be made");
}

TEST_F(ProgramFilesTest, AutostartEntryStartsTheProgramHidden) {
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
    WriteText(entry, content);
    EXPECT_EQ(ReadAutostart(entry), on) << content;
  }
}

TEST_F(ProgramFilesTest, TheProgramFileIsDeletedOnlyByItsKnownPath) {
  // Without /proc the program's own path is unknown (empty); a relative one would name a file in
  // the working folder. Neither deletes anything there.
  WriteText(dir_ / "quillon", "decoy");
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

  WriteText(dir_ / "bin" / "quillon-old", "");
  EXPECT_TRUE(DeleteProgramFile(dir_ / "bin" / "quillon-old", &error)) << error;
  EXPECT_FALSE(fs::exists(dir_ / "bin" / "quillon-old"));
}

// systemd's own reading of a user unit: `systemd-analyze verify` fails unless ExecStart names an
// executable file that exists, so a path it reads otherwise than written is caught.
TEST_F(ProgramFilesTest, UnitExecStartNamesExactlyTheProgram) {
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
    WriteText(unit, "[Unit]\nDescription=test\n[Service]\nExecStart=" + *argument + "\n");
    const std::string verify = "systemd-analyze verify '" + unit.string() + "' 2>&1";
    const int status = std::system(verify.c_str()); // NOLINT(concurrency-mt-unsafe): one thread
    EXPECT_EQ(status, 0) << folder << "\n" << test::ReadText(unit);
  }
  for (const char* folder : {"back\\slash", "say \"hi\"", "it's", "a\nb", "a\tb", "a\x7f", "bad\xff"}) {
    std::string error;
    EXPECT_FALSE(UnitExecArgument(dir_ / folder / "kestrel-ports", &error)) << folder;
    EXPECT_FALSE(error.empty()) << folder;
  }
}

} // namespace
} // namespace kestrel
