// SPDX-License-Identifier: GPL-3.0-or-later
// The Qt main window on the offscreen platform: its controls reach the controller, and the
// controller's fields come back into the controls. The dump list: dump_list_test.cpp.

#include "net/udp_socket.hpp"
#include "platform/beep.hpp"
#include "ui/dump_list.hpp"
#include "ui/indicator_widgets.hpp"
#include "window_fixture.hpp"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kestrel::ui {
namespace {

using controller::CBin;
using controller::kReportConnection;
using controller::kReportProbeResult;
using test::Find;

QStringList Items(const QComboBox* combo) {
  QStringList items;
  for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
  return items;
}

using MainWindowTest = test::WindowTest;

// ---- server panel -----------------------------------------------------------------------------

TEST_F(MainWindowTest, ServerCheckBoxStartsAndStopsTheServerAndItsPanel) {
  MainWindow& w = bench.Open();
  auto* server = Find<QCheckBox>(w, "server");
  ASSERT_NE(server, nullptr);
  EXPECT_FALSE(Find<QCheckBox>(w, "serverRow1")->isEnabled());
  EXPECT_FALSE(Find<Lamp>(w, "lamp1")->isEnabled());
  EXPECT_FALSE(Find<QComboBox>(w, "midiIn")->isEnabled());

  server->click();
  EXPECT_TRUE(w.Controller().ServerRunning());
  EXPECT_EQ(Stored("Server", "Enable"), 1);
  EXPECT_TRUE(Find<QCheckBox>(w, "serverRow8")->isEnabled());
  EXPECT_TRUE(Find<Lamp>(w, "lamp8")->isEnabled());
  EXPECT_TRUE(Find<QLineEdit>(w, "serverPort")->isEnabled());
  EXPECT_TRUE(Find<QComboBox>(w, "midiIn")->isEnabled());

  server->click();
  EXPECT_FALSE(w.Controller().ServerRunning());
  EXPECT_EQ(Stored("Server", "Enable"), 0);
  EXPECT_FALSE(Find<QCheckBox>(w, "serverRow1")->isEnabled());
}

TEST_F(MainWindowTest, ServerRowsAndDumpOptionsAreStoredFromTheirCheckBoxes) {
  MainWindow& w = bench.Open();
  Find<QCheckBox>(w, "server")->click();
  auto* row3 = Find<QCheckBox>(w, "serverRow3");
  row3->click();
  EXPECT_EQ(Stored("Server", "Port3"), row3->isChecked() ? 1 : 0);
  row3->click();
  EXPECT_EQ(Stored("Server", "Port3"), row3->isChecked() ? 1 : 0);

  // The dump's "Server" is not the panel's "Server": it has its own key and leaves the engine be.
  auto* dumpServer = Find<QCheckBox>(w, "dumpServer");
  dumpServer->click();
  EXPECT_EQ(Stored("Server", "Log"), dumpServer->isChecked() ? 1 : 0);
  EXPECT_EQ(bench.flags.serverLog.load(), dumpServer->isChecked());
  EXPECT_TRUE(w.Controller().ServerRunning());
  Find<QCheckBox>(w, "filterTimingClock")->click();
  EXPECT_EQ(Stored("Pref", "FilterTC"), 0);
  EXPECT_FALSE(bench.flags.filterTimingClock.load());
}

TEST_F(MainWindowTest, LampLightsOnTheTickAfterItsPortWasActiveAndGoesDarkLater) {
  MainWindow& w = bench.Open();
  auto* lamp = Find<Lamp>(w, "lamp2");
  w.Controller().Inbox().LampTrigger(2);
  EXPECT_FALSE(lamp->Lit()); // painted on the tick, not from the capture thread
  w.StatusTick();
  EXPECT_TRUE(lamp->Lit());
  EXPECT_FALSE(Find<Lamp>(w, "lamp1")->Lit());
  for (int i = 0; i < CBin::kHoldTicks; ++i) w.StatusTick();
  EXPECT_FALSE(lamp->Lit());
}

// ---- client panel -----------------------------------------------------------------------------

TEST_F(MainWindowTest, ClientRowsOpenTheirDeviceOrFallBackToOff) {
  MainWindow& w = bench.Open();
  EXPECT_FALSE(Find<QComboBox>(w, "output1")->isEnabled());
  Find<QCheckBox>(w, "client")->click();
  ASSERT_TRUE(w.Controller().ClientRunning());
  EXPECT_EQ(Stored("Client", "Enable"), 1);

  auto* output1 = Find<QComboBox>(w, "output1");
  ASSERT_TRUE(output1->isEnabled());
  EXPECT_EQ(Items(output1),
            (QStringList{"--Not Connected--", "Broken Synth", "Kestrel Port1", "Kestrel Port2", "Synth A"}));
  output1->setCurrentIndex(output1->findText("Synth A"));
  EXPECT_EQ(bench.settings.ReadConfigText(config::ClientDeviceKey(1)), "Synth A");
  auto* row1 = Find<QCheckBox>(w, "clientRow1");
  row1->click();
  EXPECT_TRUE(row1->isChecked());
  EXPECT_EQ(Stored("Client", "Port1"), 1);
  EXPECT_EQ(bench.outputs.OpenAt(0), "Synth A");

  // A device that refuses to open leaves its row unticked and stored off.
  auto* output2 = Find<QComboBox>(w, "output2");
  output2->setCurrentIndex(output2->findText("Broken Synth"));
  auto* row2 = Find<QCheckBox>(w, "clientRow2");
  row2->click();
  EXPECT_FALSE(row2->isChecked());
  EXPECT_EQ(Stored("Client", "Port2"), 0);
  EXPECT_EQ(bench.outputs.OpenAt(1), "");

  row1->click();
  EXPECT_EQ(Stored("Client", "Port1"), 0);
  EXPECT_EQ(bench.outputs.OpenAt(0), "");
}

// A flood from the LAN must not reach the user or the memory: each kind for 10 s, sent over
// loopback to a client listening with row 1 open, while the window is kept busy 30 ms at a time
// as painting would keep it. A datagram full of keep-alives, and fragments that keep breaking
// their sequence (two message ids in turn, each a beep before): the window's queue stays a few
// calls long, the window answers a click within 100 ms, memory stays flat, and the bell rings at
// most once a second, on the window's thread.
TEST_F(MainWindowTest, FloodsFromTheLanLeaveTheWindowAnsweringAndTheMemoryFlat) {
  ASSERT_EQ(std::system("ip link set lo up && ip addr replace 10.0.0.5/32 dev lo"), 0);
  bench.settings.WriteConfigInt("Client", "Enable", 1);
  bench.settings.WriteConfigInt(config::ClientPortKey(1), 1);
  bench.settings.WriteConfigText(config::ClientDeviceKey(1), "Synth A");
  MainWindow& w = bench.Open();
  ASSERT_TRUE(w.Controller().ClientRunning());
  ASSERT_EQ(bench.outputs.OpenAt(0), "Synth A");
  std::atomic<int> bells{0};
  std::atomic<int> bellsOffThread{0};
  const auto windowThread = std::this_thread::get_id();
  shell::InstallBell(bench.glue, [&] {
    ++bells;
    if (std::this_thread::get_id() != windowThread) ++bellsOffThread;
  });

  std::vector<std::byte> keepAlives;
  for (std::size_t i = 0; i + kShortRecordSize <= kReceiveBufferSize; i += kShortRecordSize) {
    const ShortRecord r = MakeKeepAlive(8);
    keepAlives.insert(keepAlives.end(), r.begin(), r.end());
  }
  const auto fragment = [](std::int32_t id, std::int32_t sequence) {
    std::vector<std::byte> d(kHeaderSize + 100, std::byte{0x55});
    EventRecord h;
    h.dataLength = 100;
    h.type = static_cast<std::int32_t>(RecordType::Fragment);
    h.port = 1;
    h.totalLength = 1000;
    h.messageId = id;
    h.sequence = sequence;
    StoreHeader(d.data(), h);
    return d;
  };
  const std::vector<std::vector<std::byte>> keepAliveFlood{keepAlives};
  // Both messages started, then each one's fragment 3 in turn: every datagram breaks a sequence.
  const std::vector<std::vector<std::byte>> fragmentFlood{fragment(7, 3), fragment(8, 3)};

  const auto rss = [] {
    long pages = 0;
    long resident = 0;
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (f != nullptr) {
      if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
      std::fclose(f);
    }
    return resident * sysconf(_SC_PAGESIZE);
  };
  const auto flood = [&](const char* kind, const std::vector<std::vector<std::byte>>& datagrams,
                         const std::vector<std::vector<std::byte>>& first) {
    net::CUdpSocket lan;
    ASSERT_TRUE(lan.Create(0, nullptr));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kDefaultUdpPort);
    to.sin_addr.s_addr = inet_addr("127.0.0.1");
    const auto send = [&](const std::vector<std::byte>& d) {
      sendto(lan.Fd(), d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    };
    for (const auto& d : first) send(d);
    std::atomic<bool> stop{false};
    std::atomic<long> sent{0};
    std::thread sender([&] {
      while (!stop.load()) {
        for (int i = 0; i < 10; ++i) send(datagrams[static_cast<std::size_t>(sent++) % datagrams.size()]);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
    const int bellsBefore = bells.load();
    const auto start = std::chrono::steady_clock::now();
    long rssAfterOneSecond = 0;
    std::chrono::milliseconds slowestAnswer{0};
    int unanswered = 0;
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30)); // busy painting
      w.StatusTick(); // as the program's status timer does every 30 ms: it rings what the engine handed over
      if (rssAfterOneSecond == 0 && std::chrono::steady_clock::now() - start > std::chrono::seconds(1)) {
        rssAfterOneSecond = rss();
      }
      // A click: queued behind whatever the engine queued meanwhile.
      const auto clicked = std::chrono::steady_clock::now();
      bool answered = false;
      bench.glue.Post([&answered] { answered = true; });
      while (!answered && std::chrono::steady_clock::now() - clicked < std::chrono::seconds(2)) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
      }
      if (!answered) ++unanswered;
      slowestAnswer =
          std::max(slowestAnswer,
                   std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - clicked));
    }
    stop = true;
    sender.join();
    const long grown = rss() - rssAfterOneSecond;
    std::printf("%s flood: %ld datagrams, slowest answer %lld ms, queue high water %zu, resident memory %+ld KiB, "
                "%d bells\n",
                kind, sent.load(), static_cast<long long>(slowestAnswer.count()), bench.glue.QueuedHighWater(),
                grown / 1024, bells.load() - bellsBefore);
    EXPECT_EQ(unanswered, 0) << kind;
    EXPECT_LT(slowestAnswer.count(), 100) << kind;
    EXPECT_LE(bench.glue.QueuedHighWater(), 8U) << kind;
    EXPECT_EQ(bench.glue.Dropped(), 0U) << kind;
    EXPECT_LT(grown, 4L << 20) << kind;
    EXPECT_LE(bells.load() - bellsBefore, 12) << kind;
  };
  flood("keep-alive", keepAliveFlood, {});
  EXPECT_EQ(w.Controller().State(), net::ConnectionState::Connected);
  flood("broken-fragment", fragmentFlood, {fragment(7, 0), fragment(8, 0)});
  EXPECT_GT(bells.load(), 0);
  EXPECT_EQ(bellsOffThread.load(), 0);
  SetBell(nullptr);
}

