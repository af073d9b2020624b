// SPDX-License-Identifier: GPL-3.0-or-later
// The client engine between namespace hosts: it plays each port on its slot, gathers long
// messages, survives hostile datagrams and takes commands while it waits on the network. The
// outputs are a recording stand-in here; the sequencer's own are tested on a real sequencer.
#include "core/drop_counters.hpp"
#include "core/dump_store.hpp"
#include "core/midi_outputs.hpp"
#include "core/window_flags.hpp"
#include "net/client_engine.hpp"
#include "net/client_rules.hpp"
#include "platform/realtime.hpp"
#include "support/child_process.hpp"
#include "support/network_lab.hpp"
#include "support/recording_outputs.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <mutex>
#include <pthread.h>
#include <random>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace kestrel::net {
namespace {

using test::WaitUntil;

using test::RecordingOutputs;

class Reports final : public ClientReports {
public:
  void ReportConnectionState(ConnectionState state) override {
    const std::lock_guard guard(lock_);
    states_.push_back(state);
    current_ = state; // as the window takes the report
  }
  void ReportServerAddress(in_addr_t address) override {
    server_ = address;
    ++serverReports_;
  }
  void ReportSecondServer(in_addr_t address) override {
    const std::lock_guard guard(lock_);
    seconds_.push_back(address);
  }
  std::vector<in_addr_t> SecondServers() {
    const std::lock_guard guard(lock_);
    return seconds_;
  }
  std::atomic<int> serverReports_{0};
  void ReportFatalError(const std::string& text) override {
    const std::lock_guard guard(lock_);
    errors_.push_back(text);
  }
  ConnectionState CurrentState() const noexcept override { return current_.load(); }
  std::vector<ConnectionState> States() {
    const std::lock_guard guard(lock_);
    return states_;
  }
  std::atomic<ConnectionState> current_{ConnectionState::Connecting};
  std::atomic<in_addr_t> server_{0};

private:
  std::mutex lock_;
  std::vector<ConnectionState> states_;
  std::vector<std::string> errors_;
  std::vector<in_addr_t> seconds_;
};

std::vector<std::byte> Datagram(std::initializer_list<ShortRecord> records) {
  std::vector<std::byte> d;
  for (const ShortRecord& r : records) d.insert(d.end(), r.begin(), r.end());
  return d;
}

ShortRecord Note(std::int32_t port, std::uint8_t key) {
  return MakeShortRecord(RecordType::MIM_DATA, port, 10, 10, PackShortMessage(0x90, key, 100));
}

struct ClientEngineTest : ::testing::Test {
  ClientEngineTest() {
    flags.present = true;
    flags.clientLog = true;
    lab.In(0, [&] { sender.Open(); });
    engine.SetDropCounters(&drops);
    lab.In(1, [&] { engine.Start(); }); // the engine thread lives in the client's host
    EXPECT_EQ(engine.PostCommand(CClientThread::CmdOpenOutput, 0, "synth"), 1);
    EXPECT_EQ(engine.PostCommand(CClientThread::CmdOpenOutput, 1, "--Not Connected--"), 1);
    EXPECT_EQ(engine.PostCommand(CClientThread::CmdOpenOutput, 3, "gone"), 0);
    engine.Connect(8800, inet_addr(lab.Address(1).c_str()));
    // Connected once the first datagram arrives: keep-alives until then.
    EXPECT_TRUE(WaitUntil([&] {
      Send(Datagram({MakeKeepAlive(8)}));
      return !reports.States().empty();
    }));
  }
  ~ClientEngineTest() override { engine.Stop(); }
  void Send(const std::vector<std::byte>& datagram) {
    lab.In(0, [&] { sender.Send(datagram); });
  }

