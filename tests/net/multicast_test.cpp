// SPDX-License-Identifier: GPL-3.0-or-later
// The multicast raw-MIDI ports between namespace hosts: what a Kestrel server sends there, a
// Kestrel client plays; a host running both sides never plays its own messages, nor anything
// from its own addresses; datagrams that are not MIDI are counted, a split dump played whole.
#include "core/dump_store.hpp"
#include "core/window_flags.hpp"
#include "net/client_engine.hpp"
#include "net/multicast.hpp"
#include "support/child_process.hpp"
#include "support/network_lab.hpp"
#include "support/recording_outputs.hpp"

#include <gtest/gtest.h>

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

// Host 0 is a Kestrel server and another program; host 1 runs a Kestrel server and client both.
// The client's own port (8801) hears nothing unless a test sends there.
struct MulticastTest : ::testing::Test {
  MulticastTest() {
    flags.present = true;
    engine.SetMulticast(true);
    lab.In(0, [&] { farServer.Open(); });
    lab.In(1, [&] {
      ownServer.Open();
      engine.Start();
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

  test::NetworkLab lab{2};
  WindowFlags flags;
  DumpStore dump{SystemClock(), flags};
  test::RecordingOutputs outputs;
  SilentReports reports;
  CMulticastSender farServer;
  CMulticastSender ownServer;
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
  EXPECT_EQ(engine.MulticastNotMidi(), 0U);
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
  EXPECT_EQ(engine.MulticastNotMidi(), 2U);
  // Between connections (a disconnect) the ports still play.
  engine.PostCommand(CClientThread::CmdDisconnect);
  SendRaw(lab, 0, 1, {Raw({0x90, 0x40, 0x40})});
  EXPECT_TRUE(WaitUntil([&] {
    return outputs.Shorts().back() == std::pair<int, std::uint32_t>{0, PackShortMessage(0x90, 0x40, 0x40)};
  }));
}

TEST_F(MulticastTest, AKestrelServerHeardOnItsOwnPortIsPlayedOnce) {
  CUdpSender kestrelServer{8801};
  lab.In(0, [&] { kestrelServer.Open(); });
  const auto keepAlive = MakeKeepAlive(8);
  ASSERT_TRUE(WaitUntil([&] {
    kestrelServer.Send(keepAlive);
    return reports.CurrentState() == ConnectionState::Connected;
  }));
  const std::size_t before = outputs.Shorts().size();
  std::vector<std::byte> records;
  AppendShort(records, 1, PackShortMessage(0x90, 70, 1));
  lab.In(0, [&] { farServer.SendRecords(records); });
  kestrelServer.Send(records);
  ASSERT_TRUE(WaitUntil([&] { return outputs.Shorts().size() > before; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(outputs.Shorts().size(), before + 1);
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
