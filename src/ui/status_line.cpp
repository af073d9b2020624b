// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/status_line.hpp"

#include "ui/window_parts.hpp"

#include <QLabel>
#include <QStringList>

namespace kestrel::ui {

namespace {

constexpr int kLatencyPaneWidth = 80;
constexpr int kMaxLatencyPaneWidth = 120;

} // namespace

StatusLine::StatusLine(bool debug, QWidget* parent) : QStatusBar(parent) {
  setObjectName(QStringLiteral("statusBar"));
  setSizeGripEnabled(false);
  notice_ = new QLabel(this);
  notice_->setObjectName(QStringLiteral("notice"));
  notice_->setAccessibleName(QStringLiteral("Latest notice"));
  // A long notice is cut, not allowed to widen the window.
  notice_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  addWidget(notice_, 1);
  if (!debug) return;
  latency_ = new QLabel(this);
  latency_->setFixedWidth(kLatencyPaneWidth);
  maxLatency_ = new QLabel(this);
  maxLatency_->setFixedWidth(kMaxLatencyPaneWidth);
  addPermanentWidget(latency_);
  addPermanentWidget(maxLatency_);
}

void StatusLine::ShowNotices(const std::deque<std::string>& recent, std::uint64_t count) {
  if (recent.empty()) return;
  QString shown = QString::fromStdString(recent.back());
  if (count > 1) shown += QStringLiteral("  (%1 earlier)").arg(count - 1);
  SetTextIfChanged(notice_, shown);
  QStringList lines;
  for (const std::string& n : recent) lines << QString::fromStdString(n);
  notice_->setToolTip(lines.join(QLatin1Char('\n')));
}

void StatusLine::ShowLatency(const std::string& latency, const std::string& maxLatency) {
  SetTextIfChanged(latency_, QString::fromStdString(latency));
  SetTextIfChanged(maxLatency_, QString::fromStdString(maxLatency));
}

} // namespace kestrel::ui
