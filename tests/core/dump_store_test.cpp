#include "core/dump_store.hpp"

#include "core/tick_clock.hpp"
#include "core/window_flags.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <latch>
#include <thread>
#include <vector>

namespace kestrel {
namespace {

using Bytes = std::vector<std::byte>;

EventRecord Header(RecordType type, std::int32_t port, std::int32_t timestamp) {
  EventRecord h;
  h.type = static_cast<std::int32_t>(type);
  h.port = port;
  h.timestamp = timestamp;
  return h;
}

// Lag of one event, as NoteArrival leaves it in the record.
std::int32_t Lag(const EventRecord& r) { return r.captureTime - r.timestamp; }

std::array<std::byte, 4> Word(std::uint8_t status) {
  return {std::byte{status}, std::byte{60}, std::byte{100}, std::byte{0}};
}

// A numbered long record whose content can be checked from its header alone.
Bytes Payload(std::int32_t port, std::int32_t n, std::size_t size) {
  return Bytes(size, static_cast<std::byte>((port * 40 + n) & 0x7F));
}

bool Whole(const RecordView& row) {
  const Bytes expected = Payload(row.header.port, row.header.timestamp, row.payload.size());
  return row.header.dataLength == static_cast<std::int32_t>(row.payload.size()) &&
         std::ranges::equal(row.payload, expected);
}

struct DumpStoreTest : ::testing::Test {
  DumpStoreTest() { flags.present = true; }

  // Notes the event at tick `now` and returns it as NoteArrival rewrote it.
  EventRecord Note(Tick now, RecordType type, std::int32_t port, std::int32_t timestamp) {
    clock.Set(now);
    EventRecord r = Header(type, port, timestamp);
    store.NoteArrival(r);
    return r;
  }
  EventRecord Event(Tick now, std::int32_t port, std::int32_t timestamp) {
    return Note(now, RecordType::MIM_DATA, port, timestamp);
  }

  // Appends a numbered long record: its timestamp is its number.
  static void AppendNumbered(DumpStore& s, std::int32_t port, std::int32_t n, std::size_t size) {
    s.AppendToDump(Header(RecordType::MIM_LONGDATA, port, n), Payload(port, n, size));
  }

  // The timestamps of all rows, oldest first.
  static std::vector<std::int32_t> Timestamps(const DumpStore& s) {
    std::vector<std::int32_t> out;
    for (std::size_t r = 0; s.WithRow(r, [&](const RecordView& row) { out.push_back(row.header.timestamp); }); ++r) {}
    return out;
  }

