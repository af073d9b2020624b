// SPDX-License-Identifier: GPL-3.0-or-later
// The multicast raw-MIDI ports between namespace hosts: what a Kestrel server sends there, a
// Kestrel client plays; a host running both sides never plays its own messages, nor anything
// from its own addresses; datagrams that are not MIDI are counted, a split dump played whole; a
// message that comes both ways from a server speaking both plays once, and nothing is muted for
// its sender's address.
#include "core/dump_store.hpp"
#include "core/window_flags.hpp"
#include "net/client_engine.hpp"
#include "platform/network_interfaces.hpp"
#include "support/child_process.hpp"
#include "support/loopback_transport.hpp"
#include "support/network_lab.hpp"
#include "support/recording_outputs.hpp"
#include "transport/multicast/multicast.hpp"

#include <gtest/gtest.h>

#include <functional>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace kestrel::net {
namespace {

using test::WaitUntil;
using Shorts = std::vector<std::pair<int, std::uint32_t>>;

class SilentReports final : public ClientReports {
public:
  void ReportConnectionState(ConnectionState state) override { current_ = state; }
  void ReportServerAddress(in_addr_t) override {}
  void ReportFatalError(const std::string& text) override { ADD_FAILURE() << text; }
  [[nodiscard]] ConnectionState CurrentState() const noexcept override { return current_.load(); }
  std::atomic<ConnectionState> current_{ConnectionState::Connecting};
};

// Records as the send queue hands them to the server engine.
void AppendShort(std::vector<std::byte>& records, int port, std::uint32_t word) {
  const ShortRecord r = MakeShortRecord(RecordType::MIM_DATA, port, 0, 0, word);
  records.insert(records.end(), r.begin(), r.end());
}
void AppendSysex(std::vector<std::byte>& records, int port, std::size_t length) {
  EventRecord h;
  h.dataLength = static_cast<std::int32_t>(length);
  h.type = static_cast<std::int32_t>(RecordType::MIM_LONGDATA);
  h.port = port;
  const std::size_t at = records.size();
  records.resize(at + kHeaderSize + length, std::byte{0x2A});
  StoreHeader(records.data() + at, h);
  records[at + kHeaderSize] = std::byte{0xF0};
  records.back() = std::byte{0xF7};
}

// A plain socket of another program: raw datagrams to the group's port, multicast loopback on.
void SendRaw(const test::NetworkLab& lab, int host, int midiPort,
             const std::vector<std::vector<std::byte>>& datagrams) {
  lab.In(host, [&] {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    in_addr from{};
    from.s_addr = inet_addr(lab.Address(host).c_str());
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &from, sizeof from);
    const unsigned char on = 1;
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &on, sizeof on);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(MulticastPortOf(midiPort));
    to.sin_addr.s_addr = inet_addr(kMulticastGroup);
    for (const auto& d : datagrams) {
      // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): the socket interface's pun
      EXPECT_EQ(sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
                static_cast<ssize_t>(d.size()));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    close(fd);
  });
}