TEST_F(MainWindowTest, StoredRowsAndChoicesAreShownAtStart) {
  bench.settings.WriteConfigInt("Client", "Enable", 1);
  bench.settings.WriteConfigInt("Client", "Port3", 1);
  bench.settings.WriteConfigText("Client", "To3", "Synth A");
  bench.settings.WriteConfigText("Server", "MidiIN_Port", "Keystation 49");
  bench.settings.WriteConfigText("Server", "MidiIN_Port2", "Kestrel Port4");
  bench.settings.WriteConfigText("Server", "Interface", "eth0");
  MainWindow& w = bench.Open();
  EXPECT_TRUE(Find<QCheckBox>(w, "client")->isChecked());
  EXPECT_TRUE(Find<QCheckBox>(w, "clientRow3")->isChecked());
  EXPECT_EQ(Find<QComboBox>(w, "output3")->currentText(), "Synth A");
  EXPECT_EQ(bench.outputs.OpenAt(2), "Synth A");
  EXPECT_EQ(Find<QComboBox>(w, "ip")->currentText(), "10.0.0.5");
  EXPECT_EQ(Items(Find<QComboBox>(w, "midiIn")), (QStringList{"--Disabled--", "UM-ONE MIDI 1", "Keystation 49"}));
  EXPECT_EQ(Find<QComboBox>(w, "midiIn")->currentText(), "Keystation 49");
  EXPECT_EQ(Find<QComboBox>(w, "midiInTarget")->currentText(), "Kestrel Port4");
  EXPECT_EQ(Find<QLineEdit>(w, "clientPort")->text(), "8800");
  auto* network = Find<QComboBox>(w, "interface");
  EXPECT_EQ(Items(network), (QStringList{"Automatic", "eth0 - 10.0.0.5"}));
  EXPECT_EQ(network->currentText(), "eth0 - 10.0.0.5");
  network->setCurrentIndex(0);
  EXPECT_EQ(bench.settings.ReadConfigText(config::kServerInterface), "") << "chosen in the window, stored";
}