  ManualClock clock{1000};
  WindowFlags flags;
  DumpStore store{clock, flags};
};

TEST_F(DumpStoreTest, LagIsMeasuredAgainstEachPortsTimeBase) {
  EXPECT_EQ(Event(1000, 1, 100).captureTime, 100);  // first event: time base 900, lag 0
  EXPECT_EQ(store.TimeBase(1), 900);
  EXPECT_EQ(Lag(Event(1050, 1, 130)), 20);
  EXPECT_EQ(Lag(Event(1050, 2, 7000)), 0);  // port 2 has its own base
  EXPECT_EQ(store.TimeBase(2), 1050 - 7000);
  EXPECT_EQ(Lag(Event(1080, 1, 150)), 30);
  EXPECT_EQ(store.MinLag(), 0);
  EXPECT_EQ(store.MaxLag(), 30);

  const LagFigures taken = store.TakeLag();
  EXPECT_EQ(taken.minLag, 0);
  EXPECT_EQ(taken.maxLag, 30);
  EXPECT_EQ(store.MaxLag(), 0);
  EXPECT_EQ(Lag(Event(1100, 1, 180)), 20);
  EXPECT_EQ(store.MaxLag(), 20);
}

// An event that runs ahead of its time base moves every set base earlier by its lag, so the
// smallest lag is 0 again and the largest grows by as much.
TEST_F(DumpStoreTest, NegativeLagFoldsIntoTheTimeBases) {
  Event(1000, 1, 100);  // base 900
  Event(1000, 2, 400);  // base 600
  Event(1030, 1, 110);  // lag 20
  EXPECT_EQ(Lag(Event(1100, 1, 250)), -50);
  EXPECT_EQ(store.MinLag(), 0);
  EXPECT_EQ(store.MaxLag(), 70);
  EXPECT_EQ(store.TimeBase(1), 850);
  EXPECT_EQ(store.TimeBase(2), 550);
  EXPECT_EQ(store.TimeBase(3), 0);  // unset bases stay unset
  EXPECT_EQ(Lag(Event(1100, 1, 250)), 0);
}

TEST_F(DumpStoreTest, OpenAndCloseNoticesRestartTheTimeBase) {
  for (const RecordType notice : {RecordType::MIM_OPEN, RecordType::MIM_CLOSE}) {
    DumpStore s(clock, flags);
    EventRecord first = Header(RecordType::MIM_DATA, 1, 100);
    EventRecord other = Header(RecordType::MIM_DATA, 2, 100);
    clock.Set(1000);
    s.NoteArrival(first);
    s.NoteArrival(other);
    clock.Set(5000);
    EventRecord n = Header(notice, 1, 3000);
    s.NoteArrival(n);
    EXPECT_EQ(s.TimeBase(1), 0);
    EXPECT_EQ(s.TimeBase(2), 900);
    EXPECT_EQ(n.captureTime, 0);
    EventRecord next = Header(RecordType::MIM_DATA, 1, 3000);
    s.NoteArrival(next);
    EXPECT_EQ(Lag(next), 0);
    EXPECT_EQ(s.MaxLag(), 0);  // measured against the old base the lag would be 1100
  }
}

TEST_F(DumpStoreTest, KeepAlivesAreNeitherNotedNorShown) {
  Note(5000, RecordType::KeepAlive, 0, 123);
  EXPECT_EQ(store.TimeBase(0), 0);
  store.AppendToDump(Header(RecordType::KeepAlive, 0, 0), Word(8));
  EXPECT_EQ(store.RowCount(), 0U);
}

TEST_F(DumpStoreTest, DumpFilterHidesClockAndSensingButTheirLagCounts) {
  flags.dumpFilter = true;
  for (const std::uint8_t status : std::array<std::uint8_t, 2>{0xF8, 0xFE}) {
    EventRecord r = Event(2000, 4, 500);
    EXPECT_EQ(store.TimeBase(4), 1500);
    store.AppendToDump(r, Word(status));
  }
  EXPECT_EQ(store.RowCount(), 0U);
  EXPECT_EQ(Lag(Event(2100, 4, 520)), 80);
  EXPECT_EQ(store.MaxLag(), 80);

  store.AppendToDump(Header(RecordType::MIM_DATA, 4, 1), Word(0x90));
  flags.dumpFilter = false;
  EXPECT_EQ(store.RowCount(), 1U);  // earlier filtered records do not come back
  store.AppendToDump(Header(RecordType::MIM_DATA, 4, 2), Word(0xF8));
  EXPECT_EQ(Timestamps(store), (std::vector<std::int32_t>{1, 2}));
}

TEST_F(DumpStoreTest, RowsHoldTheRecordsAndClearStartsAgain) {
  EventRecord h = Header(RecordType::MIM_LONGDATA, 3, 10);
  h.captureTime = 77;
  h.dataLength = 999;  // the stored length is the payload's
  store.AppendToDump(h, Payload(3, 10, 300));
  AppendNumbered(store, 3, 11, 1);
  AppendNumbered(store, 3, 12, 65536);
  ASSERT_EQ(store.RowCount(), 3U);
  EXPECT_TRUE(store.WithRow(0, [](const RecordView& row) {
    EXPECT_EQ(row.header.captureTime, 77);
    EXPECT_EQ(row.header.port, 3);
    EXPECT_EQ(row.bytes.size(), kHeaderSize + 300);
    EXPECT_TRUE(Whole(row));
  }));
  EXPECT_TRUE(store.WithRow(2, [](const RecordView& row) { EXPECT_TRUE(Whole(row)); }));
  EXPECT_FALSE(store.WithRow(3, [](const RecordView&) { ADD_FAILURE(); }));

  store.ClearDump();
  EXPECT_EQ(store.RowCount(), 0U);
  EXPECT_FALSE(store.WithRow(0, [](const RecordView&) { ADD_FAILURE(); }));
  AppendNumbered(store, 5, 20, 40);
  AppendNumbered(store, 5, 21, 40);
  EXPECT_EQ(Timestamps(store), (std::vector<std::int32_t>{20, 21}));
  EXPECT_TRUE(store.WithRow(1, [](const RecordView& row) { EXPECT_TRUE(Whole(row)); }));
}

TEST_F(DumpStoreTest, RowLimitDropsTheOldestRows) {
  struct Case {
    std::size_t maxRows;
    std::int32_t appended;
  };
  for (const Case c : {Case{1, 3}, Case{5, 12}, Case{3000, 7000}}) {
    DumpStore s(clock, flags, DumpLimits{.maxRows = c.maxRows});
    for (std::int32_t n = 0; n < c.appended; ++n) { AppendNumbered(s, 1, n, 4); }
    const auto kept = static_cast<std::int32_t>(c.maxRows);
    std::vector<std::int32_t> newest(c.maxRows);
    for (std::int32_t i = 0; i < kept; ++i) { newest[static_cast<std::size_t>(i)] = c.appended - kept + i; }
    EXPECT_EQ(Timestamps(s), newest) << c.maxRows;
    EXPECT_EQ(s.DroppedRows(), static_cast<std::uint64_t>(c.appended - kept)) << c.maxRows;
  }
}

TEST_F(DumpStoreTest, ByteLimitDropsTheOldestRowsAndClearGivesBytesBack) {
  const DumpLimits limits{.maxBytes = 3 * kMaxRecordSize, .chunkBytes = kMaxRecordSize};
  DumpStore s(clock, flags, limits);
  for (std::int32_t n = 0; n < 5; ++n) { AppendNumbered(s, 1, n, kMaxLongMessage); }
  EXPECT_EQ(Timestamps(s), (std::vector<std::int32_t>{2, 3, 4}));
  EXPECT_EQ(s.DroppedRows(), 2U);
  EXPECT_TRUE(s.WithRow(0, [](const RecordView& row) { EXPECT_TRUE(Whole(row)); }));

  s.ClearDump();
  for (std::int32_t n = 10; n < 13; ++n) { AppendNumbered(s, 1, n, kMaxLongMessage); }
  EXPECT_EQ(Timestamps(s), (std::vector<std::int32_t>{10, 11, 12}));
  EXPECT_EQ(s.DroppedRows(), 2U);  // the cleared rows took their bytes with them

  // Many short rows: the newest stay, contiguous, within the bound.
  DumpStore shorts(clock, flags, limits);
  constexpr std::int32_t kAppended = 10000;
  for (std::int32_t n = 0; n < kAppended; ++n) { AppendNumbered(shorts, 1, n, 4); }
  const auto rows = Timestamps(shorts);
  ASSERT_FALSE(rows.empty());
  EXPECT_LE(rows.size() * kShortRecordSize, limits.maxBytes);
  EXPECT_GE(rows.size() * kShortRecordSize, limits.maxBytes / 2);
  EXPECT_EQ(rows.back(), kAppended - 1);
  EXPECT_EQ(static_cast<std::uint64_t>(rows.front()), shorts.DroppedRows());
  EXPECT_EQ(rows.size() + shorts.DroppedRows(), static_cast<std::size_t>(kAppended));
  EXPECT_TRUE(std::ranges::is_sorted(rows));
}

// Writers released together log numbered records (and their lag) while the list reads rows: every
// row read is whole, and the rows left at the end are each writer's newest, in order.
TEST_F(DumpStoreTest, ConcurrentWritersAndReader) {
  constexpr int kWriters = 3;
  constexpr std::int32_t kPerWriter = 3000;
  constexpr std::size_t kMaxRows = 2000;
  DumpStore s(clock, flags, DumpLimits{.maxRows = kMaxRows});
  std::latch start(kWriters + 1);
  std::atomic<int> running{kWriters};
  std::atomic<bool> intact{true};

  std::thread reader([&] {
    start.arrive_and_wait();
    while (running.load() > 0) {
      const std::size_t rows = s.RowCount();
      for (std::size_t r = 0; r < rows; ++r) {
        s.WithRow(r, [&](const RecordView& row) { intact = intact && Whole(row); });
      }
    }
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      start.arrive_and_wait();
      for (std::int32_t n = 0; n < kPerWriter; ++n) {
        EventRecord h = Header(RecordType::MIM_LONGDATA, w + 1, n);
        s.NoteArrival(h);
        s.AppendToDump(h, Payload(w + 1, n, 1 + static_cast<std::size_t>(n % 50)));
      }
      --running;
    });
  }
  for (std::thread& t : writers) { t.join(); }
  reader.join();

  EXPECT_TRUE(intact);
  EXPECT_EQ(s.RowCount(), kMaxRows);
  EXPECT_EQ(s.DroppedRows(), std::uint64_t{kWriters * kPerWriter} - kMaxRows);
  // Rows go from the front only, so what is left of each writer is the unbroken end of its run.
  std::vector<std::int32_t> last(kWriters + 1, -1);
  for (std::size_t r = 0; r < kMaxRows; ++r) {
    s.WithRow(r, [&](const RecordView& row) {
      auto& previous = last[static_cast<std::size_t>(row.header.port)];
      if (previous >= 0) { EXPECT_EQ(row.header.timestamp, previous + 1); }
      previous = row.header.timestamp;
    });
  }
  for (int w = 1; w <= kWriters; ++w) {
    const std::int32_t newest = last[static_cast<std::size_t>(w)];
    EXPECT_TRUE(newest == -1 || newest == kPerWriter - 1) << "writer " << w;
  }
}

} // namespace
} // namespace kestrel
