// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The main window's own menu. Linux window managers offer no way into a window's system menu:
// the About entry lives here instead (and on F1 and the "About..." button), beside the
// statistics view and "Exit" as the tray has it, for desktops without a tray. UI thread only.

#include <QMenu>
#include <QString>

#include <functional>

class QAction;

namespace kestrel::ui {

class WindowContextMenu final : public QMenu {
public:
  struct Hooks {
    std::function<void()> about;      // from the event loop, once the menu has closed
    std::function<void()> statistics; // the statistics view
    std::function<void()> exit;       // ends the program, as the tray's "Exit"
  };
  WindowContextMenu(Hooks hooks, QWidget* parent);

  // "Exit" on Ctrl+Q, whether the menu is open or not: the window takes the action as its own.
  [[nodiscard]] QAction* ExitAction() const noexcept { return exit_; }
  // Opens at `globalPos` with its items in the user's language.
  void PopUp(const QPoint& globalPos, const std::function<QString(const char* text)>& tr);

private:
  QAction* about_ = nullptr;
  QAction* statistics_ = nullptr;
  QAction* exit_ = nullptr;
};

} // namespace kestrel::ui
