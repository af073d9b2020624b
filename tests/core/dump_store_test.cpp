// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/dump_store.hpp"

#include "core/dump_printer.hpp"

#include "base/tick_clock.hpp"
#include "core/window_flags.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <latch>
#include <memory>
#include <numeric>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kestrel {
namespace {

EventRecord Header(RecordType type, std::int32_t port, std::int32_t timestamp) {
  return EventRecord{.type = static_cast<std::int32_t>(type), .port = port, .timestamp = timestamp};
}

std::array<std::byte, 4> Word(std::uint8_t status) { return {std::byte{status}, std::byte{60}, std::byte{100}}; }

// Payload of a numbered record, so that a row can be checked against its own header.
std::vector<std::byte> Payload(std::int32_t port, std::int32_t n, std::size_t size) {
  return std::vector<std::byte>(size, static_cast<std::byte>((port * 40 + n) & 0x7F));
}

bool Whole(const RecordView& row) {
  return !row.payload.empty() && row.header.dataLength == static_cast<std::int32_t>(row.payload.size()) &&
         std::ranges::equal(row.payload, Payload(row.header.port, row.header.timestamp, row.payload.size()));
}

void AppendNumbered(DumpStore& s, std::int32_t n, std::size_t size, std::int32_t port = 1) {
  s.AppendToDump(Header(RecordType::MIM_LONGDATA, port, n), Payload(port, n, size));
}

// The timestamps of all rows, oldest first.
std::vector<std::int32_t> Timestamps(const DumpStore& s) {
  std::vector<std::int32_t> out;
  for (std::size_t r = 0; s.WithRow(r, [&](const RecordView& row) { out.push_back(row.header.timestamp); }); ++r) {}
  return out;
}

struct DumpStoreTest : ::testing::Test {
  DumpStoreTest() { flags.present = true; }

  // Notes an event at tick `now` and returns its lag, from the capture time NoteArrival wrote.
  std::int32_t Lag(Tick now, std::int32_t port, std::int32_t timestamp, RecordType type = RecordType::MIM_DATA) {
    clock.Set(now);
    EventRecord r = Header(type, port, timestamp);
    store.NoteArrival(r);
    return r.captureTime - r.timestamp;
  }

