// SPDX-License-Identifier: GPL-3.0-or-later
// The server engine between namespace hosts: what reaches the queue leaves as broadcasts of at
// most 512 bytes, long messages as fragments, nothing after a stop, everything after a restart;
// messages that end sound leave a second time, never behind a later Note On of their key, and a
// key's last Note Off leaves late again.
#include "base/auto_reset_event.hpp"
#include "core/dump_store.hpp"
#include "core/send_queue.hpp"
#include "core/window_flags.hpp"
#include "core/wire/wire_protocol.hpp"
#include "net/server_engine.hpp"
#include "net/udp_socket.hpp"
#include "support/child_process.hpp"
#include "support/loopback_transport.hpp"
#include "support/network_lab.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <thread>

namespace kestrel::net {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kNoteOn = PackShortMessage(0x90, 60, 100);

std::vector<std::byte> LongRecord(std::size_t payload, std::int32_t port = 2) {
  std::vector<std::byte> r(kHeaderSize + payload);
  for (std::size_t i = 0; i < payload; ++i) r[kHeaderSize + i] = std::byte{static_cast<std::uint8_t>(i % 0x80)};
  EventRecord h;
  h.dataLength = static_cast<std::int32_t>(payload);
  h.type = static_cast<std::int32_t>(RecordType::MIM_LONGDATA);
  h.port = port;
  StoreHeader(r.data(), h);
  return r;
}

struct ServerEngineTest : ::testing::Test {
  ServerEngineTest() {
    flags.present = true;
    lab.In(0, [&] { sender.Open(); });
    lab.In(1, [&] { receiver.Open(8800, inet_addr(lab.Address(1).c_str())); });
    link.sender = &sender;
  }
  ~ServerEngineTest() override { engine.Stop(); }

  // The datagrams that arrive within `wait` of the last one.
  std::vector<std::vector<std::byte>> Datagrams(std::chrono::milliseconds wait = 1000ms) {
    std::vector<std::vector<std::byte>> got;
    for (;;) {
      AutoResetEvent done;
      std::thread timer([&] {
        if (!done.WaitFor(wait)) interrupt.Set();
      });
      const int n = receiver.Receive(interrupt, false);
      done.Set();
      timer.join();
      interrupt.Consume();
      if (n <= 0) return got;
      const auto d = receiver.Data(static_cast<std::size_t>(n));
      got.emplace_back(d.begin(), d.end());
    }
  }

  test::NetworkLab lab{2};
  WindowFlags flags;
  DumpStore dump{SystemClock(), flags};
  SendQueue queue{dump, flags};
  ServerLink link;
  CUdpSender sender{8800};
  CUdpReceiver receiver;
  AutoResetEvent interrupt;
  CServerThread engine{queue, link, flags};
};

TEST_F(ServerEngineTest, PacksTheQueueIntoDatagramsOfAtMost512Bytes) {
  for (const std::size_t last : {12UL, 13UL}) { // 13 x 36 + 44 = 512 bytes; one more is 513
    for (int i = 0; i < 13; ++i) queue.Append(MakeShortRecord(RecordType::MIM_DATA, 1, i, 0, kNoteOn));
    queue.Append(LongRecord(last));
    const Tick before = link.lastSendTime.load();
    std::this_thread::sleep_for(5ms);
    ASSERT_EQ(engine.Drain(), 1);
    EXPECT_NE(link.lastSendTime.load(), before);
    const auto got = Datagrams(300ms);
    if (last == 12) {
      ASSERT_EQ(got.size(), 1U);
      EXPECT_EQ(got[0].size(), 512U);
    } else {
      ASSERT_EQ(got.size(), 2U);
      EXPECT_EQ(got[0].size() + got[1].size(), 513U);
    }
  }
}

TEST_F(ServerEngineTest, ALongMessageLeavesInFragmentsThatGatherAgain) {
  engine.Start();
  const std::vector<std::byte> record = LongRecord(10000);
  queue.Append(record);
  const auto got = Datagrams();
  ASSERT_EQ(got.size(), 21U) << "20 fragments of 480 bytes and one of 400";
  FragmentGatherer gatherer;
  FragmentGatherer::Result result{};
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].size(), i < 20 ? 512U : 432U) << i;
    RecordReader reader(got[i]);
    RecordView view;
    ASSERT_TRUE(reader.Next(view));
    result = gatherer.Add(view, 0);
  }
  ASSERT_EQ(result, FragmentGatherer::Result::Complete);
  EXPECT_TRUE(std::ranges::equal(gatherer.Completed().payload, std::span(record).subspan(kHeaderSize)));
}