std::vector<std::byte> Raw(std::initializer_list<int> values) {
  std::vector<std::byte> out;
  for (const int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

// Host 0 is a Kestrel server and another program; host 1 runs a Kestrel server and client both;
// host 2 is a second Kestrel server.
// The client's own port (8801) hears nothing unless a test sends there.
struct MulticastTest : ::testing::Test {
  MulticastTest() {
    flags.present = true;
    engine.AddInput(multicastIn);
    engine.AddInput(thirdWay);
    lab.In(0, [&] { farServer.Open(); });
    lab.In(1, [&] {
      ownServer.Open();
      engine.Start();
      multicastIn.Own().Set(LocalAddresses()); // as the window does, once a second
    });
    EXPECT_EQ(engine.PostCommand(CClientThread::CmdOpenOutput, 0, "synth"), 1);
    EXPECT_EQ(engine.PostCommand(CClientThread::CmdOpenOutput, 2, "synth"), 1);
    // Kestrel's own port is another than anyone sends to: only the multicast ports play.
    engine.Connect(8801, inet_addr(lab.Address(1).c_str()));
    // Joined once a message gets through.
    EXPECT_TRUE(WaitUntil([&] {
      std::vector<std::byte> probe;
      AppendShort(probe, 1, PackShortMessage(0xFE));
      lab.In(0, [&] { farServer.SendRecords(probe); });
      return !outputs.Shorts().empty();
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // a probe still on its way lands
  }
  ~MulticastTest() override { engine.Stop(); }

  test::NetworkLab lab{3};
  WindowFlags flags;
  DumpStore dump{SystemClock(), flags};
  test::RecordingOutputs outputs;
  SilentReports reports;
  MulticastSender farServer;
  MulticastSender ownServer;
  MulticastReceiver multicastIn;                                       // outlives the engine
  test::LoopbackTransport thirdWay{inet_addr(lab.Address(0).c_str())}; // as host 0 would send a third way
  CClientThread engine{outputs, dump, flags, reports};
};

TEST_F(MulticastTest, ServerToClientWithoutHearingItself) {
  const std::size_t probes = outputs.Shorts().size();
  std::vector<std::byte> own;
  AppendShort(own, 1, PackShortMessage(0x9F, 1, 1));
  lab.In(1, [&] { ownServer.SendRecords(own); }); // loopback off
  SendRaw(lab, 1, 1, {Raw({0x9F, 2, 2})});        // own address
  std::vector<std::byte> records;
  AppendShort(records, 1, PackShortMessage(0x90, 60, 100));
  AppendShort(records, 3, PackShortMessage(0xB2, 7, 99));
  AppendShort(records, 2, PackShortMessage(0x91, 1, 1)); // port 2 has no output: not played
  AppendSysex(records, 3, 1024);
  AppendSysex(records, 1, kMaxRawDatagram + 1); // above the datagram limit: not sent
  AppendShort(records, 1, PackShortMessage(0x80, 60, 0));
  lab.In(0, [&] { farServer.SendRecords(records); });
  ASSERT_TRUE(WaitUntil([&] { return outputs.Shorts().size() == probes + 3; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200)); // anything else would be here now
  // In order within each port; the ports are sockets of their own, read one after the other.
  Shorts played = outputs.Shorts();
  played.erase(played.begin(), played.begin() + static_cast<std::ptrdiff_t>(probes));
  std::stable_sort(played.begin(), played.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  EXPECT_EQ(played, (Shorts{{0, PackShortMessage(0x90, 60, 100)},
                            {0, PackShortMessage(0x80, 60, 0)},
                            {2, PackShortMessage(0xB2, 7, 99)}}));
  ASSERT_EQ(outputs.Longs().size(), 1U);
  EXPECT_EQ(outputs.Longs()[0].first, 2);
  EXPECT_EQ(outputs.Longs()[0].second.size(), 1024U);
  EXPECT_EQ(farServer.NotSent(), 1U);
  EXPECT_EQ(multicastIn.NotMidi(), 0U);
}

TEST_F(MulticastTest, OtherProgramsDatagramsNotMidiCountedSplitDumpsPlayedWhole) {
  const std::size_t probes = outputs.Shorts().size();
  SendRaw(lab, 0, 3,
          {Raw({'h', 'i'}), Raw({0x90, 0x3C}), Raw({0xF0, 0x7E, 0x01}), Raw({0xF8, 0x02, 0x03}),
           Raw({0x04, 0xF7, 0xC2, 0x05, 0x06})});
  ASSERT_TRUE(WaitUntil([&] { return outputs.Shorts().size() == probes + 3; }));
  const Shorts played = outputs.Shorts();
  EXPECT_EQ(Shorts(played.begin() + static_cast<std::ptrdiff_t>(probes), played.end()),
            (Shorts{{2, PackShortMessage(0xF8)}, {2, PackShortMessage(0xC2, 5)}, {2, PackShortMessage(0xC2, 6)}}));
  ASSERT_EQ(outputs.Longs().size(), 1U);
  EXPECT_EQ(outputs.Longs()[0].second, Raw({0xF0, 0x7E, 0x01, 0x02, 0x03, 0x04, 0xF7}));
  EXPECT_EQ(multicastIn.NotMidi(), 2U);
  // Between connections (a disconnect) the ports still play.
  engine.PostCommand(CClientThread::CmdDisconnect);
  SendRaw(lab, 0, 1, {Raw({0x90, 0x40, 0x40})});
  EXPECT_TRUE(WaitUntil([&] {
    return outputs.Shorts().back() == std::pair<int, std::uint32_t>{0, PackShortMessage(0x90, 0x40, 0x40)};
  }));
}

// What was played after the first `before` messages, once `expected` came and nothing more does.
Shorts PlayedSince(const test::RecordingOutputs& outputs, std::size_t before, std::size_t expected) {
  WaitUntil([&] { return outputs.Shorts().size() >= before + expected; });
  std::this_thread::sleep_for(std::chrono::milliseconds(300)); // a second copy would be here now
  const Shorts played = outputs.Shorts();
  return {played.begin() + static_cast<std::ptrdiff_t>(before), played.end()};
}

TEST_F(MulticastTest, AServerSpeakingBothPlaysOnceFromTheFirstBatchOnAndSoDoesASecondServer) {
  CUdpSender heard{8801};
  CUdpSender second{8801};
  MulticastSender secondMulticast;
  lab.In(0, [&] { heard.Open(); });
  lab.In(2, [&] {
    second.Open();
    secondMulticast.Open();
  });
  // As a server sends a batch: its multicast copies first, then Kestrel's datagram; or, delayed on
  // the way, the other way round.
  const auto sendBoth = [&](int host, CUdpSender& kestrel, MulticastSender& multicast,
                            const std::vector<std::byte>& records, bool multicastFirst) {
    if (!multicastFirst) kestrel.Send(records);
    if (!multicastFirst) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    lab.In(host, [&] { multicast.SendRecords(records); });
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (multicastFirst) kestrel.Send(records);
  };
  const auto notes = [](int first, int count) {
    std::vector<std::byte> records;
    for (int k = 0; k < count; ++k)
      AppendShort(records, 1, PackShortMessage(0x90, static_cast<std::uint8_t>(first + k), 1));
    return records;
  };
  Shorts expected;
  for (int k = 0; k < 3; ++k) expected.emplace_back(0, PackShortMessage(0x90, static_cast<std::uint8_t>(70 + k), 1));

  // The first batch of a connection, before the server is known.
  std::size_t before = outputs.Shorts().size();
  sendBoth(0, heard, farServer, notes(70, 3), true);
  EXPECT_EQ(PlayedSince(outputs, before, 3), expected) << "the first batch";
  ASSERT_EQ(reports.CurrentState(), ConnectionState::Connected);

  // MIDI Clock: identical messages, each played once, whichever way came first.
  before = outputs.Shorts().size();
  std::vector<std::byte> clock;
  AppendShort(clock, 1, PackShortMessage(0xF8));
  for (int i = 0; i < 10; ++i) sendBoth(0, heard, farServer, clock, i % 2 == 0);
  EXPECT_EQ(PlayedSince(outputs, before, 10), Shorts(10, {0, PackShortMessage(0xF8)})) << "the clock";

  // A second Kestrel server speaking both, while the first one is heard.
  heard.Send(MakeKeepAlive(8));
  before = outputs.Shorts().size();
  sendBoth(2, second, secondMulticast, notes(70, 3), true);
  EXPECT_EQ(PlayedSince(outputs, before, 3), expected) << "a second server";

  // Again at the next connection.
  engine.PostCommand(CClientThread::CmdDisconnect);
  engine.Connect(8801, inet_addr(lab.Address(1).c_str()));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  before = outputs.Shorts().size();
  sendBoth(0, heard, farServer, notes(70, 3), true);
  EXPECT_EQ(PlayedSince(outputs, before, 3), expected) << "the first batch of the next connection";
}

// A server that speaks three ways at once (Kestrel's datagrams, the multicast ports and one more
// transport) is played once, in whatever order its copies arrive; so is a run of MIDI Clock.
TEST_F(MulticastTest, AServerSpeakingThreeWaysPlaysEachMessageOnce) {
  CUdpSender heard{8801};
  lab.In(0, [&] { heard.Open(); });
  heard.Send(MakeKeepAlive(8));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const std::array<std::function<void(const std::vector<std::byte>&)>, 3> ways{
      [&](const std::vector<std::byte>& r) { heard.Send(r); },
      [&](const std::vector<std::byte>& r) { lab.In(0, [&] { farServer.SendRecords(r); }); },
      [&](const std::vector<std::byte>& r) { thirdWay.SendRecords(r); }};
  const auto sendAll = [&](const std::vector<std::byte>& records, int first) {
    for (int k = 0; k < 3; ++k) {
      ways[static_cast<std::size_t>((first + k) % 3)](records);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  };
  std::size_t before = outputs.Shorts().size();
  Shorts expected;
  for (int k = 0; k < 6; ++k) {
    std::vector<std::byte> note;
    AppendShort(note, 1, PackShortMessage(0x90, static_cast<std::uint8_t>(60 + k), 1));
    sendAll(note, k);
    expected.emplace_back(0, PackShortMessage(0x90, static_cast<std::uint8_t>(60 + k), 1));
  }
  EXPECT_EQ(PlayedSince(outputs, before, 6), expected) << "notes, each way first in turn";

  before = outputs.Shorts().size();
  std::vector<std::byte> clock;
  AppendShort(clock, 1, PackShortMessage(0xF8));
  for (int i = 0; i < 9; ++i) sendAll(clock, i);
  EXPECT_EQ(PlayedSince(outputs, before, 9), Shorts(9, {0, PackShortMessage(0xF8)})) << "the clock";
}

TEST_F(MulticastTest, AnotherProgramOnTheHeardServersHostIsPlayedWhole) {
  CUdpSender heard{8801};
  lab.In(0, [&] { heard.Open(); });
  ASSERT_TRUE(WaitUntil([&] {
    heard.Send(MakeKeepAlive(8));
    return reports.CurrentState() == ConnectionState::Connected;
  }));
  const std::size_t before = outputs.Shorts().size();
  // Keep-alives and notes from the server, raw notes from another program of its host between.
  std::vector<std::vector<std::byte>> raw;
  Shorts expected;
  for (int k = 0; k < 30; ++k) {
    raw.push_back(Raw({0x91, 40 + k, 100}));
    expected.emplace_back(0, PackShortMessage(0x91, static_cast<std::uint8_t>(40 + k), 100));
  }
  std::thread server([&] {
    for (int i = 0; i < 10; ++i) {
      heard.Send(MakeKeepAlive(8));
      std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
  });
  SendRaw(lab, 0, 1, raw);
  server.join();
  EXPECT_EQ(PlayedSince(outputs, before, 30), expected);
}

TEST_F(MulticastTest, WhatTheyPlayedIsSilencedWhenTheClientStopsNotWhenAConnectionEnds) {
  const auto last = [&] {
    const Shorts played = outputs.Shorts();
    return played.empty() ? std::pair<int, std::uint32_t>{} : played.back();
  };
  SendRaw(lab, 0, 1, {Raw({0x93, 0x40, 0x50})});
  ASSERT_TRUE(WaitUntil([&] { return last().second == PackShortMessage(0x93, 0x40, 0x50); }));
  engine.PostCommand(CClientThread::CmdDisconnect);
  EXPECT_EQ(outputs.notesOff_.load(), 0);
  engine.Stop();
  EXPECT_EQ(outputs.notesOff_.load(), 1);
  EXPECT_EQ(last().first, 0);
  EXPECT_EQ(last().second & 0xFFFFU, 0x4083U) << "a Note Off for the note still sounding";
}

} // namespace
} // namespace kestrel::net
