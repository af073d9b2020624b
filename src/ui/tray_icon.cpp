#include "ui/tray_icon.hpp"

#include <QPainter>

namespace kestrel::ui {

namespace {

void DrawKeyboard(QPainter& p, const QRectF& area) {
  constexpr int kWhiteKeys = 5;
  const qreal keyWidth = area.width() / kWhiteKeys;
  p.setPen(QPen(QColor(40, 40, 40), std::max(1.0, area.width() / 32)));
  p.setBrush(Qt::white);
  for (int k = 0; k < kWhiteKeys; ++k)
    p.drawRect(QRectF(area.left() + k * keyWidth, area.top(), keyWidth, area.height()));
  // Black keys between the first three and the last two white keys, as on a real octave.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(20, 20, 20));
  const qreal blackWidth = keyWidth * 0.6;
  for (const int k : {1, 2, 4}) {
    p.drawRect(QRectF(area.left() + k * keyWidth - blackWidth / 2, area.top(), blackWidth, area.height() * 0.6));
  }
}

} // namespace

QPixmap TrayPixmap(TrayPicture picture, int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;
  const bool server =
      picture == TrayPicture::ServerAlone || picture == TrayPicture::Both || picture == TrayPicture::BothConnected;
  const bool client = picture != TrayPicture::Program && picture != TrayPicture::ServerAlone;
  const bool connected = picture == TrayPicture::ClientAloneConnected || picture == TrayPicture::BothConnected;

  const qreal frame = server ? s * 0.1 : 0;
  const qreal band = client ? s * 0.22 : 0;
  const QRectF inner(frame, frame, s - 2 * frame, s - 2 * frame);
  DrawKeyboard(p, QRectF(inner.left(), inner.top() + band, inner.width(), inner.height() - band));
  if (client) {
    p.setPen(Qt::NoPen);
    p.setBrush(connected ? QColor(20, 190, 40) : QColor(220, 30, 30));
    p.drawRect(QRectF(inner.left(), inner.top(), inner.width(), band));
  }
  if (server) {
    p.setPen(QPen(QColor(30, 90, 230), frame));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(frame / 2, frame / 2, s - frame, s - frame));
  }
  return pixmap;
}

QIcon ProgramIcon() {
  QIcon icon;
  for (const int size : {16, 22, 32, 48, 64}) icon.addPixmap(TrayPixmap(TrayPicture::Program, size));
  return icon;
}

} // namespace kestrel::ui