// The other transports get each batch as the queue held it, long messages unfragmented, beside
// Kestrel's own datagrams; one detached gets nothing more, and the others go on.
TEST_F(ServerEngineTest, EveryAttachedTransportGetsEachBatchWholeUntilItIsDetached) {
  test::LoopbackTransport first;
  test::LoopbackTransport second;
  ASSERT_TRUE(link.transports.Attach(first));
  ASSERT_TRUE(link.transports.Attach(second));
  engine.Start();
  const auto note = [](std::int32_t port) {
    const ShortRecord r = MakeShortRecord(RecordType::MIM_DATA, port, 1, 0, kNoteOn);
    return std::vector<std::byte>(r.begin(), r.end());
  };
  const std::vector<std::vector<std::byte>> batch{note(1), LongRecord(10000), note(3)};
  for (const auto& r : batch) queue.Append(r);
  EXPECT_GE(Datagrams().size(), 22U) << "the short ones and 21 fragments";
  EXPECT_EQ(first.Taken(), batch);
  EXPECT_EQ(second.Taken(), batch);

  link.transports.Detach(first);
  queue.Append(batch[0]);
  EXPECT_EQ(Datagrams().size(), 1U);
  EXPECT_TRUE(first.Taken().empty());
  EXPECT_EQ(second.Taken(), decltype(batch){batch[0]});
  EXPECT_EQ(first.Lost() + second.Lost(), 0);
}

TEST_F(ServerEngineTest, NothingLeavesAfterStopAndEverythingAfterTheNextStart) {
  engine.Start();
  queue.Append(MakeShortRecord(RecordType::MIM_DATA, 1, 1, 0, kNoteOn));
  EXPECT_EQ(Datagrams().size(), 1U);
  engine.Stop();
  EXPECT_FALSE(engine.Running());
  queue.Append(MakeShortRecord(RecordType::MIM_DATA, 1, 2, 0, kNoteOn));
  queue.Append(MakeShortRecord(RecordType::MIM_DATA, 1, 3, 0, kNoteOn));
  EXPECT_TRUE(Datagrams(300ms).empty()) << "nothing is sent while stopped";
  engine.Start(); // the wake event is still set: queued records go at once
  const auto got = Datagrams();
  ASSERT_EQ(got.size(), 1U);
  EXPECT_EQ(got[0].size(), 72U);

  link.sender = nullptr; // no sender: the thread ends and keeps what is queued
  queue.Append(MakeShortRecord(RecordType::MIM_DATA, 1, 4, 0, kNoteOn));
  ASSERT_TRUE(test::WaitUntil([&] { return !engine.Running(); }));
  EXPECT_EQ(queue.Count(), kShortRecordSize);
}

TEST_F(ServerEngineTest, ASwitchOffThatRacesAProducerLosesNothingAndTheServerKeepsSending) {
  // A record queued while the engine sends a long message, then a stop: the ending thread takes
  // both wakes and leaves the record queued, and a queue that is not empty wakes nobody again.
  constexpr int kRounds = 10;
  int shorts = 0;
  const auto countShorts = [&](std::chrono::milliseconds wait) {
    for (const auto& d : Datagrams(wait)) {
      RecordReader reader(d);
      RecordView view;
      while (reader.Next(view)) shorts += view.header.Is(RecordType::MIM_DATA) ? 1 : 0;
    }
  };
  for (int i = 0; i < kRounds; ++i) {
    engine.Start();
    queue.Append(LongRecord(60000));
    ASSERT_TRUE(test::WaitUntil([&] { return queue.Count() == 0; })) << "taken, now being sent";
    queue.Append(MakeShortRecord(RecordType::MIM_DATA, 1, i, 0, kNoteOn));
    engine.Stop();
    countShorts(200ms);
  }
  engine.Start();
  queue.Append(MakeShortRecord(RecordType::MIM_DATA, 1, kRounds, 0, kNoteOn));
  countShorts(1000ms);
  EXPECT_EQ(shorts, kRounds + 1) << "every record leaves, in its run or at the next start";
}

