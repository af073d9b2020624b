// SPDX-License-Identifier: GPL-3.0-or-later
// The client engine between namespace hosts: it plays each port on its slot, gathers long
// messages, survives hostile datagrams and takes commands while it waits on the network. The
// outputs are a recording stand-in here; the sequencer's own are tested on a real sequencer.
#include "core/dump_store.hpp"
#include "core/midi_outputs.hpp"
#include "core/window_flags.hpp"
#include "net/client_engine.hpp"
#include "net/client_rules.hpp"
#include "support/child_process.hpp"
#include "support/network_lab.hpp"
#include "support/recording_outputs.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <mutex>
#include <random>

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
  int pumped = 0;
  ClientConnector connector(reports.current_, [&] { return ++pumped > 0; });
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
  connector.DisconnectClient(&engine); // an engine that ended is not waited for
  EXPECT_EQ(pumped, 0);
}

// Two servers broadcast to the same port: the client plays both, keeps showing the one it heard
// first, and says once a second at most that another one sends too. Once the first has been
// silent for a while, the other is the one heard.
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
