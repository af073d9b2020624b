// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A text that acts as a hyperlink: underlined, pure blue until it has been opened once and purple
// afterwards (on a dark theme, colours of the theme's that can be read there), with a hand cursor. A click opens its
// target through the desktop (a web address in the browser, a mailto: address in the mail program); when the desktop
// cannot, the link beeps and keeps its colour.

#include <QColor>
#include <QLabel>
#include <QUrl>

#include <functional>

namespace kestrel::ui {

// Opens a link target; false when nothing could open it. The default is QDesktopServices::openUrl.
using LinkOpener = std::function<bool(const QUrl&)>;

class LinkLabel final : public QLabel {
public:
  static constexpr QColor kUnvisited{0, 0, 255};
  static constexpr QColor kVisited{128, 0, 128};

  // `target` empty: the link opens its own text, as it reads when first clicked (so a translated
  // text leads to the translated address).
  explicit LinkLabel(const QString& text, QString target = {}, LinkOpener opener = {}, QWidget* parent = nullptr);

  [[nodiscard]] QColor Colour() const noexcept { return colour_; }
  [[nodiscard]] const QString& Target() const noexcept { return target_; }
  // What a left click does.
  void Open();

protected:
  void mousePressEvent(QMouseEvent* event) override;
  void changeEvent(QEvent* event) override;

private:
  void SetColour(bool visited);

  QString target_;
  LinkOpener opener_;
  QColor colour_ = kUnvisited;
  bool visited_ = false;
};

} // namespace kestrel::ui
