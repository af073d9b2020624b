// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/tray_icon.hpp"

#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>

#include <utility>

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

void PaintTrayPicture(QPainter& p, TrayPicture picture, qreal size) {
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
    // Told apart by shape as well as colour: connected, one whole band; not connected, a band
    // broken in the middle.
    p.setPen(Qt::NoPen);
    p.setBrush(connected ? QColor(20, 190, 40) : QColor(220, 30, 30));
    if (connected) {
      p.drawRect(QRectF(inner.left(), inner.top(), inner.width(), band));
    } else {
      const qreal gap = inner.width() * 0.2;
      const qreal half = (inner.width() - gap) / 2;
      p.drawRect(QRectF(inner.left(), inner.top(), half, band));
      p.drawRect(QRectF(inner.right() - half, inner.top(), half, band));
    }
  }
  if (server) {
    p.setPen(QPen(QColor(30, 90, 230), frame));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(frame / 2, frame / 2, s - frame, s - frame));
  }
}

QPixmap TrayPixmap(TrayPicture picture, int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  PaintTrayPicture(p, picture, size);
  return pixmap;
}

QIcon ProgramIcon() {
  QIcon icon;
  for (const int size : {16, 22, 32, 48, 64}) icon.addPixmap(TrayPixmap(TrayPicture::Program, size));
  return icon;
}

// ---- TrayIcon -------------------------------------------------------------------------------

namespace {
constexpr int kTrayPictureSize = 64;
} // namespace

TrayIcon::TrayIcon(TrayHooks hooks, QObject* parent)
    : QObject(parent), hooks_(std::move(hooks)), menu_(std::make_unique<QMenu>()), icon_(new QSystemTrayIcon(this)) {
  menu_->setObjectName(QStringLiteral("trayMenu"));
  icon_->setObjectName(QStringLiteral("tray"));
  window_ = menu_->addAction(QString());
  server_ = menu_->addAction(QString());
  server_->setCheckable(true);
  client_ = menu_->addAction(QString());
  client_->setCheckable(true);
  menu_->addSeparator();
  exit_ = menu_->addAction(QString());
  PrepareMenu();
  connect(menu_.get(), &QMenu::aboutToShow, this, [this] { PrepareMenu(); });
  connect(window_, &QAction::triggered, this, [this] { Choose(window_->data().toInt()); });
  connect(server_, &QAction::triggered, this, [this] { Choose(kTrayServer); });
  connect(client_, &QAction::triggered, this, [this] { Choose(kTrayClient); });
  connect(exit_, &QAction::triggered, this, [this] { Choose(kTrayExit); });
  connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger) hooks_.click(hooks_.windowVisible());
  });
  icon_->setContextMenu(menu_.get());
}

TrayIcon::~TrayIcon() {
  // The icon leaves the desktop before its menu goes.
  delete icon_;
  icon_ = nullptr;
}

void TrayIcon::Show() {
  if (!pictureSet_) {
    icon_->setIcon(ProgramIcon());
    pictureSet_ = true;
    picture_ = TrayPicture::Program;
  }
  if (!tipSet_) Set(picture_, "Vantor Kestrel");
  icon_->show();
}

void TrayIcon::Set(TrayPicture picture, const std::string& tip) {
  if (!pictureSet_ || picture != picture_) {
    picture_ = picture;
    pictureSet_ = true;
    icon_->setIcon(QIcon(TrayPixmap(picture, kTrayPictureSize)));
    ++pictureChanges_;
  }
  // Compared in English: the translation is looked up only when the tip really changes.
  if (!tipSet_ || tip != tip_) {
    tip_ = tip;
    tipSet_ = true;
    QString shown = hooks_.tr(tip.c_str()).left(kTipLength);
    if (!shown.isEmpty() && shown.back().isHighSurrogate()) shown.chop(1);
    icon_->setToolTip(shown);
    ++tipChanges_;
  }
}

void TrayIcon::PrepareMenu() {
  const bool visible = hooks_.windowVisible();
  window_->setText(hooks_.tr(visible ? "Minimize Kestrel to Tray" : "Open Kestrel"));
  window_->setData(visible ? kTrayMinimize : kTrayOpen);
  server_->setText(hooks_.tr("Server On/Off"));
  server_->setChecked(hooks_.serverEnabled());
  client_->setText(hooks_.tr("Client On/Off"));
  client_->setChecked(hooks_.clientEnabled());
  exit_->setText(hooks_.tr("Exit"));
}

void TrayIcon::Choose(int command) { hooks_.command(command, hooks_.windowVisible()); }

} // namespace kestrel::ui
