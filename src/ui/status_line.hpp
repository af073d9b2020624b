// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// One line under the dump list: the latest notice (a setting ignored, a device gone or back,
// what was dropped), the earlier ones counted and in its tip. Debug mode adds the latency
// figures beside it. UI thread only.

#include <QStatusBar>

#include <cstdint>
#include <deque>
#include <string>

class QLabel;

namespace kestrel::ui {

class StatusLine final : public QStatusBar {
public:
  // `debug`: with the latency panes.
  StatusLine(bool debug, QWidget* parent);

  // `recent` holds the latest notices, newest last; `count` says how many came in all.
  void ShowNotices(const std::deque<std::string>& recent, std::uint64_t count);
  // Debug mode's figures; without it, nothing.
  void ShowLatency(const std::string& latency, const std::string& maxLatency);

private:
  QLabel* notice_ = nullptr;
  QLabel* latency_ = nullptr;
  QLabel* maxLatency_ = nullptr;
};

} // namespace kestrel::ui
