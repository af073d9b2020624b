// SPDX-License-Identifier: GPL-3.0-or-later
// The window's place on the desktop: the tray icon and its menu, the About box and its links, the
// statistics view, the port restore button, and the translation of every window and text from the language files
// (files written here, and the shipped ones in data/lang).

#include "core/beep.hpp"
#include "core/ini_file.hpp"
#include "core/realtime.hpp"
#include "support/child_process.hpp"
#include "ui/about_box.hpp"
#include "ui/dump_list.hpp"
#include "ui/indicator_widgets.hpp"
#include "ui/link_label.hpp"
#include "ui/statistics_view.hpp"
#include "ui/translated_dialog.hpp"
#include "ui/tray_icon.hpp"
#include "window_fixture.hpp"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDialog>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPalette>
#include <QPushButton>
#include <QRegularExpression>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <ostream>
#include <set>
#include <sstream>
#include <utility>

namespace kestrel::ui {
namespace {

using controller::kReportConnection;
using controller::kReportProbeResult;
using test::Find;
using test::WindowBench;

QStringList MenuTexts(const QMenu& menu) {
  QStringList texts;
  for (const QAction* a : menu.actions()) texts << (a->isSeparator() ? QStringLiteral("----") : a->text());
  return texts;
}

QAction* Item(QMenu& menu, int index) { return menu.actions().at(index); }

// The menu as the user sees it: opening it brings its items up to date.
void OpenMenu(QMenu& menu) {
  menu.popup(QPoint(0, 0));
  menu.hide();
}

class DesktopTest : public test::WindowTest {
protected:
  // Selects a language file with `content`, written into the bench's folder.
  void UseLanguage(const std::string& content) {
    const auto path = bench.dir.Path() / "Lang.xx";
    std::ofstream(path) << content;
    bench.translator = Translator(path.string(), bench.dir.Path());
  }