TEST_F(MainWindowTest, ChoicesFollowTheControllerWhenServerAndClientShareAPort) {
  MainWindow& w = bench.Open();
  Find<QCheckBox>(w, "client")->click();
  auto* output1 = Find<QComboBox>(w, "output1");
  output1->setCurrentIndex(output1->findText("Kestrel Port1"));
  Find<QCheckBox>(w, "clientRow1")->click();
  ASSERT_TRUE(Find<QCheckBox>(w, "clientRow1")->isChecked());

  // Both on port 8800: row 1 would play port 1 back into this machine's own Kestrel Port1.
  Find<QCheckBox>(w, "server")->click();
  EXPECT_EQ(output1->findText("Kestrel Port1"), -1);
  EXPECT_EQ(output1->currentIndex(), 0);
  EXPECT_FALSE(Find<QCheckBox>(w, "clientRow1")->isChecked());
  EXPECT_EQ(Stored("Client", "Port1"), 0);
  EXPECT_NE(Find<QComboBox>(w, "output2")->findText("Kestrel Port1"), -1);
}

TEST_F(MainWindowTest, ConnectionDisplayAndErrorTextTakeTurns) {
  MainWindow& w = bench.Open();
  Find<QCheckBox>(w, "client")->click();
  auto* display = Find<ConnectionDisplay>(w, "connection");
  auto* error = Find<QLabel>(w, "error");
  w.Controller().OnStatusReport(kReportConnection, static_cast<int>(net::ConnectionState::Connected));
  w.Controller().OnStatusReport(kReportProbeResult, 3);
  w.RefreshStatus();
  EXPECT_FALSE(display->isHidden());
  EXPECT_EQ(display->Shown(), CBtStat::Picture::Connected);
  EXPECT_EQ(display->Text(), "Connected");
  EXPECT_TRUE(error->isHidden());
  EXPECT_EQ(Find<QLabel>(w, "latency")->text(), "delay: 3 ms");

  w.Controller().OnStatusReport(kReportConnection, static_cast<int>(net::ConnectionState::PortInUse));
  w.RefreshStatus();
  EXPECT_TRUE(display->isHidden());
  EXPECT_FALSE(error->isHidden());
  EXPECT_EQ(error->text(), "Error: Port 8800 already in use");

  Find<QCheckBox>(w, "client")->click();
  w.RefreshStatus();
  EXPECT_TRUE(display->isHidden());
}

