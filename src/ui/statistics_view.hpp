// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The statistics view: what Kestrel dropped since the program started, one line per drop
// counter, refreshed once a second while it shows. Not modal: it may stay open beside the
// window while the technician plays. UI thread.

#include "core/drop_counters.hpp"

#include <QDialog>
#include <QTimer>

#include <array>

class QLabel;

namespace kestrel {
class Translator;
}

namespace kestrel::ui {

class StatisticsView final : public QDialog {
public:
  static constexpr const char* kCaption = "Kestrel Statistics";
  static constexpr int kRefreshMs = 1000;

  // `drops` outlives the view.
  StatisticsView(const DropCounters& drops, const Translator& translator, QWidget* parent = nullptr);

  // Shows the counters as they are now.
  void Refresh();

  // The label showing a counter's value (its object name is the counter's key).
  [[nodiscard]] QLabel& Value(Drop kind) const { return *values_.at(static_cast<std::size_t>(kind)); }

protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

private:
  const DropCounters& drops_;
  std::array<QLabel*, kDropKinds> values_{};
  QTimer refresh_;
};

} // namespace kestrel::ui