  test::NetworkLab lab{2};
  DropCounters drops;
  WindowFlags flags;
  DumpStore dump{SystemClock(), flags};
  RecordingOutputs outputs;
  Reports reports;
  CUdpSender sender{8800};
  CClientThread engine{outputs, dump, flags, reports};
};

TEST_F(ClientEngineTest, PlaysEachPortOnItsSlotAndReportsTheServer) {
  EXPECT_EQ(reports.States().front(), ConnectionState::Connected);
  EXPECT_EQ(reports.server_.load(), inet_addr(lab.Address(0).c_str()));
  dump.ClearDump();
  Send(Datagram({Note(1, 60), Note(2, 61), Note(3, 62), Note(0, 63), Note(17, 64)}));
  ASSERT_TRUE(WaitUntil([&] { return dump.RowCount() == 2; })) << "port 1 played and shown, port 2 shown only";
  EXPECT_EQ(outputs.Shorts(), (std::vector<std::pair<int, std::uint32_t>>{{0, PackShortMessage(0x90, 60, 100)}}));
  EXPECT_NE(engine.LastReceiveTime(), 0U);
}

TEST_F(ClientEngineTest, LongMessagesArriveWholeFromTheirFragments) {
  std::vector<std::byte> record(kHeaderSize + 10000, std::byte{0x21});
  EventRecord h;
  h.dataLength = 10000;
  h.type = static_cast<std::int32_t>(RecordType::MIM_LONGDATA);
  h.port = 1;
  StoreHeader(record.data(), h);
  const std::vector<std::byte> copy = record;
  PackDatagrams(
      record, [] { return 77U; },
      [&](std::span<const std::byte> d) {
        Send({d.begin(), d.end()});
      });
  ASSERT_TRUE(WaitUntil([&] { return outputs.Longs().size() == 1; }));
  EXPECT_TRUE(std::ranges::equal(outputs.Longs()[0].second, std::span(copy).subspan(kHeaderSize)));
}

TEST_F(ClientEngineTest, HostileDatagramsNeverStopTheGoodOnes) {
  std::mt19937 random(7);
  for (int i = 0; i < 200; ++i) {
    std::vector<std::byte> junk(random() % 600);
    for (std::byte& b : junk) b = std::byte{static_cast<std::uint8_t>(random())};
    Send(junk);
  }
  std::vector<std::byte> truncated = Datagram({Note(1, 70)});
  truncated.resize(20);
  Send(truncated);
  std::vector<std::byte> huge = Datagram({Note(1, 71)});
  StoreLE32(huge.data() + field::kDataLength, 0x7FFFFFFF);
  Send(huge);
  Send(Datagram({Note(1, 72)}));
  ASSERT_TRUE(WaitUntil([&] {
    const auto played = outputs.Shorts();
    return !played.empty() && played.back().second == PackShortMessage(0x90, 72, 100);
  }));
}

TEST_F(ClientEngineTest, CommandsBreakTheWaitAndEndTheConnectionCleanly) {
  EXPECT_EQ(engine.PostCommand(CClientThread::CmdDisconnect), 0) << "the last open's result (\"gone\")";
  EXPECT_EQ(reports.States().back(), ConnectionState::Disconnected);
  const std::size_t before = reports.States().size();
  engine.PostCommand(CClientThread::CmdDisconnect); // idle: no report
  EXPECT_EQ(reports.States().size(), before);

  // A connection that carried nothing but keep-alives, or nothing at all (the retry rule's
  // reconnects with no server on the LAN), ends without touching the synths: other programs
  // may be playing on them.
  for (int i = 0; i < 5; ++i) {
    reports.current_ = ConnectionState::Connecting; // as ConnectClient sets it
    engine.Connect(8800, inet_addr(lab.Address(1).c_str()));
    engine.PostCommand(CClientThread::CmdDisconnect);
  }
  engine.PostCommand(CClientThread::CmdNotesOff); // the silence rule, with nothing played
  EXPECT_EQ(outputs.notesOff_.load(), 0);

  reports.current_ = ConnectionState::Connecting;
  engine.Connect(8800, inet_addr(lab.Address(1).c_str()));
  // Notes sent before the engine's socket was open are lost; the others arrive in order, so once
  // the last one sent has played, nothing is left in flight.
  std::uint8_t key = 0;
  ASSERT_TRUE(WaitUntil([&] {
    key = static_cast<std::uint8_t>(key % 100 + 1);
    Send(Datagram({Note(1, key)}));
    return !outputs.Shorts().empty();
  }));
  ASSERT_TRUE(WaitUntil([&] { return outputs.Shorts().back().second == PackShortMessage(0x90, key, 100); }))
      << "every note sent has played";
  engine.PostCommand(CClientThread::CmdNotesOff); // the silence rule after a note: once
  engine.PostCommand(CClientThread::CmdNotesOff);
  EXPECT_EQ(outputs.notesOff_.load(), 1);
  const std::size_t played = outputs.Shorts().size();
  Send(Datagram({Note(1, 101)}));
  ASSERT_TRUE(WaitUntil([&] { return outputs.Shorts().size() == played + 1; }));
  engine.Stop(); // quit while receiving: no report, the thread ends
  EXPECT_FALSE(engine.Running());
  EXPECT_EQ(outputs.notesOff_.load(), 2) << "nothing left sounding when a connection that played ends";
  EXPECT_EQ(reports.States().back(), ConnectionState::Connected);
  EXPECT_EQ(engine.PostCommand(CClientThread::CmdDisconnect), 0) << "no engine, nothing runs";
}

// A Note Off lost on the way leaves a note sounding. When a connection that played ends, the
// client sends a Note Off for exactly the notes it turned on and did not turn off (on their
// output and channel), then All Notes Off; some synthesizers ignore All Notes Off.
TEST_F(ClientEngineTest, AnEndedConnectionTurnsOffExactlyTheNotesLeftOn) {
  const auto on = [](std::int32_t port, std::uint8_t channel, std::uint8_t key, std::uint8_t velocity) {
    return MakeShortRecord(RecordType::MIM_DATA, port, 0, 0,
                           PackShortMessage(static_cast<std::uint8_t>(0x90 | channel), key, velocity));
  };
  const auto off = [](std::int32_t port, std::uint8_t channel, std::uint8_t key) {
    return MakeShortRecord(RecordType::MIM_DATA, port, 0, 0,
                           PackShortMessage(static_cast<std::uint8_t>(0x80 | channel), key, 64));
  };
  Send(Datagram({on(1, 0, 60, 100), on(1, 0, 64, 100), on(1, 9, 36, 120), on(1, 3, 70, 90)}));
  Send(Datagram({off(1, 0, 60), on(1, 9, 36, 0), on(1, 3, 71, 90),
                 MakeShortRecord(RecordType::MIM_DATA, 1, 0, 0, PackShortMessage(0xB3, 123, 0))}));
  Send(Datagram({on(1, 5, 50, 80)}));
  ASSERT_TRUE(WaitUntil([&] { return outputs.Shorts().size() == 9; }));
  engine.PostCommand(CClientThread::CmdDisconnect);
  const auto played = outputs.Shorts();
  ASSERT_EQ(played.size(), 11U);
  // Left on: key 64 on channel 1 and key 50 on channel 6 (channel 4's went with All Notes Off).
  EXPECT_EQ(
      std::vector(played.begin() + 9, played.end()),
      (std::vector<std::pair<int, std::uint32_t>>{{0, PackShortMessage(0x80, 64)}, {0, PackShortMessage(0x85, 50)}}));
  EXPECT_EQ(outputs.notesOff_.load(), 1);
}

// A row unticked, or turned to another device, while its notes sound: they end on the device that
// played them, as at the end of a connection; the new device never heard them.
TEST_F(ClientEngineTest, ARowThatClosesOrTurnsToAnotherDeviceSilencesWhatItLeftOn) {
  EXPECT_EQ(engine.PostCommand(CClientThread::CmdOpenOutput, 2, "synth"), 1);
  const auto on = [](std::int32_t port, std::uint8_t key) {
    return MakeShortRecord(RecordType::MIM_DATA, port, 0, 0, PackShortMessage(0x92, key, 100));
  };
  Send(Datagram({on(1, 60), on(3, 62), on(3, 63)}));
  ASSERT_TRUE(WaitUntil([&] { return outputs.Shorts().size() == 3; }));
  engine.PostCommand(CClientThread::CmdCloseOutput, 0);
  engine.PostCommand(CClientThread::CmdOpenOutput, 2, "synth"); // row 3 to another device
  engine.PostCommand(CClientThread::CmdCloseOutput, 2);         // nothing played since: left alone
  const auto played = outputs.Shorts();
  EXPECT_EQ(std::vector(played.begin() + 3, played.end()),
            (std::vector<std::pair<int, std::uint32_t>>{
                {0, PackShortMessage(0x82, 60)}, {2, PackShortMessage(0x82, 62)}, {2, PackShortMessage(0x82, 63)}}));
  EXPECT_EQ(outputs.NotesOffSlots(), (std::vector<int>{0, 2})) << "then All Notes Off and Sustain Off, row by row";
  engine.PostCommand(CClientThread::CmdDisconnect);
  EXPECT_EQ(outputs.Shorts().size(), played.size()) << "nothing left for the connection's end to turn off";
}

TEST_F(ClientEngineTest, APortHeldByAnotherProgramIsInUse) {
  engine.PostCommand(CClientThread::CmdDisconnect);
  lab.In(1, [&] {
    CUdpSocket holder;
    ASSERT_TRUE(holder.Create(8801, lab.Address(1).c_str()));
    engine.Connect(8801, inet_addr(lab.Address(1).c_str()));
    EXPECT_TRUE(WaitUntil([&] { return reports.States().back() == ConnectionState::PortInUse; }));
  });
}

TEST_F(ClientEngineTest, ConnectAndDisconnectFollowTheEnginesReports) {
  int taken = 0;
  ClientConnector connector(reports.current_, [&] { ++taken; });
  connector.ConnectClient(&engine, 8802, inet_addr(lab.Address(1).c_str()));
  EXPECT_EQ(reports.current_.load(), ConnectionState::Connecting);
  EXPECT_EQ(reports.States().back(), ConnectionState::Disconnected) << "the old connection ended first";
  sender.SetDestinationPort(8802);
  ASSERT_TRUE(WaitUntil([&] {
    Send(Datagram({Note(1, 90)}));
    return reports.current_.load() == ConnectionState::Connected;
  }));
  EXPECT_EQ(engine.Port(), 8802);
  connector.DisconnectClient(&engine);
  EXPECT_EQ(reports.current_.load(), ConnectionState::Disconnected);

  engine.Stop();
  reports.current_ = ConnectionState::Connecting;
  taken = 0;
  connector.DisconnectClient(&engine); // an engine that ended is not waited for
  EXPECT_EQ(taken, 0);
}

// Two servers broadcast to the same port: the client plays both, keeps showing the one it heard
// first, and says once a second at most that another one sends too. Once the first has been
// silent for a while, the other is the one heard.
// Where real time came through RTKit, RLIMIT_RTTIME's soft and hard limits are both its maximum: a
// thread that runs that long without blocking is killed, and the whole program with it. Here the
// engine thread gets SCHED_FIFO (as root, directly) under a small limit, on a machine slower than
// the host that floods it with empty datagrams for 5 s (a real-time thread of higher priority
// takes 90 % of the engine's CPU): the engine lives, plays the next note, and the flood is counted.
struct TightRtTime {
#if defined(__SANITIZE_THREAD__)
  // Every step runs several times slower under ThreadSanitizer; without the rest a 5 s flood
  // still overruns this.
  static constexpr rlim_t kRtTimeUs = 200000;
#else
  static constexpr rlim_t kRtTimeUs = 50000;
#endif
  static constexpr int kEngineCpu = 1; // the flood is sent from the others
  TightRtTime() {
    if (!Possible()) return;
    getrlimit(RLIMIT_RTTIME, &before);
    const rlimit tight{kRtTimeUs, kRtTimeUs};
    setrlimit(RLIMIT_RTTIME, &tight); // before the engine thread asks for real time
    sched_getaffinity(0, sizeof everywhere, &everywhere);
    cpu_set_t engineCpu;
    CPU_ZERO(&engineCpu);
    CPU_SET(kEngineCpu, &engineCpu);
    sched_setaffinity(0, sizeof engineCpu, &engineCpu); // the engine thread, started next, inherits it
  }
  ~TightRtTime() {
    if (Possible()) setrlimit(RLIMIT_RTTIME, &before);
  }
  static bool Possible() { return geteuid() == 0 && std::thread::hardware_concurrency() > kEngineCpu; }
  rlimit before{};
  cpu_set_t everywhere{};
};

struct FloodedClientTest : TightRtTime, ClientEngineTest {
  // Empty datagrams from `threads` sockets of host 0 to the client for `length`, as fast as they go
  // from the CPUs other than the engine's, while a thread of a higher real-time priority keeps 90 %
  // of the engine's CPU.
  void Flood(std::chrono::seconds length, int threads = 2) {
    sched_setaffinity(0, sizeof everywhere, &everywhere);
    cpu_set_t others = everywhere;
    CPU_CLR(kEngineCpu, &others);
    std::atomic<bool> stop{false};
    std::thread hog([&] {
      cpu_set_t engineCpu;
      CPU_ZERO(&engineCpu);
      CPU_SET(kEngineCpu, &engineCpu);
      sched_setaffinity(0, sizeof engineCpu, &engineCpu);
      sched_param high{};
      high.sched_priority = kRealtimePriority + 10;
      pthread_setschedparam(pthread_self(), SCHED_FIFO, &high);
      while (!stop.load()) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(900);
        while (std::chrono::steady_clock::now() < until) {}
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    });
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t) {
      senders.emplace_back([&] {
        sched_setaffinity(0, sizeof others, &others);
        lab.In(0, [&] {
          const int fd = socket(AF_INET, SOCK_DGRAM, 0);
          sockaddr_in to{};
          to.sin_family = AF_INET;
          to.sin_port = htons(8800);
          to.sin_addr.s_addr = inet_addr(lab.Address(1).c_str());
          std::array<mmsghdr, 256> batch{};
          for (mmsghdr& m : batch) {
            m.msg_hdr.msg_name = &to;
            m.msg_hdr.msg_namelen = sizeof to;
          }
          while (!stop.load()) sendmmsg(fd, batch.data(), batch.size(), 0);
          close(fd);
        });
      });
    }
    std::this_thread::sleep_for(length);
    stop = true;
    for (std::thread& s : senders) s.join();
    hog.join();
  }
};