// ---- keys, edits and the window's own events -----------------------------------------------

// Without a tray (a desktop with none): the task bar is the only way back, so Escape, Enter and
// minimizing leave the window there, the close box asks whether to stop Kestrel, and "Exit" is in
// the window's own menu and on Ctrl+Q.
TEST_F(MainWindowTest, WithoutATrayTheWindowStaysInTheTaskBarAndCanBeQuit) {
  MainWindow& w = bench.Open();
  w.show();
  ASSERT_TRUE(w.isVisible());
  const auto minimizedAndReachable = [&] { return w.isVisible() && w.isMinimized(); };

  QTest::keyClick(&w, Qt::Key_Escape);
  EXPECT_TRUE(minimizedAndReachable());
  // The keys reach the window from the controls that have no use for them.
  w.ShowMainWindow(true);
  ASSERT_FALSE(w.isMinimized());
  QTest::keyClick(&w.DumpList(), Qt::Key_Escape);
  EXPECT_TRUE(minimizedAndReachable());
  w.ShowMainWindow(true);
  QTest::keyClick(Find<QLineEdit>(w, "clientPort"), Qt::Key_Return);
  EXPECT_TRUE(minimizedAndReachable());
  EXPECT_TRUE(bench.messages.empty());
  w.ShowMainWindow(true);
  w.showMinimized();
  QCoreApplication::processEvents();
  EXPECT_TRUE(minimizedAndReachable());
  w.ShowMainWindow(true);

  // The close box asks; "No" keeps everything running.
  EXPECT_FALSE(w.close());
  auto* question = w.findChild<QMessageBox*>(QStringLiteral("stopQuestion"));
  ASSERT_NE(question, nullptr);
  EXPECT_TRUE(question->isVisible());
  EXPECT_FALSE(w.close()) << "a second click on the close box asks no second question";
  EXPECT_EQ(w.findChildren<QMessageBox*>().size(), 1);
  question->button(QMessageBox::No)->click();
  QCoreApplication::processEvents();
  EXPECT_TRUE(w.isVisible());
  EXPECT_FALSE(bench.glue.Quitting());

  // "Exit" in the window's menu, under its tray name.
  QContextMenuEvent right(QContextMenuEvent::Mouse, QPoint(5, 5), w.mapToGlobal(QPoint(5, 5)));
  QCoreApplication::sendEvent(&w, &right);
  auto* exit = w.findChild<QAction*>(QStringLiteral("exitAction"));
  ASSERT_NE(exit, nullptr);
  EXPECT_EQ(exit->text(), "Exit");
  EXPECT_TRUE(w.WindowMenu().actions().contains(exit));
  w.WindowMenu().close();

  // "Yes" ends the program as "Exit" does.
  EXPECT_FALSE(w.close());
  question = w.findChild<QMessageBox*>(QStringLiteral("stopQuestion"));
  ASSERT_NE(question, nullptr);
  question->button(QMessageBox::Yes)->click();
  QCoreApplication::processEvents();
  EXPECT_TRUE(bench.glue.Quitting());
  QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
  QCoreApplication::exec();
}

