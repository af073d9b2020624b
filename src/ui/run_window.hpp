// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Kestrel with its window and tray icon, on a QApplication that already exists.

namespace kestrel::shell {
class AppContext;
}

namespace kestrel::ui {

// Builds the main window on `context`, shows it (or only the tray icon when `startHidden`), runs
// the event loop until the window is destroyed ("Exit", a cancel request, SIGINT or SIGTERM) and
// returns the exit code.
int RunWindow(shell::AppContext& context, bool startHidden);

} // namespace kestrel::ui