TEST_F(FloodedClientTest, AFloodOfEmptyDatagramsNeverKeepsTheRealTimeEngineFromBlocking) {
  if (!Possible()) GTEST_SKIP() << "needs root (SCHED_FIFO, the limit) and two CPUs";
  const auto outcome = ProcessRealtimeLedger().Of("kestrel-client");
  ASSERT_TRUE(outcome.has_value());
  ASSERT_EQ(outcome->way, RealtimeWay::Direct) << outcome->reason;
  Flood(std::chrono::seconds(5));
  // Still alive: the next note plays.
  ASSERT_TRUE(WaitUntil([&] {
    Send(Datagram({Note(1, 99)}));
    const auto played = outputs.Shorts();
    return !played.empty() && played.back().second == PackShortMessage(0x90, 99, 100);
  }));
  // The flood is counted; the engine rested between slices of it, and needed nothing more.
  EXPECT_GT(drops.Get(Drop::EmptyDatagram), 1000U);
  EXPECT_GT(drops.Get(Drop::EnginePause), 0U);
  EXPECT_TRUE(TakeThreadsThatLeftRealtime().empty());
}

TEST(ClientEngineServers, ASecondServerOnThePortIsPlayedAndNamedAndTakesOverWhenTheFirstIsSilent) {
  test::NetworkLab lab{3};
  WindowFlags flags;
  flags.present = true;
  DumpStore dump{SystemClock(), flags};
  RecordingOutputs outputs;
  Reports reports;
  ManualClock clock{1000};
  CUdpSender first{8800};
  CUdpSender second{8800};
  CClientThread engine{outputs, dump, flags, reports, clock};
  lab.In(0, [&] { first.Open(); });
  lab.In(2, [&] { second.Open(); });
  lab.In(1, [&] { engine.Start(); });
  ASSERT_EQ(engine.PostCommand(CClientThread::CmdOpenOutput, 0, "synth"), 1);
  engine.Connect(8800, inet_addr(lab.Address(1).c_str()));
  const in_addr_t firstAddress = inet_addr(lab.Address(0).c_str());
  const in_addr_t secondAddress = inet_addr(lab.Address(2).c_str());
  const auto send = [&](int host, CUdpSender& sender, std::initializer_list<ShortRecord> records) {
    lab.In(host, [&] { sender.Send(Datagram(records)); });
  };
  ASSERT_TRUE(WaitUntil([&] {
    send(0, first, {MakeKeepAlive(8)});
    return reports.server_.load() == firstAddress;
  }));

  for (std::uint8_t key = 60; key < 70; ++key) {
    send(2, second, {MakeKeepAlive(8), Note(1, key)});
    send(0, first, {MakeKeepAlive(8)});
  }
  ASSERT_TRUE(WaitUntil([&] { return outputs.Shorts().size() == 10; })) << "the second server is played too";
  EXPECT_EQ(reports.server_.load(), firstAddress) << "the window keeps showing the first";
  EXPECT_EQ(reports.SecondServers(), std::vector<in_addr_t>{secondAddress}) << "said once within the second";

  clock.Advance(1000);
  send(2, second, {Note(1, 70)});
  ASSERT_TRUE(WaitUntil([&] { return reports.SecondServers().size() == 2; }));

  // The first falls silent: the second is the server heard now.
  clock.Advance(kServerSilenceMs + 1);
  ASSERT_TRUE(WaitUntil([&] {
    send(2, second, {MakeKeepAlive(8)});
    return reports.server_.load() == secondAddress;
  }));
  EXPECT_EQ(reports.SecondServers().size(), 2U);
  engine.Stop();
}

