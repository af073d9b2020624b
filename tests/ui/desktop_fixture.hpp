// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The window on the desktop: a test case that can choose a language file and open the window with
// its tray icon, and the menus read as the user sees them. Shared by the desktop test's files.

#include "config/translation.hpp"
#include "ui/main_window.hpp"
#include "window_fixture.hpp"

#include <QAction>
#include <QMenu>
#include <QStringList>

#include <fstream>
#include <string>

namespace kestrel::test {

inline QStringList MenuTexts(const QMenu& menu) {
  QStringList texts;
  for (const QAction* a : menu.actions()) texts << (a->isSeparator() ? QStringLiteral("----") : a->text());
  return texts;
}

inline QAction* Item(QMenu& menu, int index) { return menu.actions().at(index); }

// The menu as the user sees it: opening it brings its items up to date.
inline void OpenMenu(QMenu& menu) {
  menu.popup(QPoint(0, 0));
  menu.hide();
}

class DesktopTest : public WindowTest {
protected:
  // Selects a language file with `content`, written into the bench's folder.
  void UseLanguage(const std::string& content) {
    const auto path = bench.dir.Path() / "Lang.xx";
    std::ofstream(path) << content;
    bench.translator = Translator(path.string(), bench.dir.Path());
  }

  // Opens the window with its tray icon, shown.
  ui::MainWindow& OpenWithTray() {
    ui::MainWindow& w = bench.Open();
    w.EnableTray();
    w.show();
    return w;
  }
};

} // namespace kestrel::test
