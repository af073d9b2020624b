// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/link_label.hpp"

#include "platform/beep.hpp"
#include "ui/indicator_widgets.hpp"

#include <QApplication>
#include <QDesktopServices>
#include <QEvent>
#include <QMouseEvent>

#include <utility>

namespace kestrel::ui {

LinkLabel::LinkLabel(const QString& text, QString target, LinkOpener opener, QWidget* parent)
    : QLabel(text, parent), target_(std::move(target)), opener_(std::move(opener)) {
  if (!opener_) opener_ = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
  // The label is the link: no rich text, so a translated text can never turn into markup.
  setTextFormat(Qt::PlainText);
  QFont underlined = font();
  underlined.setUnderline(true);
  setFont(underlined);
  setCursor(Qt::PointingHandCursor);
  SetColour(false);
}

void LinkLabel::SetColour(bool visited) {
  visited_ = visited;
  // The window's palette decides what reads well: blue and purple on a light one.
  colour_ = LinkColour(parentWidget() != nullptr ? parentWidget()->palette() : QApplication::palette(), visited);
  QPalette p = palette();
  p.setColor(QPalette::WindowText, colour_);
  setPalette(p);
  update();
}

void LinkLabel::changeEvent(QEvent* event) {
  QLabel::changeEvent(event);
  // A theme switched while the program runs (and the label's own palette, set above, is no news).
  if (event->type() == QEvent::ParentChange || event->type() == QEvent::ApplicationPaletteChange) {
    SetColour(visited_);
  }
}

void LinkLabel::Open() {
  if (target_.isEmpty()) target_ = text();
  if (target_.isEmpty()) return;
  if (!opener_(QUrl(target_, QUrl::TolerantMode))) {
    Beep(750, 150, "a link could not be opened");
    return;
  }
  SetColour(true);
}

void LinkLabel::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    Open();
    event->accept();
    return;
  }
  QLabel::mousePressEvent(event);
}

} // namespace kestrel::ui