TEST(ClientRules, SilenceRetryAndSettings) {
  EXPECT_FALSE(SilenceRuleDue(10'000, 5'000, ConnectionState::Connected)) << "5000 ms is not yet silence";
  EXPECT_TRUE(SilenceRuleDue(10'001, 5'000, ConnectionState::Connected));
  EXPECT_TRUE(SilenceRuleDue(100, 0xFFFFE000U, ConnectionState::Connecting)) << "across the tick's wrap";
  EXPECT_FALSE(SilenceRuleDue(20'000, 0, ConnectionState::PortInUse)) << "a taken port is left alone";
  // The engine may store a datagram's time after the window read the clock: that is no silence
  // (taken for one of 49 days, it used to disconnect a busy client and silence its notes).
  EXPECT_FALSE(SilenceRuleDue(10'000, 10'001, ConnectionState::Connected));
  EXPECT_FALSE(SilenceRuleDue(0xFFFFFFFFU, 0, ConnectionState::Connected)) << "just after the wrap";
  EXPECT_TRUE(RetryRuleDue(true, ConnectionState::Disconnected));
  EXPECT_FALSE(RetryRuleDue(true, ConnectionState::PortInUse));
  EXPECT_FALSE(RetryRuleDue(false, ConnectionState::Disconnected));
  EXPECT_TRUE(SettingsRuleDue(8800, 1, 8801, 1));
  EXPECT_TRUE(SettingsRuleDue(8800, 1, 8800, 2));
  EXPECT_FALSE(SettingsRuleDue(8800, 1, 8800, 1));
}

} // namespace
} // namespace kestrel::net
