// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The MIDI dump list: a table over the DumpStore that holds no text of its own. Each visible cell
// is decoded from its record when the view paints it, so a million rows cost the view no more
// than a handful.

#include "core/event_decoder.hpp"

#include <QAbstractTableModel>
#include <QTableView>

#include <array>
#include <cstdint>

namespace kestrel {
class DumpStore;
}

namespace kestrel::ui {

// Rows of the DumpStore as a table model. The model numbers rows as the store does, less the
// rows the store has dropped from its front since; Refresh catches up with the store. UI thread
// only (the store itself may grow on any thread meanwhile).
class DumpListModel final : public QAbstractTableModel {
public:
  enum class Change { None, Changed, Reset };

  // `titles`: the four translated column titles.
  DumpListModel(const DumpStore& dump, std::array<QString, kDumpColumns> titles, QObject* parent = nullptr);

  [[nodiscard]] int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  [[nodiscard]] int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  [[nodiscard]] QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                    int role = Qt::DisplayRole) const override;

  // Brings the row count up to the store's: rows the store dropped leave from the top, new rows
  // come in at the bottom, and a store that was cleared resets the model.
  Change Refresh();
  // The store was cleared: forget every row now rather than at the next refresh.
  void Reset();

private:
  const DumpStore& dump_;
  std::array<QString, kDumpColumns> titles_;
  // Decoding keeps the running status between rows, so it changes even when data() is const.
  mutable EventDecoder decoder_;
  std::uint64_t first_ = 0; // the store's absolute number of row 0 (rows dropped before it)
  int rows_ = 0;
};

// The table showing the model: whole rows selected one at a time, End and Home go to the last
// and first row. While the last row is selected (or the list is empty), new rows take over the
// selection and are scrolled into view.
class DumpListView final : public QTableView {
public:
  DumpListView(const DumpStore& dump, std::array<QString, kDumpColumns> titles, QWidget* parent = nullptr);

  [[nodiscard]] DumpListModel& Model() noexcept { return model_; }
  // One step of the 30 ms timer: new rows in, and the newest row followed when asked for.
  void Tick();
  // After the store was cleared: no rows, and the list follows again.
  void ClearRows();

protected:
  QModelIndex moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) override;

private:
  void SelectRow(int row);

  DumpListModel model_;
};

} // namespace kestrel::ui