TEST_F(ServerEngineTest, MessagesThatEndSoundLeaveTwiceAndNeverBehindANewNoteOfTheirKey) {
  const auto shortRecord = [](std::int32_t port, std::uint8_t status, std::uint8_t d1, std::uint8_t d2) {
    return MakeShortRecord(RecordType::MIM_DATA, port, 7, 3, PackShortMessage(status, d1, d2));
  };
  const auto wordsOf = [](const std::vector<std::byte>& datagram) {
    std::vector<std::pair<std::int32_t, std::uint32_t>> words;
    RecordReader reader(datagram);
    RecordView view;
    while (reader.Next(view)) words.emplace_back(view.header.port, view.Word());
    return words;
  };
  using Words = std::vector<std::pair<std::int32_t, std::uint32_t>>;
  const std::array run{
      shortRecord(1, 0x90, 60, 100), shortRecord(1, 0x80, 60, 64),  // ended: repeated
      shortRecord(1, 0x90, 62, 100), shortRecord(1, 0x90, 62, 0),   // ended ...
      shortRecord(1, 0x90, 62, 90),                                 // ... and struck again: not repeated
      shortRecord(2, 0x90, 62, 0),                                  // another port: repeated
      shortRecord(1, 0xB1, 64, 0),   shortRecord(1, 0xB1, 64, 127), // pedal up and down again: not repeated
      shortRecord(1, 0xB3, 123, 0),  shortRecord(1, 0xB3, 64, 10),  // All Notes Off, Sustain Off: repeated
      shortRecord(1, 0xB4, 123, 0),  shortRecord(1, 0x94, 1, 100),  // All Notes Off, then a note: not repeated
  };
  // Queued while stopped, so that the run leaves as one datagram.
  for (const ShortRecord& r : run) queue.Append(r);
  engine.Start();
  auto got = Datagrams(300ms);
  ASSERT_EQ(got.size(), 3U) << "the run, its repeats within a few milliseconds, late copies 100 ms after";
  EXPECT_EQ(got[0].size(), run.size() * kShortRecordSize);
  EXPECT_EQ(got[1].size(), 4 * kShortRecordSize) << "repeats are whole records, header and all";
  EXPECT_TRUE(std::equal(got[1].begin(), got[1].begin() + kShortRecordSize, run[1].begin()));
  EXPECT_EQ(wordsOf(got[1]), (Words{{1, PackShortMessage(0x80, 60, 64)},
                                    {2, PackShortMessage(0x90, 62, 0)},
                                    {1, PackShortMessage(0xB3, 123, 0)},
                                    {1, PackShortMessage(0xB3, 64, 10)}}));
  // Nothing more came for those keys and that pedal: their last Note Off and Sustain Off leave
  // again, 100 ms and a second after, identical.
  const Words late{
      {1, PackShortMessage(0x80, 60, 64)}, {2, PackShortMessage(0x90, 62, 0)}, {1, PackShortMessage(0xB3, 64, 10)}};
  EXPECT_EQ(wordsOf(got[2]), late);
  EXPECT_TRUE(std::equal(got[2].begin(), got[2].begin() + kShortRecordSize, run[1].begin()));
  got = Datagrams(1500ms);
  ASSERT_EQ(got.size(), 1U);
  EXPECT_EQ(wordsOf(got[0]), late);

  // A repeat that is still waiting leads the next datagram: it never follows a new Note On.
  for (int i = 0; i < 20; ++i) {
    queue.Append(shortRecord(1, 0x80, 64, 0));
    queue.Append(shortRecord(1, 0x90, 64, 100));
    got = Datagrams(100ms);
    Words words;
    for (const auto& d : got) std::ranges::copy(wordsOf(d), std::back_inserter(words));
    ASSERT_FALSE(words.empty());
    EXPECT_EQ(words.back(), std::pair(1, PackShortMessage(0x90, 64, 100))) << "round " << i;
  }

  // Switched off, nothing is repeated.
  engine.SetRepeatNoteOff(false);
  queue.Append(shortRecord(1, 0x80, 66, 0));
  EXPECT_EQ(Datagrams(100ms).size(), 1U);
}

} // namespace
} // namespace kestrel::net

namespace kestrel::net {
namespace {

TEST(KeepAliveTick, AnIdleServerAnnouncesItselfAboutOnceASecond) {
  WindowFlags flags;
  DumpStore dump{SystemClock(), flags};
  SendQueue queue{dump, flags};
  ServerLink link;
  link.lastSendTime = 0;
  Tick lastKeepAlive = 0;
  EXPECT_FALSE(KeepAliveTick(1000, link, lastKeepAlive, queue, 8)) << "1000 ms is not yet idle";
  EXPECT_TRUE(KeepAliveTick(1001, link, lastKeepAlive, queue, 8));
  EXPECT_EQ(link.lastSendTime.load(), 1001U);
  EXPECT_EQ(lastKeepAlive, 1001U);
  const auto queued = queue.Take();
  ASSERT_EQ(queued.size(), kShortRecordSize);
  EXPECT_EQ(LoadHeader(queued.data()).type, static_cast<std::int32_t>(RecordType::KeepAlive));
  EXPECT_EQ(LoadLE32(queued.data() + kHeaderSize), 8) << "the virtual port count";
  // A busy server still announces itself every ten seconds.
  int announced = 0;
  for (Tick t = 1030; t <= 12000; t += 30) {
    link.lastSendTime = t; // the engine keeps sending
    if (KeepAliveTick(t, link, lastKeepAlive, queue, 8)) {
      ++announced;
      EXPECT_EQ(t, 11020U) << "the first tick more than 10 s after the last keep-alive";
    }
  }
  EXPECT_EQ(announced, 1);
}

} // namespace
} // namespace kestrel::net
