// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The two small pictures of the main window: an activity lamp beside each server port, and the
// connection display of the client panel. Both are drawn here in code, at any scale.

#include "controller/indicators.hpp"
#include "controller/main_dlg.hpp"

#include <QColor>
#include <QPalette>
#include <QWidget>

#include <array>
#include <functional>

namespace kestrel::ui {

// The controller's names the window works with.
using controller::CBtStat;
using controller::LampMouse;

// A round lamp: green while its port is active, grey otherwise. Mouse presses on it play a test
// note into its port (the controller decides whether that is possible); so does the space bar
// while it has the keyboard focus (Tab reaches it). UI thread only.
class Lamp final : public QWidget {
public:
  explicit Lamp(std::function<void(LampMouse)> onMouse, QWidget* parent = nullptr);

  // Repaints only when the picture changes, so a steady stream of events costs nothing.
  void SetLit(bool lit);
  [[nodiscard]] bool Lit() const noexcept { return lit_; }
  [[nodiscard]] QSize sizeHint() const override;
  [[nodiscard]] QSize minimumSizeHint() const override { return sizeHint(); }

protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;

private:
  std::function<void(LampMouse)> onMouse_;
  bool lit_ = false;
};

// A rounded bar reading Connected (green), Connecting... (yellow) or Disconnected (red); screen
// readers hear the same word. It has no click action. UI thread only.
class ConnectionDisplay final : public QWidget {
public:
  // `texts`: the translated words for Connected, Connecting and Disconnected, in that order.
  explicit ConnectionDisplay(std::array<QString, 3> texts, QWidget* parent = nullptr);

  // Repaints only when the state differs from the one shown.
  void SetState(int state);
  [[nodiscard]] CBtStat::Picture Shown() const noexcept { return state_.Shown(); }
  [[nodiscard]] QString Text() const;
  [[nodiscard]] QSize sizeHint() const override;
  [[nodiscard]] QSize minimumSizeHint() const override { return sizeHint(); }

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  CBtStat state_;
  std::array<QString, 3> texts_;
};

// Colours that stay readable on the window's palette, light or dark: the error text's, and a
// link's before and after it was opened (the classic blue and purple on a light window).
[[nodiscard]] QColor ErrorColour(const QPalette& palette);
[[nodiscard]] QColor LinkColour(const QPalette& palette, bool visited);
// The contrast ratio of two colours, 1 to 21 (WCAG's formula).
[[nodiscard]] double ContrastRatio(const QColor& a, const QColor& b);

} // namespace kestrel::ui