  ManualClock clock{1000};
  WindowFlags flags;
  DumpStore store{clock, flags};
};

// An event that runs ahead of its time base moves every set base earlier by its lag, so the
// smallest lag is 0 again and the largest grows by as much.
TEST_F(DumpStoreTest, LagAgainstEachPortsTimeBaseWithNegativeLagsFolded) {
  EXPECT_EQ(Lag(1000, 1, 100), 0); // first event: time base 900
  EXPECT_EQ(Lag(1000, 2, 400), 0); // each port has its own
  EXPECT_EQ(Lag(1030, 1, 110), 20);
  EXPECT_EQ(std::make_pair(store.TimeBase(1), store.TimeBase(2)), std::make_pair(900, 600));
  EXPECT_EQ(Lag(1100, 1, 250), -50);
  EXPECT_EQ(std::make_pair(store.MinLag(), store.MaxLag()), std::make_pair(0, 70));
  EXPECT_EQ(std::make_pair(store.TimeBase(1), store.TimeBase(2)), std::make_pair(850, 550));
  EXPECT_EQ(store.TimeBase(3), 0); // an unset base stays unset
  EXPECT_EQ(Lag(1100, 1, 250), 0);

  const LagFigures taken = store.TakeLag();
  EXPECT_EQ(std::make_pair(taken.minLag, taken.maxLag), std::make_pair(0, 70));
  EXPECT_EQ(Lag(1120, 2, 540), 30);
  EXPECT_EQ(store.MaxLag(), 30);
}

TEST_F(DumpStoreTest, OpenAndCloseRestartTheTimeBaseAndKeepAlivesAreIgnored) {
  for (const RecordType notice : {RecordType::MIM_OPEN, RecordType::MIM_CLOSE}) {
    const std::int32_t port = notice == RecordType::MIM_OPEN ? 1 : 3;
    Lag(1000, port, 100);
    Lag(1000, port + 1, 100);
    Lag(5000, port, 3000, notice);
    EXPECT_EQ(std::make_pair(store.TimeBase(port), store.TimeBase(port + 1)), std::make_pair(0, 900));
    EXPECT_EQ(Lag(5000, port, 3000), 0); // against the old base it would be 1100
    EXPECT_EQ(store.MaxLag(), 0);
  }
  Lag(6000, 0, 123, RecordType::KeepAlive);
  EXPECT_EQ(store.TimeBase(0), 0);
  store.AppendToDump(Header(RecordType::KeepAlive, 0, 0), Word(8));
  EXPECT_EQ(store.RowCount(), 0U);
}

TEST_F(DumpStoreTest, DumpFilterHidesClockAndSensingButTheirLagCounts) {
  flags.dumpFilter = true;
  for (const std::uint8_t status : {std::uint8_t{0xF8}, std::uint8_t{0xFE}}) {
    EXPECT_EQ(Lag(2000, 4, 500), 0);
    store.AppendToDump(Header(RecordType::MIM_DATA, 4, 0), Word(status));
  }
  EXPECT_EQ(store.RowCount(), 0U);
  EXPECT_EQ(store.TimeBase(4), 1500);

  store.AppendToDump(Header(RecordType::MIM_DATA, 4, 1), Word(0x90));
  flags.dumpFilter = false; // earlier filtered records do not come back
  store.AppendToDump(Header(RecordType::MIM_DATA, 4, 2), Word(0xF8));
  EXPECT_EQ(Timestamps(store), (std::vector<std::int32_t>{1, 2}));
}

TEST_F(DumpStoreTest, RowLimitDropsTheOldestRows) {
  for (const auto& [maxRows, appended] : std::initializer_list<std::pair<int, int>>{{1, 3}, {5, 12}, {3000, 7000}}) {
    DumpStore s(clock, flags, DumpLimits{.maxRows = static_cast<std::size_t>(maxRows)});
    for (std::int32_t n = 0; n < appended; ++n) { AppendNumbered(s, n, 4); }
    std::vector<std::int32_t> newest(static_cast<std::size_t>(maxRows));
    std::iota(newest.begin(), newest.end(), appended - maxRows);
    EXPECT_EQ(Timestamps(s), newest) << maxRows;
    EXPECT_EQ(s.DroppedRows(), static_cast<std::uint64_t>(appended - maxRows)) << maxRows;
  }
}

TEST_F(DumpStoreTest, ByteLimitDropsTheOldestRowsAndClearGivesBytesBack) {
  const DumpLimits limits{.maxBytes = 3 * kMaxRecordSize, .chunkBytes = kMaxRecordSize};
  DumpStore s(clock, flags, limits);
  std::int32_t n = 0;
  for (; n < 5; ++n) { AppendNumbered(s, n, kMaxLongMessage); }
  EXPECT_EQ(Timestamps(s), (std::vector<std::int32_t>{2, 3, 4}));
  EXPECT_EQ(s.DroppedRows(), 2U);

  // Then many short rows: the newest stay, unbroken and in order, and fill most of the bound.
  for (; n < 10000; ++n) { AppendNumbered(s, n, 4); }
  const auto rows = Timestamps(s);
  std::vector<std::int32_t> newest(rows.size());
  std::iota(newest.begin(), newest.end(), n - static_cast<std::int32_t>(rows.size()));
  EXPECT_EQ(rows, newest);
  EXPECT_EQ(s.DroppedRows(), static_cast<std::uint64_t>(n) - rows.size());
  EXPECT_LE(rows.size() * kShortRecordSize, limits.maxBytes);
  EXPECT_GE(rows.size() * kShortRecordSize, limits.maxBytes / 2);

  // Clearing empties the dump and rows start again from 0; cleared rows no longer count against the bound.
  EXPECT_GT(s.StorageBytes(), 0U);
  s.ClearDump();
  const std::uint64_t dropped = s.DroppedRows();
  EXPECT_EQ(s.RowCount(), 0U);
  EXPECT_EQ(s.StorageBytes(), 0U);
  for (std::int32_t i = 0; i < 3; ++i) { AppendNumbered(s, i, kMaxLongMessage); }
  EXPECT_EQ(Timestamps(s), (std::vector<std::int32_t>{0, 1, 2}));
  EXPECT_EQ(s.DroppedRows(), dropped);
  EXPECT_TRUE(s.WithRow(2, [](const RecordView& row) { EXPECT_TRUE(Whole(row)); }));
}

// Writers released together log numbered records (and their lag) while the list reads rows:
// every row read is whole, and what is left of each writer is the unbroken end of its run.
TEST_F(DumpStoreTest, ConcurrentWritersAndReader) {
  constexpr int kWriters = 3;
  constexpr std::int32_t kPerWriter = 3000;
  constexpr std::size_t kMaxRows = 2000;
  DumpStore s(clock, flags, DumpLimits{.maxRows = kMaxRows});
  std::latch start(kWriters + 1);
  std::atomic<int> running{kWriters};
  bool intact = true;
  std::thread reader([&] {
    start.arrive_and_wait();
    while (running.load() > 0) {
      for (std::size_t r = 0, rows = s.RowCount(); r < rows; ++r) {
        s.WithRow(r, [&](const RecordView& row) { intact = intact && Whole(row); });
      }
    }
  });
  std::vector<std::thread> writers;
  for (int w = 1; w <= kWriters; ++w) {
    writers.emplace_back([&, w] {
      start.arrive_and_wait();
      for (std::int32_t n = 0; n < kPerWriter; ++n) {
        EventRecord h = Header(RecordType::MIM_LONGDATA, w, n);
        s.NoteArrival(h);
        s.AppendToDump(h, Payload(w, n, 1 + static_cast<std::size_t>(n % 50)));
      }
      --running;
    });
  }
  for (std::thread& t : writers) { t.join(); }
  reader.join();

  EXPECT_TRUE(intact);
  EXPECT_EQ(s.RowCount(), kMaxRows);
  EXPECT_EQ(s.DroppedRows(), std::uint64_t{kWriters} * kPerWriter - kMaxRows);
  std::array<std::int32_t, kWriters + 1> next{};
  for (std::size_t r = 0; r < kMaxRows; ++r) {
    s.WithRow(r, [&](const RecordView& row) {
      std::int32_t& n = next.at(static_cast<std::size_t>(row.header.port));
      EXPECT_TRUE(n == 0 || row.header.timestamp == n);
      n = row.header.timestamp + 1;
    });
  }
  for (const std::int32_t n : next) { EXPECT_TRUE(n == 0 || n == kPerWriter); }
}

// ---- the printed dump (headless --dump) ------------------------------------------------------

// What a DumpPrinter wrote, read back once it is done.
class PrintedDump {
public:
  PrintedDump() : file_(open_memstream(&text_, &size_)) {}
  PrintedDump(const PrintedDump&) = delete;
  PrintedDump& operator=(const PrintedDump&) = delete;
  ~PrintedDump() {
    if (file_ != nullptr) { std::fclose(file_); }
    std::free(text_); // open_memstream's buffer
  }

