// SPDX-License-Identifier: GPL-3.0-or-later
// The window's place on the desktop. This file: the kestrel program on a real X server, and the
// executable's main. Beside it: the tray (tray_test.cpp), what the window opens and how it reads
// (dialogs_test.cpp) and the translation of every window and text, the shipped language files in
// data/lang among them (translation_test.cpp).

#include "support/child_process.hpp"
#include "window_fixture.hpp"

#include <QApplication>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kestrel::ui {
namespace {

// ---- on a real X server --------------------------------------------------------------------

// The kestrel program on Xvfb with a window manager (openbox) and a tray (trayer), driven as a
// user drives it, through xdotool.
class RealDesktop : public ::testing::Test {
protected:
  test::TempDir home;
  std::string display;
  std::vector<std::unique_ptr<test::ChildProcess>> desktop; // Xvfb, openbox, trayer

  void SetUp() override {
    for (const char* tool : {"Xvfb", "openbox", "trayer", "xdotool", "xwininfo"}) {
      if (Shell(std::string("command -v ") + tool).empty()) GTEST_SKIP() << tool << " is missing (scripts/setup-deps)";
    }
    std::filesystem::create_directories(home.Path() / "run");
    std::filesystem::permissions(home.Path() / "run", std::filesystem::perms::owner_all);
    // The server picks a free display itself and names it once it listens.
    const auto number = home.Path() / "display";
    desktop.push_back(std::make_unique<test::ChildProcess>(
        std::vector<std::string>{"sh", "-c", "exec Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>\"$0\"",
                                 number.string()},
        home.Path() / "desktop.log"));
    ASSERT_TRUE(test::WaitUntil([&] { return test::ReadText(number).find('\n') != std::string::npos; }))
        << test::ReadText(home.Path() / "desktop.log");
    display = ":" + test::ReadText(number).substr(0, test::ReadText(number).find('\n'));
    Start({"openbox"});
    // A loaded machine may take a while to start the window manager.
    ASSERT_TRUE(
        test::WaitUntil([&] { return X("xprop -root _NET_SUPPORTING_WM_CHECK").find('#') != std::string::npos; },
                        std::chrono::seconds(60)))
        << test::ReadText(home.Path() / "desktop.log");
    Start({"trayer", "--edge", "bottom"});
    ASSERT_TRUE(test::WaitUntil([&] { return !X("xdotool search --class trayer").empty(); }))
        << test::ReadText(home.Path() / "desktop.log");
  }

  void TearDown() override {
    // trayer, openbox, then the server, each asked to end (a killed server leaves its lock behind)
    while (!desktop.empty()) {
      desktop.back()->Terminate(std::chrono::seconds(5));
      desktop.pop_back();
    }
  }

  // Runs a command on this desktop, as this test's user, and returns what it printed.
  std::string X(const std::string& command) const { // NOLINT(modernize-use-nodiscard): run for effect too
    return Shell("env -u QT_QPA_PLATFORM DISPLAY=" + display + " XDG_RUNTIME_DIR=" + (home.Path() / "run").string() +
                 " HOME=" + home.Path().string() + " XDG_CONFIG_HOME=" + (home.Path() / "config").string() + " " +
                 command + " 2>/dev/null");
  }
  [[nodiscard]] static std::string Shell(const std::string& command) {
    std::string out;
    if (std::FILE* p = popen(command.c_str(), "r"); p != nullptr) {
      std::array<char, 256> buffer{};
      while (std::fgets(buffer.data(), buffer.size(), p) != nullptr) out += buffer.data();
      pclose(p);
    }
    return out;
  }
  // Without a sequencer its provider is found too: it starts, and ends at once. (With one, it
  // would stay after the test.)
  std::unique_ptr<test::ChildProcess> Kestrel(const std::filesystem::path& log) const {
    std::string path = std::getenv("PATH");
    if (!std::filesystem::exists("/dev/snd/seq")) {
      path.insert(0, std::filesystem::path(KESTREL_PORTS_PROGRAM).parent_path().string() + ":");
    }
    return std::make_unique<test::ChildProcess>(
        std::vector<std::string>{"env", "-u", "QT_QPA_PLATFORM", "DISPLAY=" + display,
                                 "XDG_RUNTIME_DIR=" + (home.Path() / "run").string(), "HOME=" + home.Path().string(),
                                 "XDG_CONFIG_HOME=" + (home.Path() / "config").string(), "PATH=" + path,
                                 KESTREL_PROGRAM},
        log);
  }
  void Start(std::vector<std::string> args) {
    args.insert(args.begin(), {"env", "DISPLAY=" + display});
    desktop.push_back(std::make_unique<test::ChildProcess>(args, home.Path() / "desktop.log"));
  }
  // As a hand presses it, through the keyboard: down, held a moment, up.
  void PressEscape(const std::string& window) const {
    X("xdotool windowactivate --sync " + window + " keydown Escape sleep 0.1 keyup Escape");
  }
  [[nodiscard]] bool Mapped(const std::string& window) const {
    return X("xwininfo -id " + window).find("IsViewable") != std::string::npos;
  }
};

// Escape hides the window to the tray; starting Kestrel again brings it back: shown, raised and
// active, at every further start too.
TEST_F(RealDesktop, ASecondStartBringsBackTheWindowHiddenToTheTray) {
  auto first = Kestrel(home.Path() / "first.log");
  std::string window;
  ASSERT_TRUE(test::WaitUntil([&] {
    window = X("xdotool search --onlyvisible --name '^Vantor Kestrel$'");
    return !window.empty();
  })) << test::ReadText(home.Path() / "first.log");
  window = window.substr(0, window.find('\n'));
  // Without a sequencer on this machine (the provider starts and ends at once) a box in front of
  // the window says what to do: it is closed as a user closes it.
  if (!std::filesystem::exists("/dev/snd/seq")) {
    std::string box;
    ASSERT_TRUE(test::WaitUntil([&] {
      box = X("xdotool search --onlyvisible --name '^Kestrel$'");
      return !box.empty();
    })) << "the box that says there is no sequencer";
    box = box.substr(0, box.find('\n'));
    X("xdotool windowactivate --sync " + box + " key Return");
    ASSERT_TRUE(test::WaitUntil([&] { return !Mapped(box); }));
  }
  PressEscape(window);
  ASSERT_TRUE(test::WaitUntil([&] { return !Mapped(window); })) << "Escape hides to the tray";
  for (int start = 2; start <= 3; ++start) {
    SCOPED_TRACE(start);
    auto again = Kestrel(home.Path() / "again.log");
    EXPECT_EQ(again->Wait(std::chrono::seconds(20)), 0);
    EXPECT_TRUE(test::WaitUntil([&] { return Mapped(window) && X("xdotool getactivewindow").find(window) == 0; },
                                std::chrono::seconds(5)))
        << "shown and active";
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(Mapped(window)) << "and it stays";
    PressEscape(window);
    ASSERT_TRUE(test::WaitUntil([&] { return !Mapped(window); }));
  }
  EXPECT_EQ(first->Terminate(), 0);
}

} // namespace
} // namespace kestrel::ui

int main(int argc, char** argv) {
  if (!kestrel::test::IsolateNetwork("desktop_test")) return 1;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
