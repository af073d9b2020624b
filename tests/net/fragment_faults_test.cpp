// SPDX-License-Identifier: GPL-3.0-or-later
// Long system-exclusive messages from the server engine to the client engine over a network that
// loses, duplicates or reorders single fragments (netem on the server's host, aimed by a filter
// at one fragment of one message). A message that is not gathered whole and in order is never
// played in part; the messages after it play as if nothing had happened. And a Note Off whose
// datagram is lost: its repeat turns the note off, and without loss it is played once. And a
// multicast burst beyond the sender's room on a slow link: what is lost is counted.
#include "core/drop_counters.hpp"
#include "core/dump_store.hpp"
#include "core/midi_outputs.hpp"
#include "core/send_queue.hpp"
#include "core/window_flags.hpp"
#include "core/wire/wire_protocol.hpp"
#include "net/client_engine.hpp"
#include "net/server_engine.hpp"
#include "net/udp_socket.hpp"
#include "platform/beep.hpp"
#include "support/child_process.hpp"
#include "support/network_lab.hpp"
#include "support/recording_outputs.hpp"
#include "transport/multicast/multicast.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <mutex>

namespace kestrel::net {
namespace {

using test::NetworkLab;
using test::WaitUntil;

constexpr std::uint16_t kPort = 8800;

std::atomic<int> bells{0};
void CountBell() { bells.fetch_add(1); }

// Every slot named "synth" is open; what is played is recorded in order.
using test::RecordingOutputs;

class Reports final : public ClientReports {
public:
  void ReportConnectionState(ConnectionState state) override { current_ = state; }
  void ReportServerAddress(in_addr_t /*address*/) override {}
  void ReportFatalError(const std::string& text) override { ADD_FAILURE() << text; }
  ConnectionState CurrentState() const noexcept override { return current_.load(); }
  std::atomic<ConnectionState> current_{ConnectionState::Connecting};
};

// A system-exclusive record of `length` bytes (F0 ... F7) on `port`; `seed` makes its bytes its own.
std::vector<std::byte> SysEx(std::size_t length, std::int32_t port, std::uint8_t seed) {
  std::vector<std::byte> r(kHeaderSize + length);
  for (std::size_t i = 0; i < length; ++i) r[kHeaderSize + i] = std::byte{static_cast<std::uint8_t>((seed + i) % 0x80)};
  r[kHeaderSize] = std::byte{0xF0};
  r.back() = std::byte{0xF7};
  EventRecord h;
  h.dataLength = static_cast<std::int32_t>(length);
  h.type = static_cast<std::int32_t>(RecordType::MIM_LONGDATA);
  h.port = port;
  StoreHeader(r.data(), h);
  return r;
}

std::vector<std::byte> PayloadOf(const std::vector<std::byte>& record) {
  return {record.begin() + kHeaderSize, record.end()};
}

NetworkLab::PayloadWord Word(std::size_t offset, std::int32_t value) {
  NetworkLab::PayloadWord w{offset, {}};
  StoreLE32(w.bytes.data(), value);
  return w;
}

// The datagram that carries fragment `sequence` of a long message on `port`.
std::array<NetworkLab::PayloadWord, 3> FragmentOf(std::int32_t port, RecordType type, std::int32_t sequence) {
  return {Word(field::kType, static_cast<std::int32_t>(type)), Word(field::kPort, port),
          Word(field::kSequence, sequence)};
}

// The message that meets the fault goes on this port; the good ones after it on port 1, which the
// filters leave alone.
constexpr std::int32_t kFaultPort = 2;

// One LAN for every test here: making one takes about a second in the emulated machine. Each test
// aims its own netem rules, which replace the last test's.
NetworkLab& SharedLab() {
  static NetworkLab lab(2);
  return lab;
}

struct FragmentFaultsTest : ::testing::Test {
  FragmentFaultsTest() {
    SetBell(&CountBell);
    flags.present = true;
    link.sender = &sender;
    lab.In(0, [&] {
      sender.Open();
      server.Start();
    });
    lab.In(1, [&] { client.Start(); }); // the engine thread lives in the client's host
    EXPECT_EQ(client.PostCommand(CClientThread::CmdOpenOutput, 0, "synth"), 1);
    EXPECT_EQ(client.PostCommand(CClientThread::CmdOpenOutput, kFaultPort - 1, "synth"), 1);
    client.Connect(kPort, inet_addr(lab.Address(1).c_str()));
    EXPECT_TRUE(WaitUntil([&] {
      queue.Append(MakeKeepAlive(8));
      return reports.current_.load() == ConnectionState::Connected;
    }));
    bells = 0;
  }
  ~FragmentFaultsTest() override {
    client.Stop();
    server.Stop();
    SetBell(nullptr);
  }