TEST_F(MainWindowTest, CtrlQEndsTheProgram) {
  MainWindow& w = bench.Open();
  w.show();
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  QTest::keyClick(&w, Qt::Key_Q, Qt::ControlModifier);
  QCoreApplication::processEvents();
  EXPECT_TRUE(bench.glue.Quitting());
  QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
  QCoreApplication::exec();
}

// Notices show without Debug mode: the latest in one line under the dump list, with how many came
// before; its tip holds the last ten. Notices said while the window was being built show too.
TEST_F(MainWindowTest, TheLatestNoticeShowsWithACountAndTheLastTenInItsTip) {
  bench.settings.WriteConfigText("Client", "HostIP", "not-an-address");
  MainWindow& w = bench.Open();
  auto* line = Find<QLabel>(w, "notice");
  ASSERT_NE(line, nullptr);
  EXPECT_TRUE(line->isVisibleTo(&w));
  const std::uint64_t before = w.NoticeCount();
  ASSERT_GT(before, 0U);
  EXPECT_TRUE(line->toolTip().contains("HostIP=not-an-address")) << line->toolTip().toStdString();
  for (int i = 1; i <= 12; ++i) w.Notice("notice " + std::to_string(i));
  EXPECT_EQ(line->text(), QString("notice 12  (%1 earlier)").arg(before + 11));
  const QStringList tip = line->toolTip().split('\n');
  ASSERT_EQ(tip.size(), 10);
  EXPECT_EQ(tip.front(), "notice 3");
  EXPECT_EQ(tip.back(), "notice 12");
  // A long notice is cut by the window, not allowed to widen it.
  const int width = w.width();
  w.Notice(std::string(2000, 'x'));
  QCoreApplication::processEvents();
  EXPECT_EQ(w.width(), width);
}

