// SPDX-License-Identifier: GPL-3.0-or-later
// The tray icon: its menu follows the window and the engines and acts as their switches, its
// picture and tip are handed over only when they change, and minimizing, Escape, Enter and the
// close box go to it once there is one (also one that appears after the start).

#include "desktop_fixture.hpp"
#include "ui/tray_icon.hpp"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QTest>

#include <gtest/gtest.h>

#include <string>

namespace kestrel::ui {
namespace {

using controller::kReportConnection;
using test::DesktopTest;
using test::Find;
using test::Item;
using test::MenuTexts;
using test::OpenMenu;

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

} // namespace
} // namespace kestrel::ui