  // The good messages that follow a fault; true once both have been played.
  bool SendTheNextOnes() {
    queue.Append(nextNote);
    queue.Append(nextLong);
    return WaitUntil([&] {
      RingHandedOverBeep(); // as the window's tick does: the engine hands its beeps over
      const auto shorts = outputs.Shorts();
      return !shorts.empty() && shorts.back() == std::pair(0, PackShortMessage(0x90, 60, 100)) &&
             !outputs.Longs().empty() && outputs.Longs().back().second == PayloadOf(nextLong);
    });
  }

  // The message the fault is aimed at; 10000 bytes: 21 fragments, 0 to 20.
  const std::vector<std::byte> target = SysEx(10000, kFaultPort, 1);
  const std::vector<std::byte> nextLong = SysEx(900, 1, 2); // two fragments
  const ShortRecord nextNote = MakeShortRecord(RecordType::MIM_DATA, 1, 0, 0, PackShortMessage(0x90, 60, 100));

  NetworkLab& lab = SharedLab();
  WindowFlags flags;
  DumpStore dump{SystemClock(), flags};
  SendQueue queue{dump, flags};
  ServerLink link;
  CUdpSender sender{kPort};
  CServerThread server{queue, link, flags};
  RecordingOutputs outputs;
  Reports reports;
  CClientThread client{outputs, dump, flags, reports};
};

struct Position {
  const char* name;
  RecordType type;
  std::int32_t sequence;
  bool beeps; // when lost: the fragments after it come out of sequence
};
const Position kFirst{"First", RecordType::Fragment, 0, false};
const Position kMiddle{"Middle", RecordType::Fragment, 7, true};
const Position kLast{"Last", RecordType::LastFragment, 20, false};
std::string PositionName(const ::testing::TestParamInfo<Position>& info) { return info.param.name; }

struct LostFragment : FragmentFaultsTest, ::testing::WithParamInterface<Position> {};

TEST_P(LostFragment, DropsTheWholeMessageAndTheNextOnesPlay) {
  const Position& lost = GetParam();
  lab.NetemMatching(0, FragmentOf(kFaultPort, lost.type, lost.sequence), "loss 100%");
  queue.Append(target);
  ASSERT_TRUE(SendTheNextOnes());
  EXPECT_EQ(lab.NetemStats(0).dropped, 1) << "exactly the one fragment was lost";
  const auto longs = outputs.Longs();
  ASSERT_EQ(longs.size(), 1U) << "nothing of the broken message was played";
  // Signalled once for the message, not once for each fragment behind the lost one.
  if (lost.beeps) { EXPECT_EQ(bells.load(), 1) << "fragments out of sequence are signalled"; }

  // The same message again, whole this time, while the broken one may still be pending.
  lab.ClearNetem(0);
  queue.Append(target);
  ASSERT_TRUE(WaitUntil([&] { return outputs.Longs().size() == 2; }));
  EXPECT_EQ(outputs.Longs().back(), std::pair(kFaultPort - 1, PayloadOf(target)));
}

INSTANTIATE_TEST_SUITE_P(Fragments, LostFragment, ::testing::Values(kFirst, kMiddle, kLast), PositionName);

struct DuplicatedFragment : FragmentFaultsTest, ::testing::WithParamInterface<Position> {};

TEST_P(DuplicatedFragment, IsPassedOverAndTheMessagePlaysOnce) {
  const Position& twice = GetParam();
  lab.NetemMatching(0, FragmentOf(kFaultPort, twice.type, twice.sequence), "duplicate 100%");
  queue.Append(target);
  ASSERT_TRUE(SendTheNextOnes());
  EXPECT_EQ(lab.NetemStats(0).sent, 2) << "the fragment went out twice";
  const auto longs = outputs.Longs();
  ASSERT_EQ(longs.size(), 2U);
  EXPECT_EQ(longs[0], std::pair(kFaultPort - 1, PayloadOf(target)));
}

INSTANTIATE_TEST_SUITE_P(Fragments, DuplicatedFragment, ::testing::Values(kFirst, kMiddle, kLast), PositionName);

// Fragments are taken in sequence only: one that overtakes another breaks the message even when
// every fragment arrives in the end.
TEST_F(FragmentFaultsTest, AReorderedMessageIsDroppedAndTheNextOnesPlay) {
  lab.NetemMatching(0, FragmentOf(kFaultPort, RecordType::Fragment, 1), "delay 100ms");
  queue.Append(target);
  ASSERT_TRUE(WaitUntil([&] { return lab.NetemStats(0).sent == 1; })) << "fragment 1 left after all the others";
  ASSERT_TRUE(SendTheNextOnes());
  EXPECT_EQ(outputs.Longs().size(), 1U) << "nothing of the reordered message was played";
  EXPECT_GT(bells.load(), 0) << "fragments out of sequence are signalled";
}

TEST_F(FragmentFaultsTest, ANoteOffWhoseDatagramIsLostIsMadeGoodByItsRepeat) {
  std::uint8_t key = 40;
  // A note struck, then its Note Off queued behind another channel's note, so that both leave in
  // one datagram, which is lost when `lose`. The repeat carries the Note Off alone, at the front,
  // and passes the filter. Returns what the client played of that key.
  const auto playNote = [&](bool lose) {
    ++key;
    const std::uint32_t on = PackShortMessage(0x91, key, 100);
    const std::uint32_t off = PackShortMessage(0x81, key, 0);
    const std::uint32_t other = PackShortMessage(0x92, key, 100);
    queue.Append(MakeShortRecord(RecordType::MIM_DATA, 1, key, 0, on));
    EXPECT_TRUE(WaitUntil([&] { return !outputs.Shorts().empty() && outputs.Shorts().back().second == on; }));
    const std::array lost{Word(kHeaderSize, static_cast<std::int32_t>(other)),
                          Word(kShortRecordSize + kHeaderSize, static_cast<std::int32_t>(off))};
    if (lose) lab.NetemMatching(0, lost, "loss 100%");
    server.Stop(); // queued together, they leave as one datagram at the start
    queue.Append(MakeShortRecord(RecordType::MIM_DATA, 1, key, 0, other));
    queue.Append(MakeShortRecord(RecordType::MIM_DATA, 1, key, 0, off));
    server.Start();
    EXPECT_TRUE(WaitUntil([&] { return queue.Count() == 0; })) << "the two have left, alone";
    EXPECT_TRUE(SendTheNextOnes());
    if (lose) {
      EXPECT_EQ(lab.NetemStats(0).dropped, 1);
      lab.ClearNetem(0);
    }
    std::vector<std::uint32_t> played;
    for (const auto& [slot, word] : outputs.Shorts()) {
      if (((word >> 8U) & 0x7FU) == key && (word & 0x0FU) == 1) played.push_back(word);
    }
    return played;
  };
  auto played = playNote(false);
  EXPECT_EQ(played, (std::vector{PackShortMessage(0x91, key, 100), PackShortMessage(0x81, key, 0)}))
      << "without loss, each plays once";
  played = playNote(true);
  EXPECT_EQ(played, (std::vector{PackShortMessage(0x91, key, 100), PackShortMessage(0x81, key, 0)}))
      << "the repeat turned the note off";
  server.SetRepeatNoteOff(false);
  played = playNote(true);
  EXPECT_EQ(played, std::vector{PackShortMessage(0x91, key, 100)}) << "without the repeat, the note sounds on";
}

TEST(MulticastBurst, WhatTheSenderCouldNotSendIsCounted) {
  NetworkLab lab(2);
  lab.Netem(0, "rate 1mbit");
  DropCounters drops;
  MulticastSender sender;
  sender.SetDropCounters(&drops);
  std::vector<std::byte> records;
  for (int i = 0; i < 2000; ++i) {
    const ShortRecord r = MakeShortRecord(RecordType::MIM_DATA, 1 + i % 8, 0, 0,
                                          PackShortMessage(0x90, static_cast<std::uint8_t>(i % 128), 1));
    records.insert(records.end(), r.begin(), r.end());
  }
  lab.In(0, [&] {
    sender.Open();
    sender.SendRecords(records);
  });
  EXPECT_LT(sender.Sent(), 2000U) << "the burst is larger than the socket's room";
  EXPECT_EQ(drops.Get(Drop::MulticastSendFailed), 2000U - sender.Sent()) << "every message lost is counted";
  EXPECT_EQ(sender.SendFailed(), 2000U - sender.Sent());
  EXPECT_EQ(lab.NetemStats(0).dropped, 2000 - static_cast<long>(sender.Sent())) << "what the link's queue dropped";
}

} // namespace
} // namespace kestrel::net