  // Opens the window with its tray icon, shown.
  MainWindow& OpenWithTray() {
    MainWindow& w = bench.Open();
    w.EnableTray();
    w.show();
    return w;
  }
};

// ---- tray -----------------------------------------------------------------------------------

TEST_F(DesktopTest, TrayMenuItemsFollowTheWindowAndTheEngines) {
  MainWindow& w = OpenWithTray();
  QMenu& menu = w.Tray()->Menu();
  OpenMenu(menu);
  EXPECT_EQ(MenuTexts(menu),
            (QStringList{"Minimize Kestrel to Tray", "Server On/Off", "Client On/Off", "----", "Exit"}));
  EXPECT_FALSE(Item(menu, 1)->isChecked());
  EXPECT_FALSE(Item(menu, 2)->isChecked());

  Find<QCheckBox>(w, "server")->click();
  w.hide();
  OpenMenu(menu);
  EXPECT_EQ(Item(menu, 0)->text(), "Open Kestrel");
  EXPECT_TRUE(Item(menu, 1)->isChecked());
  EXPECT_FALSE(Item(menu, 2)->isChecked());
}

TEST_F(DesktopTest, TrayServerAndClientItemsActAsTheirCheckBoxes) {
  MainWindow& w = OpenWithTray();
  QMenu& menu = w.Tray()->Menu();
  OpenMenu(menu);
  Item(menu, 1)->trigger();
  EXPECT_TRUE(w.Controller().ServerRunning());
  EXPECT_TRUE(Find<QCheckBox>(w, "server")->isChecked());
  EXPECT_EQ(Stored("Server", "Enable"), 1);
  EXPECT_TRUE(Find<QCheckBox>(w, "serverRow1")->isEnabled());

  OpenMenu(menu);
  EXPECT_TRUE(Item(menu, 1)->isChecked());
  Item(menu, 1)->trigger();
  EXPECT_FALSE(w.Controller().ServerRunning());
  EXPECT_FALSE(Find<QCheckBox>(w, "server")->isChecked());
  EXPECT_EQ(Stored("Server", "Enable"), 0);

  OpenMenu(menu);
  Item(menu, 2)->trigger();
  EXPECT_TRUE(w.Controller().ClientRunning());
  EXPECT_TRUE(Find<QCheckBox>(w, "client")->isChecked());
  EXPECT_EQ(Stored("Client", "Enable"), 1);
  OpenMenu(menu);
  EXPECT_TRUE(Item(menu, 2)->isChecked());
  Item(menu, 2)->trigger();
  EXPECT_FALSE(w.Controller().ClientRunning());
  EXPECT_EQ(Stored("Client", "Enable"), 0);
}

TEST_F(DesktopTest, TrayFirstItemAndLeftClickShowAndHideTheWindow) {
  MainWindow& w = OpenWithTray();
  QMenu& menu = w.Tray()->Menu();
  OpenMenu(menu);
  Item(menu, 0)->trigger();
  EXPECT_FALSE(w.isVisible());
  OpenMenu(menu);
  ASSERT_EQ(Item(menu, 0)->text(), "Open Kestrel");
  Item(menu, 0)->trigger();
  EXPECT_TRUE(w.isVisible());

  QSystemTrayIcon& icon = w.Tray()->Icon();
  Q_EMIT icon.activated(QSystemTrayIcon::Trigger);
  EXPECT_FALSE(w.isVisible());
  Q_EMIT icon.activated(QSystemTrayIcon::Context); // the menu's business, not the window's
  EXPECT_FALSE(w.isVisible());
  Q_EMIT icon.activated(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(w.isVisible());
}

TEST_F(DesktopTest, TrayExitEndsTheProgramOnceTheMenuHasClosed) {
  MainWindow& w = OpenWithTray();
  Find<QCheckBox>(w, "server")->click();
  QMenu& menu = w.Tray()->Menu();
  OpenMenu(menu);
  Item(menu, 4)->trigger();
  EXPECT_FALSE(bench.glue.Quitting()); // queued
  QCoreApplication::processEvents();
  EXPECT_TRUE(bench.glue.Quitting());
  EXPECT_FALSE(w.Controller().ServerRunning());
  EXPECT_EQ(Stored("Server", "Enable"), 1); // ending is no switching off
  // Leaving the event loop outside of it leaves every later modal loop ending at once, until the
  // application's own loop has run: run it, so that the following tests can open dialogs.
  QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
  QCoreApplication::exec();
}

TEST_F(DesktopTest, TrayPictureAndTipAreHandedOverOnlyWhenTheyChange) {
  MainWindow& w = OpenWithTray();
  TrayIcon& tray = *w.Tray();
  EXPECT_EQ(tray.Picture(), TrayPicture::Program);
  EXPECT_EQ(tray.Icon().toolTip(), "Kestrel");
  const int pictures = tray.PictureChanges();
  const int tips = tray.TipChanges();
  for (int i = 0; i < 5; ++i) w.StatusTick();
  EXPECT_EQ(tray.PictureChanges(), pictures);
  EXPECT_EQ(tray.TipChanges(), tips);

  Find<QCheckBox>(w, "server")->click();
  w.RefreshStatus();
  w.RefreshStatus();
  EXPECT_EQ(tray.Picture(), TrayPicture::ServerAlone);
  EXPECT_EQ(tray.Icon().toolTip(), "Kestrel - Server");
  EXPECT_EQ(tray.PictureChanges(), pictures + 1);
  EXPECT_EQ(tray.TipChanges(), tips + 1);

  // Client on: the picture changes with the connection, the tip with it.
  Find<QCheckBox>(w, "client")->click();
  w.RefreshStatus();
  EXPECT_EQ(tray.Picture(), TrayPicture::Both);
  EXPECT_EQ(tray.Icon().toolTip(), "Kestrel - Disconnected");
  w.Controller().OnStatusReport(kReportConnection, static_cast<int>(net::ConnectionState::Connected));
  w.RefreshStatus();
  w.RefreshStatus();
  EXPECT_EQ(tray.Picture(), TrayPicture::BothConnected);
  EXPECT_EQ(tray.Icon().toolTip(), "Kestrel - Connected");
  EXPECT_EQ(tray.PictureChanges(), pictures + 3);
  EXPECT_EQ(tray.TipChanges(), tips + 3);
}

TEST_F(DesktopTest, TrayTipIsTranslatedAndCutTo127Characters) {
  const std::string longTip(200, 'k');
  UseLanguage("[Common]\nKestrel - Server=" + longTip + "\nServer On/Off=Serveur marche/arret\n");
  MainWindow& w = OpenWithTray();
  Find<QCheckBox>(w, "server")->click();
  w.RefreshStatus();
  EXPECT_EQ(w.Tray()->Icon().toolTip(), QString::fromStdString(longTip.substr(0, 127)));
  OpenMenu(w.Tray()->Menu());
  EXPECT_EQ(Item(w.Tray()->Menu(), 1)->text(), "Serveur marche/arret");
  EXPECT_EQ(Item(w.Tray()->Menu(), 2)->text(), "Client On/Off");
}

TEST_F(DesktopTest, MinimizingHidesToTheTrayOnlyWhenThereIsOne) {
  MainWindow& w = bench.Open();
  w.show();
  w.showMinimized();
  QCoreApplication::processEvents();
  EXPECT_TRUE(w.isVisible()); // no tray: the task bar keeps the window reachable

  w.EnableTray();
  w.ShowMainWindow(true);
  w.showMinimized();
  QCoreApplication::processEvents();
  EXPECT_FALSE(w.isVisible());
  Q_EMIT w.Tray()->Icon().activated(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(w.isVisible());
  EXPECT_FALSE(w.isMinimized());
}

// With a tray, hiding is safe: Escape and Enter hide the window to it, and closing the window
// does nothing (the program ends through "Exit").
TEST_F(DesktopTest, WithATrayEscapeAndEnterHideToItAndClosingDoesNothing) {
  MainWindow& w = OpenWithTray();
  EXPECT_FALSE(w.close());
  EXPECT_TRUE(w.isVisible());
  EXPECT_EQ(w.findChild<QMessageBox*>(QStringLiteral("stopQuestion")), nullptr);
  QTest::keyClick(&w, Qt::Key_Escape);
  EXPECT_FALSE(w.isVisible());
  w.ShowMainWindow(true);
  QTest::keyClick(Find<QLineEdit>(w, "clientPort"), Qt::Key_Return);
  EXPECT_FALSE(w.isVisible());
  EXPECT_FALSE(bench.glue.Quitting());
}

// A panel that starts after Kestrel: the window looks again and takes the tray up when it comes.
TEST_F(DesktopTest, ATrayThatAppearsLaterIsTakenUp) {
  MainWindow& w = bench.Open();
  w.show();
  bool available = false;
  w.WatchForTray([&] { return available; }, 10);
  QTest::qWait(50);
  EXPECT_EQ(w.Tray(), nullptr);
  available = true;
  EXPECT_TRUE(QTest::qWaitFor([&] { return w.Tray() != nullptr; }, 2000));
  QTest::keyClick(&w, Qt::Key_Escape);
  EXPECT_FALSE(w.isVisible()) << "hidden to the tray that is there now";
}

// The pictures say what they stand for: a keyboard, a whole green band on top while connected, a
// red one broken in the middle while not, a blue frame while the server runs.
TEST(TrayPictures, MarksMatchWhatTheyStandFor) {
  constexpr int kSize = 64;
  struct Expect {
    TrayPicture picture;
    const char* band; // "green", "red" or "" for none
    bool frame;
  };
  const auto kind = [](QColor c) -> std::string {
    if (c.alpha() < 128) return "";
    if (c.green() > 150 && c.red() < 80 && c.blue() < 80) return "green";
    if (c.red() > 180 && c.green() < 80 && c.blue() < 80) return "red";
    if (c.blue() > 180 && c.red() < 80) return "blue";
    if (c.red() > 200 && c.green() > 200 && c.blue() > 200) return "white";
    return "other";
  };
  for (const Expect& e :
       {Expect{TrayPicture::Program, "", false}, Expect{TrayPicture::ClientAlone, "red", false},
        Expect{TrayPicture::ClientAloneConnected, "green", false}, Expect{TrayPicture::ServerAlone, "", true},
        Expect{TrayPicture::Both, "red", true}, Expect{TrayPicture::BothConnected, "green", true}}) {
    const QImage image = TrayPixmap(e.picture, kSize).toImage();
    SCOPED_TRACE(static_cast<int>(e.picture));
    ASSERT_EQ(image.size(), QSize(kSize, kSize));
    // Just inside the frame's place on the left edge, half-way down.
    EXPECT_EQ(kind(image.pixelColor(2, kSize / 2)) == "blue", e.frame);
    // The band's place: the top of the second white key.
    const std::string band = kind(image.pixelColor(kSize * 3 / 10, kSize / 6));
    EXPECT_EQ(band == "green" || band == "red" ? band : std::string(), e.band);
    // Seen without colour: the band is whole while connected and broken in the middle while not.
    if (!std::string(e.band).empty()) {
      const bool middle = !kind(image.pixelColor(kSize / 2, kSize / 6)).empty() &&
                          kind(image.pixelColor(kSize / 2, kSize / 6)) != "white";
      EXPECT_EQ(middle, std::string(e.band) == "green");
    }
    // The keys' white shows near the bottom in every picture.
    EXPECT_EQ(kind(image.pixelColor(kSize * 3 / 10, kSize * 8 / 10)), "white");
  }
}

// Readable on a dark theme as on a light one: the error text and the links take their colours
// from the palette (the classic blue and purple on a light window), and what a screen reader
// hears follows the lamps and the connection. The test note can be played from the keyboard.
TEST_F(DesktopTest, ColoursReadOnEveryThemeAndTheIndicatorsSpeakAndTakeTheKeyboard) {
  QPalette dark;
  dark.setColor(QPalette::Window, QColor(32, 32, 36));
  dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
  dark.setColor(QPalette::Link, QColor(20, 20, 140)); // a theme whose own link colour is unreadable
  for (const QPalette& palette : {QPalette(QColor(239, 239, 239)), dark}) {
    const QColor window = palette.color(QPalette::Window);
    EXPECT_GE(ContrastRatio(ErrorColour(palette), window), 4.5) << window.name().toStdString();
    EXPECT_GE(ContrastRatio(LinkColour(palette, false), window), 4.5) << window.name().toStdString();
    EXPECT_GE(ContrastRatio(LinkColour(palette, true), window), 3.0) << window.name().toStdString();
  }
  EXPECT_EQ(LinkColour(QPalette(QColor(239, 239, 239)), false), QColor(0, 0, 255));

  MainWindow& w = bench.Open();
  w.setPalette(dark);
  EXPECT_TRUE(Find<QLabel>(w, "error")->styleSheet().contains(ErrorColour(dark).name()));

  auto* lamp = Find<Lamp>(w, "lamp3");
  EXPECT_EQ(lamp->accessibleName(), "Kestrel Port3 activity");
  EXPECT_EQ(lamp->accessibleDescription(), "dark");
  lamp->SetLit(true);
  EXPECT_EQ(lamp->accessibleDescription(), "lit");
  auto* connection = Find<ConnectionDisplay>(w, "connection");
  connection->SetState(static_cast<int>(net::ConnectionState::Connected));
  EXPECT_EQ(connection->accessibleDescription(), "Connected");

  std::vector<LampMouse> heard;
  Lamp keyed([&](LampMouse what) { heard.push_back(what); });
  EXPECT_EQ(keyed.focusPolicy(), Qt::TabFocus);
  QTest::keyPress(&keyed, Qt::Key_Space);
  QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QString(" "), true);
  QCoreApplication::sendEvent(&keyed, &repeat);
  QTest::keyRelease(&keyed, Qt::Key_Space);
  EXPECT_EQ(heard, (std::vector<LampMouse>{LampMouse::Press, LampMouse::Release})) << "one note, however long held";
}

// ---- restoring the provider's ports --------------------------------------------------------

TEST_F(DesktopTest, RestoreButtonIsUsableOnlyWhilePortsAreMissing) {
  int asked = 0;
  bool noticeShown = false;
  bench.setPortCount = [&](int count) {
    asked = count;
    const auto* notice = bench.window->findChild<QLabel*>(QStringLiteral("busyText"));
    for (QWidget* top : QApplication::topLevelWidgets()) {
      if (top->objectName() == "busyNotice" && top->isVisible()) {
        noticeShown = top->findChild<QLabel*>()->text() == "Restarting MIDI Drivers. Please Wait...";
      }
    }
    EXPECT_EQ(notice, nullptr); // a window of its own, not a part of the main window
    bench.devices.virtualPorts = count;
    return count;
  };
  MainWindow& w = bench.Open();
  w.show();
  auto* restore = Find<QPushButton>(w, "restorePorts");
  EXPECT_FALSE(restore->isEnabled());
  Find<QCheckBox>(w, "server")->click();
  w.StatusTick();
  EXPECT_FALSE(restore->isEnabled());

  bench.devices.virtualPorts = 5; // three ports vanished while the server ran
  w.StatusTick();
  ASSERT_EQ(restore->isEnabled(), w.Controller().RestoreAvailable());
  ASSERT_TRUE(restore->isEnabled());
  restore->click();
  EXPECT_EQ(asked, 8);
  EXPECT_TRUE(noticeShown);
  EXPECT_FALSE(restore->isEnabled());
  EXPECT_TRUE(bench.messages.empty());
  EXPECT_TRUE(w.Controller().ServerRunning());
  EXPECT_TRUE(Find<QCheckBox>(w, "serverRow8")->isEnabled());
  for (QWidget* top : QApplication::topLevelWidgets()) EXPECT_NE(top->objectName(), "busyNotice");
}

TEST_F(DesktopTest, RestoreThatBringsBackTooFewPortsSaysSo) {
  bench.setPortCount = [&](int /*count*/) {
    bench.devices.virtualPorts = 6;
    return 6;
  };
  MainWindow& w = bench.Open();
  Find<QCheckBox>(w, "server")->click();
  bench.devices.virtualPorts = 4;
  w.StatusTick();
  Find<QPushButton>(w, "restorePorts")->click();
  ASSERT_EQ(bench.messages.size(), 1U);
  EXPECT_EQ(bench.messages.front(),
            "Error: Setting KestrelPorts count failed.\nTry at first to release MIDI devices or restart the Computer");
  EXPECT_FALSE(Find<QPushButton>(w, "restorePorts")->isEnabled());
  EXPECT_TRUE(Find<QCheckBox>(w, "serverRow6")->isEnabled());
  EXPECT_FALSE(Find<QCheckBox>(w, "serverRow7")->isEnabled());
}

TEST_F(DesktopTest, WithoutAProviderToRestartTheButtonStaysOff) {
  MainWindow& w = bench.Open();
  Find<QCheckBox>(w, "server")->click();
  bench.devices.virtualPorts = 5;
  w.StatusTick();
  EXPECT_FALSE(Find<QPushButton>(w, "restorePorts")->isEnabled());
}

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

// ---- links ----------------------------------------------------------------------------------

std::atomic<int> gBells{0};
void CountBell() { ++gBells; }

TEST_F(DesktopTest, ClickedLinkOpensItsTextAndTurnsPurple) {
  std::vector<QUrl> opened;
  AboutBox box(bench.translator, [&](const QUrl& url) {
    opened.push_back(url);
    return true;
  });
  box.show();
  LinkLabel& web = box.WebLink();
  EXPECT_EQ(web.Colour(), QColor(0, 0, 255));
  EXPECT_EQ(web.palette().color(QPalette::WindowText), QColor(0, 0, 255));
  EXPECT_TRUE(web.font().underline());
  EXPECT_EQ(web.cursor().shape(), Qt::PointingHandCursor);

  QTest::mouseClick(&web, Qt::LeftButton);
  ASSERT_EQ(opened.size(), 1U);
  EXPECT_EQ(opened[0].toString(), "https://kestrel.example.org");
  EXPECT_EQ(web.Colour(), QColor(128, 0, 128));
  EXPECT_EQ(web.palette().color(QPalette::WindowText), QColor(128, 0, 128));
  EXPECT_EQ(box.MailLink().Colour(), QColor(0, 0, 255));

  // "Support:" is no link.
  QTest::mouseClick(Find<QLabel>(box, "support"), Qt::LeftButton);
  EXPECT_EQ(opened.size(), 1U);
  EXPECT_EQ(dynamic_cast<LinkLabel*>(Find<QLabel>(box, "support")), nullptr);
}

TEST_F(DesktopTest, LinkThatCannotBeOpenedBeepsAndStaysBlue) {
  SetBell(&CountBell);
  const int before = gBells.load();
  AboutBox box(bench.translator, [](const QUrl&) { return false; });
  box.show();
  QTest::mouseClick(&box.MailLink(), Qt::LeftButton);
  EXPECT_EQ(gBells.load(), before + 1);
  EXPECT_EQ(box.MailLink().Colour(), QColor(0, 0, 255));
  EXPECT_EQ(box.MailLink().Target(), "mailto:support@kestrel.example.org");
  SetBell(nullptr);
}

TEST(LinkLabel, GivenTargetWinsOverTheTextAndAnEmptyLinkDoesNothing) {
  std::vector<QUrl> opened;
  const auto opener = [&](const QUrl& url) {
    opened.push_back(url);
    return true;
  };
  LinkLabel named(QStringLiteral("Our web site"), QStringLiteral("https://kestrel.example.org/start"), opener);
  named.Open();
  LinkLabel empty(QString(), {}, opener);
  empty.Open();
  ASSERT_EQ(opened.size(), 1U);
  EXPECT_EQ(opened[0].toString(), "https://kestrel.example.org/start");
  EXPECT_EQ(empty.Colour(), QColor(0, 0, 255));
}

// ---- the About box's ways in ----------------------------------------------------------------

// Runs `open` and expects the About box to come up modal; closes it.
void ExpectAboutBox(const std::function<void()>& open) {
  QString seen;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (auto* box = dynamic_cast<AboutBox*>(QApplication::activeModalWidget())) {
      seen = box->windowTitle();
      box->reject();
    }
  });
  closer.start(0);
  open();
  QCoreApplication::processEvents();
  closer.stop();
  EXPECT_EQ(seen, "About Vantor Kestrel");
}

TEST_F(DesktopTest, AboutBoxOpensFromF1TheButtonAndTheWindowMenu) {
  MainWindow& w = bench.Open();
  w.show();
  ExpectAboutBox([&] { QTest::keyClick(&w.DumpList(), Qt::Key_F1); });
  ExpectAboutBox([&] { Find<QPushButton>(w, "about")->click(); });

  auto* label = w.findChild<QGroupBox*>();
  QContextMenuEvent right(QContextMenuEvent::Mouse, QPoint(5, 5), label->mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(label, &right);
  QMenu& menu = w.WindowMenu();
  EXPECT_TRUE(menu.isVisible());
  ASSERT_EQ(MenuTexts(menu), (QStringList{"&About Vantor Kestrel...", "&Statistics...", "Exit"}));
  ExpectAboutBox([&] {
    menu.actions().front()->trigger();
    menu.hide();
  });
}

// ---- the statistics view --------------------------------------------------------------------

// From the window's menu, beside the window and not modal: every counter with its value, the
// time counting began, the values followed once a second while it shows; opened again, the same
// view comes back.
TEST_F(DesktopTest, StatisticsViewOpensFromTheMenuAndFollowsTheCounters) {
  bench.drops.Add(Drop::SecondServer, 7);
  MainWindow& w = bench.Open();
  w.show();
  QContextMenuEvent right(QContextMenuEvent::Mouse, QPoint(5, 5), w.mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(&w, &right);
  QMenu& menu = w.WindowMenu();
  ASSERT_EQ(MenuTexts(menu).at(1), "&Statistics...");
  Item(menu, 1)->trigger();
  menu.hide();
  StatisticsView* view = w.Statistics();
  ASSERT_NE(view, nullptr);
  EXPECT_TRUE(view->isVisible());
  EXPECT_FALSE(view->isModal());
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "the window stays usable";
  EXPECT_EQ(view->windowTitle(), "Kestrel Statistics");

  for (std::size_t i = 0; i < kDropKinds; ++i) {
    const QLabel& value = view->Value(static_cast<Drop>(i));
    EXPECT_EQ(value.objectName().toStdString(), kDropNames[i].key);
    EXPECT_EQ(value.accessibleName().toStdString(), kDropNames[i].label);
    EXPECT_EQ(value.text(), static_cast<Drop>(i) == Drop::SecondServer ? "7" : "0") << kDropNames[i].key;
    auto* label = Find<QLabel>(*view, (std::string(kDropNames[i].key) + "Label").c_str());
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text().toStdString(), kDropNames[i].label);
  }
  EXPECT_TRUE(Find<QLabel>(*view, "sinceText")->text().contains("since"));
  const QString since = Find<QLabel>(*view, "since")->text();
  EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$")).match(since).hasMatch())
      << since.toStdString();

  // The engines count on: the view follows without being asked.
  bench.drops.Add(Drop::Malformed, 3);
  EXPECT_TRUE(QTest::qWaitFor([&] { return view->Value(Drop::Malformed).text() == "3"; }, 3000));

  Find<QPushButton>(*view, "close")->click();
  EXPECT_FALSE(view->isVisible());
  bench.drops.Add(Drop::OutputRefused);
  w.OpenStatistics();
  EXPECT_EQ(w.Statistics(), view) << "one view, brought back";
  EXPECT_TRUE(view->isVisible());
  EXPECT_EQ(view->Value(Drop::OutputRefused).text(), "1") << "up to date as it shows again";
  view->close();
}

TEST_F(DesktopTest, StatisticsViewIsTranslatedAndItsNumbersAndTimeAreNot) {
  UseLanguage("[Common]\n"
              "&Statistics...=&Statistiques...\n"
              "[Kestrel Statistics]\n"
              "Kestrel Statistics=Statistiques\n"
              "Malformed records=Enregistrements mal formes\n"
              "Close=Fermer\n");
  bench.drops.Add(Drop::Malformed, 12);
  MainWindow& w = bench.Open();
  QContextMenuEvent right(QContextMenuEvent::Mouse, QPoint(5, 5), w.mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(&w, &right);
  EXPECT_EQ(MenuTexts(w.WindowMenu()).at(1), "&Statistiques...");
  w.WindowMenu().hide();
  w.OpenStatistics();
  StatisticsView& view = *w.Statistics();
  EXPECT_EQ(view.windowTitle(), "Statistiques");
  EXPECT_EQ(Find<QLabel>(view, "malformedLabel")->text(), "Enregistrements mal formes");
  EXPECT_EQ(Find<QPushButton>(view, "close")->text(), "Fermer");
  EXPECT_EQ(view.Value(Drop::Malformed).text(), "12");
  EXPECT_FALSE(Find<QLabel>(view, "since")->text().isEmpty());
  view.close();
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
    ASSERT_TRUE(test::WaitUntil([&] {
      return X("xprop -root _NET_SUPPORTING_WM_CHECK").find('#') != std::string::npos;
    })) << test::ReadText(home.Path() / "desktop.log");
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
