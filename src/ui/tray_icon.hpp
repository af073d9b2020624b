#pragma once

// The pictures of the program and its tray icon, drawn in code: a small piano keyboard, with a
// green band on top while the client is connected, a red one while it is not, and a blue frame
// while the server runs.

#include "controller/main_dlg.hpp"

#include <QIcon>
#include <QPixmap>

namespace kestrel::ui {

// The tray picture at `size` × `size` device-independent pixels.
[[nodiscard]] QPixmap TrayPixmap(TrayPicture picture, int size);
// The program's own icon (the keyboard without marks) at the usual sizes.
[[nodiscard]] QIcon ProgramIcon();

} // namespace kestrel::ui
