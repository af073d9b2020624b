// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/dump_list.hpp"

#include "core/dump_store.hpp"
#include "platform/beep.hpp"

#include <QHeaderView>
#include <QItemSelectionModel>

#include <algorithm>
#include <exception>

namespace kestrel::ui {

namespace {

constexpr std::array<int, kDumpColumns> kColumnWidths{80, 40, 100, 260};
constexpr std::size_t kCellBuffer = 300;

} // namespace

// ---- DumpListModel --------------------------------------------------------------------------

DumpListModel::DumpListModel(const DumpStore& dump, std::array<QString, kDumpColumns> titles, QObject* parent)
    : QAbstractTableModel(parent), dump_(dump), titles_(std::move(titles)), first_(dump.DroppedRows()) {}

int DumpListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : rows_; }

int DumpListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kDumpColumns; }

QVariant DumpListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rows_) return {};
  const int column = index.column();
  if (role == Qt::TextAlignmentRole) {
    const bool right =
        column == static_cast<int>(DumpColumn::TimeStamp) || column == static_cast<int>(DumpColumn::Port);
    return QVariant::fromValue(Qt::AlignVCenter | (right ? Qt::AlignRight : Qt::AlignLeft));
  }
  if (role != Qt::DisplayRole) return {};
  // Rows the store dropped since the last refresh are gone; their cells stay empty until the
  // refresh takes them out.
  const std::uint64_t absolute = first_ + static_cast<std::uint64_t>(index.row());
  std::array<char, kCellBuffer> cell{};
  std::size_t length = 0;
  const bool present =
      dump_.WithAbsoluteRow(absolute, [&](const RecordView& row) { length = decoder_.CellText(cell, row, column); });
  if (!present) return QString();
  return QString::fromLatin1(cell.data(), static_cast<qsizetype>(std::min(length, cell.size() - 1)));
}

QVariant DumpListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kDumpColumns) return {};
  if (role == Qt::DisplayRole) return titles_[static_cast<std::size_t>(section)];
  if (role == Qt::TextAlignmentRole) {
    const bool right =
        section == static_cast<int>(DumpColumn::TimeStamp) || section == static_cast<int>(DumpColumn::Port);
    return QVariant::fromValue(Qt::AlignVCenter | (right ? Qt::AlignRight : Qt::AlignLeft));
  }
  return {};
}

DumpListModel::Change DumpListModel::Refresh() {
  // Both ends at once: read one after the other, a chunk of rows dropped in between looks like
  // a store that lost rows at its end, which only clearing does.
  const DumpExtent extent = dump_.Extent();
  const std::uint64_t dropped = extent.first;
  const std::uint64_t end = extent.end;
  const std::uint64_t shownEnd = first_ + static_cast<std::uint64_t>(rows_);
  if (end < shownEnd || dropped < first_) {
    // Fewer rows than shown, and not from the front: the store was cleared.
    beginResetModel();
    first_ = dropped;
    rows_ = static_cast<int>(end - dropped);
    endResetModel();
    return Change::Reset;
  }
  Change change = Change::None;
  if (dropped > first_) {
    const auto gone = static_cast<int>(std::min<std::uint64_t>(dropped - first_, static_cast<std::uint64_t>(rows_)));
    if (gone > 0) {
      beginRemoveRows({}, 0, gone - 1);
      rows_ -= gone;
      first_ = dropped;
      endRemoveRows();
    }
    first_ = dropped;
    change = Change::Changed;
  }
  if (end > first_ + static_cast<std::uint64_t>(rows_)) {
    const auto total = static_cast<int>(end - first_);
    beginInsertRows({}, rows_, total - 1);
    rows_ = total;
    endInsertRows();
    change = Change::Changed;
  }
  return change;
}

void DumpListModel::Reset() {
  beginResetModel();
  rows_ = 0;
  first_ = dump_.DroppedRows();
  endResetModel();
}

// ---- DumpListView ---------------------------------------------------------------------------

DumpListView::DumpListView(const DumpStore& dump, std::array<QString, kDumpColumns> titles, QWidget* parent)
    : QTableView(parent), model_(dump, std::move(titles), this) {
  setModel(&model_);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setShowGrid(false);
  setWordWrap(false);
  setTextElideMode(Qt::ElideRight);
  setAlternatingRowColors(true);
  setCornerButtonEnabled(false);
  // Every row has the same height, so the view never asks rows for their size: with a fixed
  // section size it scrolls a million rows as fast as a hundred.
  verticalHeader()->hide();
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
  QHeaderView* header = horizontalHeader();
  header->setHighlightSections(false);
  header->setStretchLastSection(true);
  for (int c = 0; c < kDumpColumns; ++c) header->resizeSection(c, kColumnWidths[static_cast<std::size_t>(c)]);
}

void DumpListView::Tick() {
  try {
    const int before = model_.rowCount();
    int lastSelected = 0;
    for (const QModelIndex& index : selectionModel()->selectedRows())
      lastSelected = std::max(lastSelected, index.row());
    const bool following = before == 0 || lastSelected + 1 == before;
    const DumpListModel::Change change = model_.Refresh();
    if (change == DumpListModel::Change::None) return;
    const int rows = model_.rowCount();
    if ((following || change == DumpListModel::Change::Reset) && rows > 0) SelectRow(rows - 1);
  } catch (const std::exception&) {
    // The next tick tries again; a failure here must not end the program.
    Beep(300, 100, "the MIDI dump list could not be updated");
  }
}

void DumpListView::ClearRows() { model_.Reset(); }

void DumpListView::SelectRow(int row) {
  const QModelIndex index = model_.index(row, 0);
  selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  scrollTo(index, QAbstractItemView::EnsureVisible);
}

QModelIndex DumpListView::moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) {
  // A list of events moves by rows: End is the newest event (which starts the following), Home
  // the oldest, rather than the last and first column of the current row.
  const int column = std::max(currentIndex().column(), 0);
  if (cursorAction == MoveEnd && model_.rowCount() > 0) return model_.index(model_.rowCount() - 1, column);
  if (cursorAction == MoveHome && model_.rowCount() > 0) return model_.index(0, column);
  return QTableView::moveCursor(cursorAction, modifiers);
}

} // namespace kestrel::ui
