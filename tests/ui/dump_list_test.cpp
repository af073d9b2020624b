// SPDX-License-Identifier: GPL-3.0-or-later
// The dump list follows the store: cells decoded from its records, the newest row followed while
// the last row is selected, rows the store drops leaving from the top, and the window's Clear.

#include "core/dump_store.hpp"
#include "ui/dump_list.hpp"
#include "window_fixture.hpp"

#include <QPushButton>
#include <QTableView>
#include <QTest>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <latch>
#include <thread>
#include <vector>

namespace kestrel::ui {
namespace {

using test::Find;
using MainWindowTest = test::WindowTest;

EventRecord Header(std::int32_t port, std::int32_t timestamp) {
  EventRecord r;
  r.type = static_cast<std::int32_t>(RecordType::MIM_DATA);
  r.port = port;
  r.timestamp = timestamp;
  r.captureTime = timestamp + 2;
  r.dataLength = 4;
  return r;
}

void AppendNote(DumpStore& dump, std::int32_t port, std::uint8_t key, std::int32_t timestamp = 1000) {
  const std::array<std::byte, 4> word{std::byte{0x90}, std::byte{key}, std::byte{100}, std::byte{0}};
  dump.AppendToDump(Header(port, timestamp), word);
}

QString Cell(const QAbstractItemModel& model, int row, int column) {
  return model.data(model.index(row, column)).toString();
}

int SelectedRow(const QTableView& view) {
  const QModelIndexList rows = view.selectionModel()->selectedRows();
  return rows.size() == 1 ? rows.front().row() : -1;
}

class DumpListTest : public ::testing::Test {
protected:
  WindowFlags flags;
  DumpStore dump{SystemClock(), flags, DumpLimits{.maxBytes = 1 << 20, .maxRows = 5, .chunkBytes = 4096}};
  DumpListView view{dump, {"TimeStamp", "Port", "Hex", "Code"}};
};

TEST_F(DumpListTest, CellsAreDecodedFromTheStore) {
  AppendNote(dump, 1, 60);
  AppendNote(dump, 10, 36, 1234);
  view.Tick();
  const DumpListModel& model = view.Model();
  ASSERT_EQ(model.rowCount(), 2);
  EXPECT_EQ(model.columnCount(), 4);
  EXPECT_EQ(Cell(model, 0, 3), "[1] Note on (60,100)");
  EXPECT_EQ(Cell(model, 0, 2), "90 3c 64 ");
  EXPECT_EQ(Cell(model, 0, 1), "1");
  EXPECT_EQ(Cell(model, 1, 0), "1234 2");
  EXPECT_EQ(Cell(model, 1, 1), "10");
  EXPECT_EQ(model.headerData(3, Qt::Horizontal).toString(), "Code");
  const auto alignment = [&](int column) {
    return model.data(model.index(0, column), Qt::TextAlignmentRole).value<Qt::Alignment>() & Qt::AlignHorizontal_Mask;
  };
  EXPECT_EQ(alignment(0), Qt::AlignRight);
  EXPECT_EQ(alignment(1), Qt::AlignRight);
  EXPECT_EQ(alignment(2), Qt::AlignLeft);
  EXPECT_EQ(alignment(3), Qt::AlignLeft);
}

TEST_F(DumpListTest, FollowsTheNewestRowOnlyWhileTheLastRowIsSelected) {
  // An empty list follows from the start.
  AppendNote(dump, 1, 60);
  AppendNote(dump, 1, 61);
  view.Tick();
  EXPECT_EQ(SelectedRow(view), 1);
  AppendNote(dump, 1, 62);
  view.Tick();
  EXPECT_EQ(SelectedRow(view), 2);

  // Another row chosen: new rows come in below without taking the selection.
  view.selectRow(0);
  AppendNote(dump, 1, 63);
  view.Tick();
  EXPECT_EQ(view.Model().rowCount(), 4);
  EXPECT_EQ(SelectedRow(view), 0);

  // End goes back to the newest row, and the list follows again.
  view.setFocus();
  QTest::keyClick(&view, Qt::Key_End);
  EXPECT_EQ(SelectedRow(view), 3);
  AppendNote(dump, 1, 64);
  view.Tick();
  EXPECT_EQ(SelectedRow(view), 4);
}

TEST_F(DumpListTest, RowsDroppedByTheStoreLeaveFromTheTop) {
  for (std::uint8_t key = 60; key < 65; ++key) AppendNote(dump, 1, key);
  view.Tick();
  ASSERT_EQ(view.Model().rowCount(), 5);
  // The store keeps five rows: three more push the three oldest out.
  for (std::uint8_t key = 65; key < 68; ++key) AppendNote(dump, 1, key);
  // Before the tick the model still has its five rows; the ones gone show nothing.
  EXPECT_EQ(Cell(view.Model(), 0, 3), "");
  EXPECT_EQ(Cell(view.Model(), 3, 3), "[1] Note on (63,100)");
  view.Tick();
  ASSERT_EQ(view.Model().rowCount(), 5);
  EXPECT_EQ(Cell(view.Model(), 0, 3), "[1] Note on (63,100)");
  EXPECT_EQ(Cell(view.Model(), 4, 3), "[1] Note on (67,100)");
  EXPECT_EQ(SelectedRow(view), 4);
}

// A writer far beyond the store's byte bound, which drops a chunk's worth of rows at a time,
// while the list refreshes: the list never takes the rows that went for a cleared store (a reset
// moves the selection to the newest row) and ends with the store's rows, each in its place.
TEST_F(DumpListTest, RefreshKeepsUpWithAStoreDroppingRowsMeanwhile) {
  DumpStore busy{SystemClock(), flags, DumpLimits{.maxBytes = 2 * kMaxRecordSize, .chunkBytes = kMaxRecordSize}};
  DumpListModel model(busy, {"TimeStamp", "Port", "Hex", "Code"});
  constexpr std::int32_t kRows = 6000;
  const std::vector<std::byte> sysex(20000, std::byte{0x7F}); // three rows to a chunk
  std::latch start(2);
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    start.arrive_and_wait();
    for (std::int32_t n = 0; n < kRows; ++n) busy.AppendToDump(Header(1, n), sysex);
    writing = false;
  });
  int resets = 0;
  start.arrive_and_wait();
  while (writing.load()) {
    if (model.Refresh() == DumpListModel::Change::Reset) ++resets;
  }
  writer.join();
  model.Refresh();