  [[nodiscard]] std::FILE* File() const noexcept { return file_; }

  // The lines written so far (the stream is flushed first).
  std::vector<std::string> Lines() {
    std::fflush(file_);
    std::istringstream in(std::string(text_, size_));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) { lines.push_back(line); }
    return lines;
  }

private:
  char* text_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* file_;
};

// One writer numbers its rows from 0 by timestamp, so a row's timestamp is its absolute number in
// the store, and far outruns the store's bounds while a printer follows it as headless --dump
// does. Each row must be printed once, in order; a row it missed must have been announced as
// dropped, which the store does only for rows already gone: so no repeat, no step back and no
// unannounced gap. Several rounds, as the printer's reads and the writer's drops meet at random.
TEST_F(DumpStoreTest, PrinterFollowingAStoreAtItsBoundsPrintsEachRowOnceInOrder) {
  constexpr std::int32_t kRows = 40'000;
  for (int round = 0; round < 8; ++round) {
    // Both bounds: rows go one at a time at the row bound and a chunk's worth at a time at the
    // byte bound.
    const DumpLimits limits = round % 2 == 0 ? DumpLimits{.maxRows = 50}
                                             : DumpLimits{.maxBytes = 2 * kMaxRecordSize, .chunkBytes = kMaxRecordSize};
    DumpStore s(clock, flags, limits);
    PrintedDump printed;
    DumpPrinter printer(s, printed.File());
    std::latch start(2);
    std::atomic<bool> writing{true};
    std::thread writer([&] {
      start.arrive_and_wait();
      for (std::int32_t n = 0; n < kRows; ++n) {
        const std::size_t size = round % 2 == 0 ? 4 : 1 + static_cast<std::size_t>(n % 3000);
        AppendNumbered(s, n, size);
      }
      writing = false;
    });
    start.arrive_and_wait();
    while (writing.load()) { printer.PrintNewRows(); }
    writer.join();
    printer.PrintNewRows();

    std::int64_t next = 0;
    std::uint64_t announced = 0;
    std::uint64_t faults = 0;
    for (const std::string& line : printed.Lines()) {
      unsigned long long dropped = 0;
      long long timestamp = -1;
      if (std::sscanf(line.c_str(), "(%llu dump rows dropped)", &dropped) == 1) {
        next += static_cast<std::int64_t>(dropped);
        announced += dropped;
      } else if (std::sscanf(line.c_str(), "dump %lld", &timestamp) == 1) {
        if (timestamp != next && faults++ < 5) {
          ADD_FAILURE() << "round " << round << ": row " << timestamp << " printed where row " << next << " was due";
        }
        next = timestamp + 1;
      } else {
        ADD_FAILURE() << "not a dump line: " << line;
      }
    }
    EXPECT_EQ(faults, 0U) << "round " << round;
    EXPECT_EQ(next, kRows) << "round " << round << ": the newest rows are printed at the end";
    EXPECT_LE(announced, s.DroppedRows()) << "round " << round << ": only rows the store dropped were missed";
  }
}

// Rows are printed one to a line, whatever text a meta event brought from the LAN.
TEST_F(DumpStoreTest, PrintedRowsAreOneLineOfPrintableTextEach) {
  const std::string hostile = "\x1b[2J\r\ndump 1 0\t1\t\t\x07\xff";
  std::vector<std::byte> meta{std::byte{0xFF}, std::byte{0x05}, static_cast<std::byte>(hostile.size())};
  for (const char c : hostile) { meta.push_back(static_cast<std::byte>(c)); }
  store.AppendToDump(Header(RecordType::MIM_LONGDATA, 2, 7), meta);
  store.AppendToDump(Header(RecordType::MIM_DATA, 3, 8), Word(0x90));

  PrintedDump printed;
  DumpPrinter printer(store, printed.File());
  printer.PrintNewRows();
  const std::vector<std::string> lines = printed.Lines();
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_EQ(lines[0], "dump 7 -7\t2\tff 05 14 1b 5b 32 \tLYRIC EVENT (.[2J..dump 1 0.1....)");
  EXPECT_EQ(lines[1], "dump 8 -8\t3\t90 3c 64 \t[1] Note on (60,100)");
}

} // namespace
} // namespace kestrel
