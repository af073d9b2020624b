// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The tray icon and its pictures. The pictures are drawn in code: a small piano keyboard, with a
// whole green band on top while the client is connected, a red one broken in the middle while it
// is not, and a blue frame while the server runs. The icon's picture and tip say the same in short; a left click shows
// or hides the main window, and its menu shows or hides the window, switches the server or the client, or ends the
// program.

#include "controller/main_dlg.hpp"

#include <QIcon>
#include <QObject>
#include <QPixmap>

#include <functional>
#include <string>

class QAction;
class QPainter;
class QMenu;
class QSystemTrayIcon;

namespace kestrel::ui {

// The controller's names the window works with.
using controller::kTrayClient;
using controller::kTrayExit;
using controller::kTrayMinimize;
using controller::kTrayOpen;
using controller::kTrayServer;
using controller::TrayPicture;

// Paints a tray picture into the square (0, 0, size, size) of any paint device: the tray's
// pixmaps, and the application icons drawn at build time (PNG and SVG).
void PaintTrayPicture(QPainter& painter, TrayPicture picture, qreal size);
// The tray picture at `size` × `size` device-independent pixels.
[[nodiscard]] QPixmap TrayPixmap(TrayPicture picture, int size);
// The program's own icon (the keyboard without marks) at the usual sizes.
[[nodiscard]] QIcon ProgramIcon();

// What the tray icon asks of the main window.
struct TrayHooks {
  std::function<QString(const char* english)> tr; // run-time translation
  std::function<bool()> windowVisible;            // is the main window showing?
  std::function<bool()> serverEnabled;            // the check marks of the menu
  std::function<bool()> clientEnabled;
  std::function<void(int command, bool windowVisible)> command; // a TrayCommand was chosen
  std::function<void(bool windowVisible)> click;                // a left click on the icon
};

class TrayIcon final : public QObject {
public:
  // The longest tip the desktop is given, in characters.
  static constexpr int kTipLength = 127;

  explicit TrayIcon(TrayHooks hooks, QObject* parent = nullptr);
  ~TrayIcon() override;
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;

  // Puts the icon up with the program's picture and the tip "Vantor Kestrel".
  void Show();
  // Shows `picture` and the translation of `tip` (cut to kTipLength), each only when it differs
  // from what the icon shows already: the idle update calls this many times a second.
  void Set(TrayPicture picture, const std::string& tip);

  // Brings the menu's items up to date: the first item opens or hides the window as it is now,
  // the check marks follow the engines. Runs whenever the menu is about to open.
  void PrepareMenu();

  [[nodiscard]] QMenu& Menu() noexcept { return *menu_; }
  [[nodiscard]] QSystemTrayIcon& Icon() noexcept { return *icon_; }
  [[nodiscard]] TrayPicture Picture() const noexcept { return picture_; }
  // How often the icon's picture and tip were handed to the desktop.
  [[nodiscard]] int PictureChanges() const noexcept { return pictureChanges_; }
  [[nodiscard]] int TipChanges() const noexcept { return tipChanges_; }

private:
  void Choose(int command);

  TrayHooks hooks_;
  std::unique_ptr<QMenu> menu_; // a top-level popup: no parent widget owns it
  QSystemTrayIcon* icon_ = nullptr;
  QAction* window_ = nullptr;
  QAction* server_ = nullptr;
  QAction* client_ = nullptr;
  QAction* exit_ = nullptr;
  TrayPicture picture_ = TrayPicture::Program;
  bool pictureSet_ = false;
  std::string tip_;
  bool tipSet_ = false;
  int pictureChanges_ = 0;
  int tipChanges_ = 0;
};

} // namespace kestrel::ui