  EXPECT_EQ(resets, 0);
  ASSERT_EQ(static_cast<std::size_t>(model.rowCount()), busy.RowCount());
  const auto first = static_cast<std::int32_t>(busy.DroppedRows());
  for (int row = 0; row < model.rowCount(); ++row) EXPECT_EQ(Cell(model, row, 0), QString("%1 2").arg(first + row));
}

TEST_F(MainWindowTest, ClearEmptiesTheListAtOnceAndItFollowsNewRowsAgain) {
  MainWindow& w = bench.Open();
  DumpListView& list = w.DumpList();
  for (std::uint8_t key = 60; key < 63; ++key) AppendNote(bench.dump, 2, key);
  w.StatusTick();
  ASSERT_EQ(list.Model().rowCount(), 3);
  list.selectRow(0);

  Find<QPushButton>(w, "clear")->click();
  EXPECT_EQ(bench.dump.RowCount(), 0U);
  EXPECT_EQ(list.Model().rowCount(), 0);
  AppendNote(bench.dump, 2, 70);
  AppendNote(bench.dump, 2, 71);
  w.StatusTick();
  ASSERT_EQ(list.Model().rowCount(), 2);
  EXPECT_EQ(Cell(list.Model(), 1, 3), "[1] Note on (71,100)");
  EXPECT_EQ(SelectedRow(list), 1);
}

} // namespace
} // namespace kestrel::ui
