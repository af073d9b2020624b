// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/send_queue.hpp"

#include "core/drop_counters.hpp"
#include "core/dump_store.hpp"
#include "core/window_flags.hpp"
#include "core/wire/wire_protocol.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <latch>
#include <thread>
#include <vector>

namespace kestrel {
namespace {

// A long record of `size` bytes in all (at least 33) whose payload is `first`, then `fill` bytes.
std::vector<std::byte> LongRecord(std::size_t size, std::int32_t port = 2, std::int32_t timestamp = 0,
                                  std::uint8_t first = 0xF0, std::uint8_t fill = 0x11) {
  std::vector<std::byte> r(std::max(size, kHeaderSize + 1), std::byte{fill});
  const auto type = static_cast<std::int32_t>(RecordType::MIM_LONGDATA);
  StoreHeader(r.data(), {static_cast<std::int32_t>(r.size() - kHeaderSize), type, port, timestamp});
  r[kHeaderSize] = std::byte{first};
  return r;
}

ShortRecord Data(std::uint8_t status, std::int32_t port = 1, std::int32_t timestamp = 0) {
  return MakeShortRecord(RecordType::MIM_DATA, port, timestamp, 0, PackShortMessage(status, 60, 100));
}

struct SendQueueTest : ::testing::Test {
  SendQueueTest() {
    flags.present = true;
    flags.serverLog = true;
    flags.dumpFilter = false;
  }
  ManualClock clock{5000};
  WindowFlags flags;
  DumpStore dump{clock, flags};
  SendQueue queue{dump, flags};
};

// At most 163999 bytes are ever queued. A record that does not fit counts as taken (1) but reaches
// neither the queue nor the dump, and the queue takes records again once the engine drained it.
TEST_F(SendQueueTest, DropsRecordsThatWouldFillTheQueue) {
  for (const auto& [lastSize, taken] : {std::pair<std::size_t, bool>{35, true}, {36, false}, {37, false}}) {
    DumpStore d(clock, flags);
    DropCounters drops;
    SendQueue q(d, flags, &drops);
    for (const std::size_t size : {kMaxRecordSize, kMaxRecordSize, 163964 - 2 * kMaxRecordSize}) {
      ASSERT_EQ(q.Append(LongRecord(size)), 1);
    }
    d.ClearDump();
    EXPECT_EQ(q.Append(LongRecord(lastSize, 9)), 1) << lastSize;
    EXPECT_EQ(q.Count(), taken ? 163999U : 163964U) << lastSize;
    EXPECT_EQ(q.DroppedCount(), taken ? 0U : 1U) << lastSize;
    EXPECT_EQ(drops.Get(Drop::QueueFull), q.DroppedCount()) << lastSize;
    EXPECT_EQ(d.RowCount(), taken ? 1U : 0U) << lastSize;
    EXPECT_EQ(d.TimeBase(9) != 0, taken) << lastSize;

    EXPECT_EQ(q.Take().size(), taken ? 163999U : 163964U);
    EXPECT_EQ(q.Append(Data(0x90)), 1);
    EXPECT_EQ(q.Count(), 36U);
  }
}

// Without a window nothing is filtered and nothing reaches the dump, not even the lag.
TEST_F(SendQueueTest, FiltersRefuseClockAndSensingOnlyWhileTheWindowAsksForIt) {
  const struct {
    bool present, filterTC, filterAS;
    std::uint8_t status;
    int result;
  } cases[] = {
      {true, true, true, 0xF8, 0},  {true, true, true, 0xFE, 0},    {true, true, true, 0x90, 1},
      {true, false, true, 0xF8, 1}, {true, true, false, 0xFE, 1},   {false, true, true, 0xF8, 1},
      {false, true, true, 0xFE, 1}, {false, false, false, 0x90, 1},
  };
  for (const auto& c : cases) {
    flags.present = c.present;
    flags.filterTimingClock = c.filterTC;
    flags.filterActiveSensing = c.filterAS;
    DumpStore d(clock, flags);
    SendQueue q(d, flags);
    EXPECT_EQ(q.Append(Data(c.status, 5)), c.result) << c.present << c.filterTC << c.filterAS << int{c.status};
    EXPECT_EQ(q.Count(), c.result == 1 ? 36U : 0U);
    EXPECT_EQ(d.RowCount(), c.present && c.result == 1 ? 1U : 0U);
    EXPECT_EQ(d.TimeBase(5) != 0, c.present && c.result == 1);
  }
  flags.filterTimingClock = true;
  flags.filterActiveSensing = true;
  flags.present = true; // system-exclusive is never refused
  EXPECT_EQ(queue.Append(LongRecord(100)), 1);
  EXPECT_EQ(queue.Append(LongRecord(1000)), 1);
}

// A record the receiver would drop as malformed (and with it the rest of its datagram) is refused.
TEST_F(SendQueueTest, RefusesRecordsNoReceiverWouldRead) {
  ShortRecord shortData = Data(0x90);
  StoreLE32(shortData.data() + field::kDataLength, 3);
  ShortRecord unknown = MakeShortRecord(static_cast<RecordType>(5), 1, 0, 0, 0x90);
  ShortRecord fragment = MakeShortRecord(RecordType::Fragment, 1, 0, 0, 0x90);
  std::vector<std::byte> emptyLong = LongRecord(kHeaderSize + 1);
  emptyLong.pop_back();
  StoreLE32(emptyLong.data() + field::kDataLength, 0);
  EXPECT_EQ(queue.Append(std::span(shortData).first(35)), 0);
  EXPECT_EQ(queue.Append(unknown), 0);
  EXPECT_EQ(queue.Append(fragment), 0);
  EXPECT_EQ(queue.Append(emptyLong), 0);
  EXPECT_EQ(queue.Append(LongRecord(kMaxRecordSize + 1)), 0);
  EXPECT_EQ(queue.Count(), 0U);
}

TEST_F(SendQueueTest, WakeEventOnlyWhenTheQueueStopsBeingEmpty) {
  EXPECT_FALSE(queue.WakeEvent().Consume());
  queue.Append(Data(0x90));
  EXPECT_TRUE(queue.WakeEvent().Consume());
  queue.Append(Data(0x80));
  EXPECT_FALSE(queue.WakeEvent().Consume());
  (void)queue.Take();
  EXPECT_FALSE(queue.WakeEvent().Consume());
  queue.Append(Data(0xF8)); // refused
  EXPECT_FALSE(queue.WakeEvent().Consume());
  queue.Append(Data(0x90));
  EXPECT_TRUE(queue.WakeEvent().Consume());
}

// Four producers released together append numbered records of varying length while the engine
// thread drains: every record arrives once, whole, and in its producer's order.
TEST_F(SendQueueTest, RacingProducersLoseNothing) {
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 1000; // about 144000 bytes in all: nothing is ever dropped
  auto record = [](int producer, int n) {
    return LongRecord(kHeaderSize + 1 + static_cast<std::size_t>(n % 7), producer, n, 0x10,
                      static_cast<std::uint8_t>(n & 0x7F));
  };
  std::latch start(kProducers + 1);
  std::array<int, kProducers> next{};
  int received = 0;
  bool intact = true;
  std::thread consumer([&] {
    start.arrive_and_wait();
    while (intact && received < kProducers * kPerProducer) {
      // Records outstanding but no wake would leave the engine asleep for good.
      intact = queue.WakeEvent().WaitFor(std::chrono::seconds(5));
      RecordReader reader(queue.Take());
      for (RecordView v; intact && reader.Next(v); ++received) {
        const auto p = static_cast<std::size_t>(v.header.port);
        intact = p < next.size() && v.header.timestamp == next[p] &&
                 std::ranges::equal(v.bytes, record(v.header.port, next[p]));
        if (intact) { ++next[p]; }
      }
      intact = intact && !reader.Malformed();
    }
  });
  std::vector<std::thread> producers(kProducers);
  for (int p = 0; p < kProducers; ++p) {
    producers[static_cast<std::size_t>(p)] = std::thread([&, p] {
      start.arrive_and_wait();
      for (int n = 0; n < kPerProducer; ++n) { queue.Append(record(p, n)); }
    });
  }
  for (std::thread& t : producers) { t.join(); }
  consumer.join();

  EXPECT_TRUE(intact);
  EXPECT_EQ(received, kProducers * kPerProducer);
  EXPECT_EQ(queue.DroppedCount(), 0U);
  EXPECT_EQ(dump.RowCount(), static_cast<std::size_t>(kProducers * kPerProducer));
}

} // namespace
} // namespace kestrel
