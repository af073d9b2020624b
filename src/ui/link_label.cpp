#include "ui/link_label.hpp"

#include "core/beep.hpp"

#include <QDesktopServices>
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
  SetColour(kUnvisited);
}

void LinkLabel::SetColour(QColor colour) {
  colour_ = colour;
  QPalette p = palette();
  p.setColor(QPalette::WindowText, colour);
  setPalette(p);
  update();
}

void LinkLabel::Open() {
  if (target_.isEmpty()) target_ = text();
  if (target_.isEmpty()) return;
  if (!opener_(QUrl(target_, QUrl::TolerantMode))) {
    Beep(750, 150, "a link could not be opened");
    return;
  }
  SetColour(kVisited);
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
