// SPDX-License-Identifier: GPL-3.0-or-later
// What the window opens and how it reads: colours on every theme and the indicators a screen reader
// and the keyboard reach, the port restore button with its busy notice and its message, the About
// box with its links and its ways in, and the statistics view.

#include "desktop_fixture.hpp"
#include "platform/beep.hpp"
#include "ui/about_box.hpp"
#include "ui/dump_list.hpp"
#include "ui/indicator_widgets.hpp"
#include "ui/link_label.hpp"
#include "ui/statistics_view.hpp"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPalette>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace kestrel::ui {
namespace {

using test::DesktopTest;
using test::Find;
using test::Item;
using test::MenuTexts;

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

} // namespace
} // namespace kestrel::ui
