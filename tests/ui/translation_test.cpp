// SPDX-License-Identifier: GPL-3.0-or-later
// Every window and text in the user's language: the main window's texts from its own section and
// then Common, the About box, the busy notice, and the shipped language files (data/lang), which
// hold every text the program looks up, translate every key they hold, and agree on their keys.

#include "base/ini_file.hpp"
#include "desktop_fixture.hpp"
#include "platform/realtime.hpp"
#include "ui/about_box.hpp"
#include "ui/statistics_view.hpp"
#include "ui/translated_dialog.hpp"
#include "ui/tray_icon.hpp"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace kestrel::ui {
namespace {

using controller::kReportConnection;
using controller::kReportProbeResult;
using test::DesktopTest;
using test::Find;
using test::OpenMenu;
using test::WindowBench;

// ---- dialog translation --------------------------------------------------------------------

TEST_F(DesktopTest, MainWindowTextsComeFromItsSectionThenCommon) {
  UseLanguage("[Common]\n"
              "Server=Common server\n"
              "Client=Kunde\n"
              "Timing Clock=***\n"
              "Autostart=Selbststart\n"
              "Clear=\n"
              "8800=9999\n"
              "--Disabled--=--Aus--\n"
              "Start/Stop Server=Server an/aus\n"
              "[Vantor Kestrel]\n"
              "Vantor Kestrel=Turmfalke\n"
              "Server=Serveur\n"
              "Timing Clock=***\n"
              "Autostart=***\n"
              "MIDI Dump=\n"
              "Port=Anschluss\n"
              "Keystation 49=Wrong\n"
              "Start/Stop Server=Wrong\n");
  MainWindow& w = bench.Open();
  EXPECT_EQ(w.windowTitle(), "Turmfalke");
  EXPECT_EQ(Find<QCheckBox>(w, "server")->text(), "Serveur"); // own section wins
  EXPECT_EQ(Find<QCheckBox>(w, "dumpServer")->text(), "Serveur");
  EXPECT_EQ(Find<QCheckBox>(w, "client")->text(), "Kunde");          // from Common
  EXPECT_EQ(Find<QCheckBox>(w, "autostart")->text(), "Selbststart"); // "***" falls back
  EXPECT_EQ(Find<QCheckBox>(w, "filterTimingClock")->text(), "Timing Clock");
  EXPECT_EQ(Find<QPushButton>(w, "clear")->text(), ""); // an empty value empties
  EXPECT_EQ(Find<QCheckBox>(w, "filterActiveSensing")->text(), "Active Sensing");
  auto* dumpBox = qobject_cast<QGroupBox*>(Find<QCheckBox>(w, "dumpServer")->parentWidget());
  ASSERT_NE(dumpBox, nullptr);
  EXPECT_EQ(dumpBox->title(), "");
  QStringList labels;
  for (const QLabel* label : w.findChildren<QLabel*>()) labels << label->text();
  EXPECT_EQ(labels.count("Anschluss"), 2);
  EXPECT_TRUE(labels.contains("Transmit from"));

  // Edit contents and list entries are no dialog texts; run-time texts come from Common only.
  EXPECT_EQ(Find<QLineEdit>(w, "serverPort")->text(), "8800");
  auto* midiIn = Find<QComboBox>(w, "midiIn");
  EXPECT_EQ(midiIn->itemText(0), "--Aus--");
  EXPECT_NE(midiIn->findText("Keystation 49"), -1);
  EXPECT_EQ(Find<QCheckBox>(w, "server")->toolTip(), "Server an/aus");
}

TEST_F(DesktopTest, NoLanguageLeavesEveryTextAsBuilt) {
  MainWindow& w = bench.Open();
  EXPECT_EQ(w.windowTitle(), "Vantor Kestrel");
  EXPECT_EQ(Find<QPushButton>(w, "restorePorts")->text(), "Restore Kestrel ports");
  EXPECT_EQ(Find<QPushButton>(w, "about")->text(), "About...");
}

TEST_F(DesktopTest, AboutBoxIsTranslatedAndNamesTheVersionAfterwards) {
  UseLanguage("[Common]\n"
              "OK=Fine\n"
              "Support:=Hilfe:\n"
              "[About Vantor Kestrel]\n"
              "About Vantor Kestrel=Ueber Kestrel\n"
              "Vantor Kestrel v=Kestrel Ausgabe v\n"
              "Engine threads run in real time=Echtzeit\n"
              "OK=Gut\n"
              "https://kestrel.example.org=https://kestrel.example.org/de\n");
  std::vector<QUrl> opened;
  // A thread granted real time as root is: the headline is translated, the way and priority not.
  ProcessRealtimeLedger().Record("kestrel-server", {RealtimeWay::Direct, kRealtimePriority, {}});
  const bool allDirect = ProcessRealtimeLedger().Summary().details == " (direct, priority 10)";
  AboutBox box(bench.translator, [&](const QUrl& url) {
    opened.push_back(url);
    return true;
  });
  EXPECT_EQ(box.windowTitle(), "Ueber Kestrel");
  EXPECT_EQ(Find<QLabel>(box, "version")->text(), QStringLiteral("Kestrel Ausgabe v") + ProgramVersion());
  if (allDirect) { EXPECT_EQ(Find<QLabel>(box, "realtime")->text(), "Echtzeit (direct, priority 10)"); }
  EXPECT_EQ(Find<QPushButton>(box, "ok")->text(), "Gut");
  EXPECT_EQ(Find<QLabel>(box, "support")->text(), "Hilfe:");
  EXPECT_FALSE(Find<QLabel>(box, "icon")->pixmap().isNull());
  // A translated link text changes where the link leads.
  box.WebLink().Open();
  box.MailLink().Open();
  ASSERT_EQ(opened.size(), 2U);
  EXPECT_EQ(opened[0].toString(), "https://kestrel.example.org/de");
  EXPECT_EQ(opened[1].toString(), "mailto:support@kestrel.example.org");
}

TEST_F(DesktopTest, AboutBoxInEnglishShowsTheBuildsVersion) {
  AboutBox box(bench.translator);
  EXPECT_EQ(box.windowTitle(), "About Vantor Kestrel");
  const QString version = Find<QLabel>(box, "version")->text();
  EXPECT_EQ(version, "Vantor Kestrel v1.1.6"); // the project's one version
  EXPECT_EQ(Find<QLabel>(box, "realtime")->text().toStdString(), RealtimeReport());
  EXPECT_EQ(Find<QLabel>(box, "support")->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignRight);
}

TEST_F(DesktopTest, BusyNoticeIsTranslatedInTheSectionWithoutAName) {
  UseLanguage("[Common]\n"
              "Restarting MIDI Drivers. Please Wait...=Common wait\n"
              "[]\n"
              "Restarting MIDI Drivers. Please Wait...=Bitte warten\n");
  MainWindow& w = bench.Open();
  const auto shownText = [] {
    for (QWidget* top : QApplication::topLevelWidgets()) {
      if (top->objectName() == "busyNotice" && top->isVisible()) return top->findChild<QLabel*>()->text();
    }
    return QStringLiteral("(none)");
  };
  w.ShowBusyNotice("Restarting MIDI Drivers. Please Wait...");
  EXPECT_EQ(shownText(), "Bitte warten");
  w.HideBusyNotice();
  EXPECT_EQ(shownText(), "(none)");
}

TEST(TranslateDialogText, OwnSectionThenCommonWithStarsAsAbsent) {
  test::TempDir dir;
  const auto path = dir.Path() / "Lang.xx";
  std::ofstream(path) << "[Common]\nA=common A\nB=common B\nC=***\nE=\n[Box]\nA=box A\nB=***\nC=***\nD=\n";
  const Translator translator(path.string(), dir.Path());
  EXPECT_EQ(TranslateDialogText(translator, "Box", "A"), "box A");
  EXPECT_EQ(TranslateDialogText(translator, "Box", "B"), "common B");
  EXPECT_EQ(TranslateDialogText(translator, "Box", "C"), std::nullopt);
  EXPECT_EQ(TranslateDialogText(translator, "Box", "D"), "");
  EXPECT_EQ(TranslateDialogText(translator, "Box", "E"), ""); // an empty Common value empties too
  EXPECT_EQ(TranslateDialogText(translator, "Box", "F"), std::nullopt);
  EXPECT_EQ(TranslateDialogText(translator, "Other", "A"), "common A");
}

// ---- the shipped language files ------------------------------------------------------------

std::mutex gHeardLock;
std::set<std::pair<std::string, std::string>> gHeard;

void Hear(std::string_view section, std::string_view key) {
  const std::lock_guard g(gHeardLock);
  gHeard.emplace(section, key);
}

// Everything a user meets: the window in its states, the tray, the menus, the About box, the
// notice and the message boxes.
void ExerciseEverything(WindowBench& bench) {
  bench.settings.WriteConfigInt("Client", "Enable", 0);
  bench.setPortCount = [&](int /*count*/) { return bench.devices.virtualPorts = 6; };
  MainWindow& w = bench.Open();
  w.EnableTray();
  w.show();
  OpenMenu(w.Tray()->Menu());
  w.hide();
  OpenMenu(w.Tray()->Menu());
  w.show();
  QContextMenuEvent right(QContextMenuEvent::Mouse, QPoint(2, 2), w.mapToGlobal(QPoint(2, 2)));
  QApplication::sendEvent(&w, &right);
  w.WindowMenu().hide();
  AboutBox about(bench.translator);
  w.OpenStatistics();
  w.Statistics()->close();

  Find<QCheckBox>(w, "server")->click();
  Find<QCheckBox>(w, "client")->click();
  CMainDlg& c = w.Controller();
  c.OnStatusReport(kReportConnection, static_cast<int>(net::ConnectionState::Connecting));
  w.RefreshStatus();
  c.OnStatusReport(kReportConnection, static_cast<int>(net::ConnectionState::Connected));
  c.OnStatusReport(kReportProbeResult, 4);
  w.RefreshStatus();
  c.OnStatusReport(kReportConnection, static_cast<int>(net::ConnectionState::PortInUse));
  w.RefreshStatus();
  c.OnStatusReport(kReportConnection, static_cast<int>(net::ConnectionState::Disconnected));
  w.RefreshStatus();
  Find<QCheckBox>(w, "client")->click();
  w.RefreshStatus();
  Find<QCheckBox>(w, "server")->click();
  w.RefreshStatus();

  auto* port = Find<QLineEdit>(w, "serverPort");
  port->setText(QString());
  c.OnPortEdited();
  port->setText(QStringLiteral("70000"));
  c.OnPortEdited();
  port->setText(QStringLiteral("8800"));
  c.OnPortEdited();
  w.ShowError("clt.Create");

  Find<QCheckBox>(w, "server")->click();
  bench.devices.virtualPorts = 4;
  w.StatusTick();
  Find<QPushButton>(w, "restorePorts")->click();
}

class ShippedLanguageTest : public ::testing::TestWithParam<const char*> {
protected:
  static std::string Content(const char* name) {
    const auto content = ini::ReadFile(std::filesystem::path(KESTREL_LANG_DIR) / name);
    if (!content) ADD_FAILURE() << "cannot read " << name;
    return content.value_or(std::string());
  }
};

TEST_P(ShippedLanguageTest, HoldsEveryTextTheProgramLooksUp) {
  {
    const std::lock_guard g(gHeardLock);
    gHeard.clear();
  }
  Translator::SetLookupObserver(&Hear);
  {
    WindowBench bench;
    bench.translator = Translator(std::string(KESTREL_LANG_DIR) + "/" + GetParam(), {});
    ExerciseEverything(bench);
    EXPECT_TRUE(bench.fatal.empty());
    EXPECT_EQ(bench.messages.size(), 4U); // two port messages, the error box, the restore error
  }
  Translator::SetLookupObserver(nullptr);

  const std::string content = Content(GetParam());
  const std::lock_guard g(gHeardLock);
  std::set<std::string> keys;
  for (const auto& [section, key] : gHeard) {
    if (key.empty()) continue;
    keys.insert(key);
    const std::string escaped = EscapeText(key);
    EXPECT_TRUE(ini::FindValue(content, section, escaped) || ini::FindValue(content, "Common", escaped))
        << GetParam() << " lacks [" << section << "] " << escaped;
  }
  // The exercise reached what it is meant to reach.
  for (const char* text :
       {"Please enter a positive integer.",
        "Please enter a UDP port from 1 to 65535.",
        "Error: Setting KestrelPorts count failed.\nTry at first to release MIDI devices or restart the Computer",
        "Restarting MIDI Drivers. Please Wait...",
        "Error: Port %d already in use",
        "delay: %d ms",
        "--Not Connected--",
        "--Disabled--",
        "Minimize Kestrel to Tray",
        "Open Kestrel",
        "Server On/Off",
        "Client On/Off",
        "Exit",
        "&About Vantor Kestrel...",
        "About Vantor Kestrel",
        "&Statistics...",
        "Kestrel Statistics",
        "Counted since Kestrel started:",
        "Malformed records",
        "Datagrams from a second server",
        "Close",
        "Support:",
        "Error: %s",
        "Kestrel",
        "Kestrel - Connected",
        "Kestrel - Disconnected",
        "Kestrel - Server",
        "Restore Kestrel ports",
        "TimeStamp",
        "MidiDump\nTo AutoScroll - press End",
        "Connected",
        "Connecting...",
        "Disconnected"}) {
    EXPECT_EQ(keys.count(text), 1U) << "never looked up: " << EscapeText(text);
  }
}

TEST_P(ShippedLanguageTest, TranslatesEveryKeyItHolds) {
  const std::string content = Content(GetParam());
  std::string section;
  std::size_t entries = 0;
  std::istringstream lines(content);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      section = line.substr(1, line.find(']') - 1);
      continue;
    }
    const auto eq = line.find('=');
    ASSERT_NE(eq, std::string::npos) << line;
    const std::string value = line.substr(eq + 1);
    EXPECT_FALSE(value.empty()) << line;
    EXPECT_NE(value, "***") << line;
    // A value in quotes would lose them on reading.
    EXPECT_FALSE(value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        << line;
    // The same placeholders and line breaks as the English text.
    const std::string key = line.substr(0, eq);
    const auto count = [](const std::string& text, const std::string& what) {
      std::size_t n = 0;
      for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
      return n;
    };
    for (const char* mark : {"%d", "%s", "\\n"}) EXPECT_EQ(count(key, mark), count(value, mark)) << line;
    ++entries;
  }
  EXPECT_GT(entries, 60U);
}

INSTANTIATE_TEST_SUITE_P(Files, ShippedLanguageTest, ::testing::Values("Lang.de", "Lang.fr"));

TEST(ShippedLanguages, GermanAndFrenchHoldTheSameKeys) {
  const auto keysOf = [](const char* name) {
    std::set<std::string> keys;
    std::ifstream in(std::filesystem::path(KESTREL_LANG_DIR) / name);
    std::string section;
    for (std::string line; std::getline(in, line);) {
      if (line.empty() || line.front() == ';') continue;
      if (line.front() == '[') {
        section = line;
      } else {
        keys.insert(section + line.substr(0, line.find('=')));
      }
    }
    return keys;
  };
  EXPECT_EQ(keysOf("Lang.de"), keysOf("Lang.fr"));
}

} // namespace
} // namespace kestrel::ui