// What start-up could not do shows in the notice line once the window is up, not only on a
// terminal nobody reads; without a sequencer a box in front of the window says what to do.
TEST_F(MainWindowTest, StartUpProblemsShowInTheNoticeLineAndNoSequencerInABox) {
  bench.startupProblems = {"The Kestrel ports are not available: kestrel-ports ended: no ALSA sequencer",
                           "No MIDI: no ALSA sequencer: No such file or directory"};
  bench.noSequencer = true;
  MainWindow& w = bench.Open();
  w.show();
  auto* line = Find<QLabel>(w, "notice");
  ASSERT_NE(line, nullptr);
  EXPECT_TRUE(line->text().startsWith("No MIDI: no ALSA sequencer")) << line->text().toStdString();
  EXPECT_TRUE(line->toolTip().contains("The Kestrel ports are not available")) << line->toolTip().toStdString();
  EXPECT_TRUE(bench.messages.empty()) << "the box comes once the window shows";
  QCoreApplication::processEvents();
  ASSERT_EQ(bench.messages.size(), 1U);
  EXPECT_NE(bench.messages[0].find("sudo modprobe snd-seq"), std::string::npos) << bench.messages[0];
  EXPECT_NE(bench.messages[0].find("sound modules"), std::string::npos) << bench.messages[0];
}

TEST_F(MainWindowTest, EmptiedPortEditAsksForANumberAndKeepsThePort) {
  MainWindow& w = bench.Open();
  w.show();
  auto* edit = Find<QLineEdit>(w, "serverPort");
  Find<QCheckBox>(w, "server")->click();
  edit->setFocus();
  edit->selectAll();
  QTest::keyClick(edit, Qt::Key_Backspace);
  ASSERT_EQ(bench.messages.size(), 1U);
  EXPECT_EQ(bench.messages.front(), "Please enter a positive integer.");
  EXPECT_EQ(w.Controller().Fields().serverPort, 8800U);

  // Enter does not leave the window with an edit the controller refuses.
  QTest::keyClick(edit, Qt::Key_Return);
  EXPECT_TRUE(w.isVisible());
  EXPECT_EQ(bench.messages.size(), 2U);

  QTest::keyClicks(edit, "9100");
  EXPECT_EQ(w.Controller().Fields().serverPort, 9100U);
  EXPECT_EQ(edit->text(), "9100");
  // Letters never reach the edit.
  QTest::keyClicks(edit, "x");
  EXPECT_EQ(edit->text(), "9100");
}

TEST_F(MainWindowTest, StoredGeometryIsRestoredAndMovesAreWrittenBack) {
  bench.settings.WriteConfigInt("Pref", "x", 40);
  bench.settings.WriteConfigInt("Pref", "y", 50);
  bench.settings.WriteConfigInt("Pref", "w", 900);
  bench.settings.WriteConfigInt("Pref", "h", 700);
  MainWindow& w = bench.Open();
  EXPECT_EQ(w.size(), QSize(900, 700));
  w.show();
  w.resize(950, 720);
  // Written once the window has kept still a moment; the wait only bounds a slow machine.
  EXPECT_TRUE(QTest::qWaitFor([&] { return Stored("Pref", "w") == 950; }, 10000));
  EXPECT_EQ(Stored("Pref", "h"), 720);
}

} // namespace
} // namespace kestrel::ui

int main(int argc, char** argv) {
  if (!kestrel::test::IsolateNetwork("main_window_test")) return 1;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
