#include "core/send_queue.hpp"

#include "core/dump_store.hpp"
#include "core/tick_clock.hpp"
#include "core/window_flags.hpp"
#include "core/wire_protocol.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <latch>
#include <thread>
#include <vector>

namespace kestrel {
namespace {

using Bytes = std::vector<std::byte>;

// A long record of `size` bytes in all whose payload starts with `first`.
Bytes LongRecord(std::size_t size, std::uint8_t first = 0xF0, std::int32_t port = 2, std::int32_t timestamp = 0) {
  Bytes r(std::max(size, kHeaderSize + 1), std::byte{0x11});
  EventRecord h;
  h.dataLength = static_cast<std::int32_t>(size - kHeaderSize);
  h.type = static_cast<std::int32_t>(RecordType::MIM_LONGDATA);
  h.port = port;
  h.timestamp = timestamp;
  StoreHeader(r.data(), h);
  r[kHeaderSize] = std::byte{first};
  return r;
}

ShortRecord Data(std::uint8_t status, std::int32_t port = 1, std::int32_t timestamp = 0) {
  return MakeShortRecord(RecordType::MIM_DATA, port, timestamp, 0, PackShortMessage(status, 60, 100));
}

struct QueueFixture : ::testing::Test {
  QueueFixture() {
    flags.present = true;
    flags.serverLog = true;
    flags.dumpFilter = false;
  }
  ManualClock clock{5000};
  WindowFlags flags;
  DumpStore dump{clock, flags};
  SendQueue queue{dump, flags};
};

using SendQueueTest = QueueFixture;

TEST_F(SendQueueTest, TakeReturnsTheRecordsInOrderAndEmptiesTheQueue) {
  const auto a = Data(0x90, 1, 10);
  const Bytes b = LongRecord(200);
  const auto c = MakeKeepAlive(8);
  EXPECT_EQ(queue.Append(a), 1);
  EXPECT_EQ(queue.Append(b), 1);
  EXPECT_EQ(queue.Append(c), 1);
  EXPECT_EQ(queue.Count(), 36U + 200U + 36U);

  Bytes expected(a.begin(), a.end());
  expected.insert(expected.end(), b.begin(), b.end());
  expected.insert(expected.end(), c.begin(), c.end());
  EXPECT_TRUE(std::ranges::equal(queue.Take(), expected));
  EXPECT_EQ(queue.Count(), 0U);
  EXPECT_TRUE(queue.Take().empty());
}

// At most 163999 bytes are ever queued. A record that does not fit is dropped but still counts
// as taken (1); it reaches neither the queue nor the dump, and the queue works again once drained.
TEST_F(SendQueueTest, DropsRecordsThatWouldFillTheQueue) {
  struct Case {
    std::size_t lastSize;  // appended onto 163964 queued bytes
    bool taken;
  };
  for (const Case c : {Case{35, true}, Case{36, false}, Case{37, false}}) {
    DumpStore d(clock, flags);
    SendQueue q(d, flags);
    ASSERT_EQ(q.Append(LongRecord(kMaxRecordSize)), 1);
    ASSERT_EQ(q.Append(LongRecord(kMaxRecordSize)), 1);
    ASSERT_EQ(q.Append(LongRecord(163964 - 2 * kMaxRecordSize)), 1);
    ASSERT_EQ(q.Count(), 163964U);
    d.ClearDump();
    const std::int32_t unusedPort = 9;

    EXPECT_EQ(q.Append(LongRecord(c.lastSize, 0xF0, unusedPort)), 1) << c.lastSize;
    EXPECT_EQ(q.Count(), c.taken ? 163999U : 163964U) << c.lastSize;
    EXPECT_EQ(q.DroppedCount(), c.taken ? 0U : 1U) << c.lastSize;
    EXPECT_EQ(d.RowCount(), c.taken ? 1U : 0U) << c.lastSize;
    EXPECT_EQ(d.TimeBase(unusedPort) != 0, c.taken) << c.lastSize;

    EXPECT_EQ(q.Take().size(), c.taken ? 163999U : 163964U);
    EXPECT_EQ(q.Append(Data(0x90)), 1);
    EXPECT_EQ(q.Count(), 36U);
    EXPECT_EQ(q.DroppedCount(), c.taken ? 0U : 1U);
  }
}

TEST_F(SendQueueTest, FiltersRefuseClockAndSensingOnlyWhileTheWindowAsksForIt) {
  struct Case {
    bool present, filterTC, filterAS;
    std::uint8_t status;
    int expected;
  };
  const Case cases[] = {
      {true, true, true, 0xF8, 0},   {true, true, true, 0xFE, 0},   {true, true, true, 0x90, 1},
      {true, false, true, 0xF8, 1},  {true, true, false, 0xFE, 1},  {true, false, true, 0xFE, 0},
      {true, true, false, 0xF8, 0},  {false, true, true, 0xF8, 1},  {false, true, true, 0xFE, 1},
  };
  for (const Case& c : cases) {
    flags.present = c.present;
    flags.filterTimingClock = c.filterTC;
    flags.filterActiveSensing = c.filterAS;
    const std::size_t rowsBefore = dump.RowCount();
    const std::size_t countBefore = queue.Count();
    const auto record = Data(c.status);
    EXPECT_EQ(queue.Append(record), c.expected)
        << c.present << c.filterTC << c.filterAS << " status " << int{c.status};
    EXPECT_EQ(queue.Count() - countBefore, c.expected == 1 ? 36U : 0U);
    EXPECT_EQ(dump.RowCount() - rowsBefore, c.present && c.expected == 1 ? 1U : 0U);
  }
  // A system-exclusive message is never refused, whatever the filters say.
  flags.present = true;
  flags.filterTimingClock = true;
  flags.filterActiveSensing = true;
  EXPECT_EQ(queue.Append(LongRecord(100, 0xF0)), 1);
  EXPECT_EQ(queue.Append(LongRecord(1000, 0xF0)), 1);
}

TEST_F(SendQueueTest, WakeEventOnlyWhenTheQueueStopsBeingEmpty) {
  EXPECT_FALSE(queue.WakeEvent().Consume());
  queue.Append(Data(0x90));
  EXPECT_TRUE(queue.WakeEvent().Consume());
  queue.Append(Data(0x80));
  EXPECT_FALSE(queue.WakeEvent().Consume());
  (void)queue.Take();
  EXPECT_FALSE(queue.WakeEvent().Consume());
  queue.Append(Data(0x90));
  EXPECT_TRUE(queue.WakeEvent().Consume());
  // A refused record does not wake the engine.
  (void)queue.Take();
  flags.filterTimingClock = true;
  queue.Append(Data(0xF8));
  EXPECT_FALSE(queue.WakeEvent().Consume());
}

// The dump sees the record with its capture time made relative to the port's time base; the copy
// that travels keeps the producer's.
TEST_F(SendQueueTest, TakenRecordsReachTheDumpOnlyWhileTheWindowExists) {
  flags.present = false;
  EXPECT_EQ(queue.Append(Data(0x90, 4, 100)), 1);
  EXPECT_EQ(dump.RowCount(), 0U);
  EXPECT_EQ(dump.TimeBase(4), 0);
  EXPECT_EQ(queue.Count(), 36U);

  flags.present = true;
  flags.serverLog = false;
  queue.Append(Data(0x90, 4, 100));
  EXPECT_EQ(dump.RowCount(), 0U);
  EXPECT_EQ(dump.TimeBase(4), 4900);  // lag is kept even without the log

  flags.serverLog = true;
  clock.Advance(50);
  queue.Append(Data(0x80, 4, 120));
  ASSERT_EQ(dump.RowCount(), 1U);
  dump.WithRow(0, [](const RecordView& row) {
    EXPECT_EQ(row.header.captureTime, 150);
    EXPECT_EQ(row.Word(), PackShortMessage(0x80, 60, 100));
  });
  const auto queued = queue.Take();
  EXPECT_EQ(LoadHeader(queued.data() + 2 * kShortRecordSize).captureTime, 0);
}

// Four producers released together append numbered records of varying length while the engine
// thread drains: every record arrives once, whole, and in its producer's order.
TEST_F(SendQueueTest, RacingProducersLoseNothing) {
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 1000;  // about 144000 bytes in all: nothing is ever dropped
  std::latch start(kProducers + 1);
  auto record = [](int producer, int n) {
    Bytes r = LongRecord(kHeaderSize + 1 + static_cast<std::size_t>(n % 7), 0x10, producer + 1, n);
    for (std::size_t i = kHeaderSize + 1; i < r.size(); ++i) { r[i] = static_cast<std::byte>(n & 0x7F); }
    return r;
  };

  std::array<int, kProducers> next{};
  int received = 0;
  bool intact = true;
  std::thread consumer([&] {
    start.arrive_and_wait();
    while (received < kProducers * kPerProducer && intact) {
      if (!queue.WakeEvent().WaitFor(std::chrono::seconds(5))) {
        intact = false;  // records outstanding and no wake: the engine would sleep forever
        break;
      }
      RecordReader reader(queue.Take());
      RecordView v;
      while (reader.Next(v)) {
        const int producer = v.header.port - 1;
        const int n = v.header.timestamp;
        intact = intact && producer >= 0 && producer < kProducers && n == next[static_cast<std::size_t>(producer)] &&
                 std::ranges::equal(v.bytes, record(producer, n));
        if (!intact) { break; }
        ++next[static_cast<std::size_t>(producer)];
        ++received;
      }
      intact = intact && !reader.Malformed();
    }
  });
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
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
