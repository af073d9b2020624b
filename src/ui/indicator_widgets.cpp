// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/indicator_widgets.hpp"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <algorithm>
#include <cmath>
#include <utility>

namespace kestrel::ui {

// ---- Lamp -----------------------------------------------------------------------------------

Lamp::Lamp(std::function<void(LampMouse)> onMouse, QWidget* parent) : QWidget(parent), onMouse_(std::move(onMouse)) {
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  setFocusPolicy(Qt::TabFocus);
  setAccessibleDescription(QStringLiteral("dark"));
}

void Lamp::SetLit(bool lit) {
  if (lit == lit_) return;
  lit_ = lit;
  setAccessibleDescription(lit ? QStringLiteral("lit") : QStringLiteral("dark"));
  update();
}

void Lamp::keyPressEvent(QKeyEvent* event) {
  if (event->key() != Qt::Key_Space) {
    QWidget::keyPressEvent(event);
    return;
  }
  // A held key repeats; the note is played once, until the key is let go.
  if (!event->isAutoRepeat() && onMouse_) onMouse_(LampMouse::Press);
  event->accept();
}

void Lamp::keyReleaseEvent(QKeyEvent* event) {
  if (event->key() != Qt::Key_Space) {
    QWidget::keyReleaseEvent(event);
    return;
  }
  if (!event->isAutoRepeat() && onMouse_) onMouse_(LampMouse::Release);
  event->accept();
}

QSize Lamp::sizeHint() const {
  const int side = fontMetrics().height();
  return {side, side};
}

void Lamp::paintEvent(QPaintEvent* /*event*/) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal side = std::min(width(), height()) * 0.7;
  const QRectF r((width() - side) / 2, (height() - side) / 2, side, side);
  // A highlight up and to the left makes the lamp read as a rounded bulb rather than a dot.
  QRadialGradient glow(r.center() - QPointF(side * 0.18, side * 0.18), side * 0.75);
  if (lit_) {
    glow.setColorAt(0.0, QColor(200, 255, 200));
    glow.setColorAt(0.45, QColor(40, 210, 60));
    glow.setColorAt(1.0, QColor(0, 110, 20));
  } else {
    glow.setColorAt(0.0, QColor(235, 235, 235));
    glow.setColorAt(0.45, QColor(160, 160, 160));
    glow.setColorAt(1.0, QColor(95, 95, 95));
  }
  if (!isEnabled()) p.setOpacity(0.55);
  p.setPen(QPen(QColor(60, 60, 60), 0.8));
  p.setBrush(glow);
  p.drawEllipse(r);
  if (hasFocus()) {
    p.setOpacity(1.0);
    p.setPen(QPen(palette().color(QPalette::Highlight), 1.5));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(rect()).adjusted(0.75, 0.75, -0.75, -0.75));
  }
}

void Lamp::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && onMouse_) onMouse_(LampMouse::Press);
  QWidget::mousePressEvent(event);
}

void Lamp::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && onMouse_) onMouse_(LampMouse::Release);
  QWidget::mouseReleaseEvent(event);
}

void Lamp::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && onMouse_) onMouse_(LampMouse::DoubleClick);
  QWidget::mouseDoubleClickEvent(event);
}

// ---- ConnectionDisplay ----------------------------------------------------------------------

ConnectionDisplay::ConnectionDisplay(std::array<QString, 3> texts, QWidget* parent)
    : QWidget(parent), texts_(std::move(texts)) {
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  setAccessibleName(QStringLiteral("Connection"));
  setAccessibleDescription(Text());
}

void ConnectionDisplay::SetState(int state) {
  if (!state_.SetState(state)) return;
  setAccessibleDescription(Text());
  update();
}

QString ConnectionDisplay::Text() const {
  switch (state_.Shown()) {
  case CBtStat::Picture::Connected: return texts_[0];
  case CBtStat::Picture::Connecting: return texts_[1];
  case CBtStat::Picture::Disconnected: break;
  }
  return texts_[2];
}

QSize ConnectionDisplay::sizeHint() const {
  // Wide enough for the longest of the three words, so the bar does not jump between states.
  int widest = 0;
  for (const QString& t : texts_) widest = std::max(widest, fontMetrics().horizontalAdvance(t));
  return {widest + 2 * fontMetrics().height(), fontMetrics().height() + 6};
}

void ConnectionDisplay::paintEvent(QPaintEvent* /*event*/) {
  QColor fill;
  QColor ink;
  switch (state_.Shown()) {
  case CBtStat::Picture::Connected:
    fill = QColor(30, 150, 50);
    ink = QColor(255, 236, 60);
    break;
  case CBtStat::Picture::Connecting:
    fill = QColor(250, 215, 40);
    ink = QColor(50, 40, 0);
    break;
  case CBtStat::Picture::Disconnected:
    fill = QColor(200, 35, 35);
    ink = QColor(255, 236, 60);
    break;
  }
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF bar = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  const qreal radius = bar.height() / 2;
  p.setPen(QPen(fill.darker(140), 1));
  p.setBrush(fill);
  p.drawRoundedRect(bar, radius, radius);
  QFont bold = font();
  bold.setBold(true);
  p.setFont(bold);
  p.setPen(ink);
  p.drawText(bar, Qt::AlignCenter, Text());
}

// ---- colours ---------------------------------------------------------------------------------

namespace {

double Luminance(const QColor& c) {
  const auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
  return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

bool IsDark(const QPalette& palette) { return palette.color(QPalette::Window).lightness() < 128; }

} // namespace

double ContrastRatio(const QColor& a, const QColor& b) {
  const double la = Luminance(a);
  const double lb = Luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor ErrorColour(const QPalette& palette) { return IsDark(palette) ? QColor(255, 120, 120) : QColor(192, 24, 24); }

QColor LinkColour(const QPalette& palette, bool visited) {
  if (!IsDark(palette)) return visited ? QColor(128, 0, 128) : QColor(0, 0, 255);
  // A dark theme's own link colours when they can be read on it, else light ones.
  const QColor themed = palette.color(visited ? QPalette::LinkVisited : QPalette::Link);
  if (ContrastRatio(themed, palette.color(QPalette::Window)) >= 4.5) return themed;
  return visited ? QColor(210, 150, 255) : QColor(120, 170, 255);
}

} // namespace kestrel::ui
