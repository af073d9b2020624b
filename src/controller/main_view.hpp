// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the main window's behaviour needs from whatever shows it: the Qt window, or the headless
// front end that has no controls at all. Everything here runs on the window's own thread, except
// Post, which any thread may call.

#include <array>
#include <functional>
#include <string>

namespace kestrel::controller {

inline constexpr int kRows = 8; // ports on each side: server rows, client rows, lamps

// The view's timers: the one-shot that applies edited ports, and the status tick (lamps, the
// connection rules, the reports of other threads).
inline constexpr int kApplyDelayMs = 1000;
inline constexpr int kStatusTickMs = 30;

// The values of the check boxes and port edits, as data exchange copies them into the fields.
struct ControlValues {
  bool dumpServer = false;
  bool dumpClient = false;
  std::array<bool, kRows> serverPorts{};
  std::array<bool, kRows> clientPorts{};
  bool serverEnabled = false;
  bool clientEnabled = false;
  bool filter = true;
  bool filterTimingClock = true;
  bool filterActiveSensing = true;
  std::string clientPort; // the edits' texts
  std::string serverPort;
  bool autostart = false;
};

class MainView {
public:
  virtual ~MainView() = default;

  // Copies the controls into `values`, which arrive holding the current fields (a front end
  // without controls leaves them as they are).
  virtual void ReadControls(ControlValues& values) = 0;
  // The fields, lists and enabled states changed: show them.
  virtual void WriteControls() = 0;
  // A message box with an OK button; returns when it is closed.
  virtual void ShowMessage(const std::string& text) = 0;
  // The same with the error icon, the text shown as it is.
  virtual void ShowErrorMessage(const std::string& text) = 0;
  // A box without buttons that says what the program is busy with, painted at once, until
  // HideBusyNotice (the work runs on the window's thread meanwhile).
  virtual void ShowBusyNotice(const std::string& text) = 0;
  virtual void HideBusyNotice() = 0;
  // The "Error: %s" box of a failure that ends only the client engine; the program goes on.
  virtual void ShowError(const std::string& text) = 0;
  // Shows the window in front (true) or hides it to the tray (false).
  virtual void ShowMainWindow(bool show) = 0;
  virtual void RepaintLamp(int index) = 0;
  // (Re)starts the kApplyDelayMs one-shot timer that applies edited ports; StopApplyTimer stops it.
  virtual void StartApplyTimer() = 0;
  virtual void StopApplyTimer() = 0;
  // Queues `fn` to the window's thread. Any thread.
  virtual void Post(std::function<void()> fn) = 0;
  // Connection changes, ignored settings and other news a user without a window wants to read.
  virtual void Notice(const std::string& text) = 0;
  // The window was destroyed: the program leaves its event loop.
  virtual void Quit() = 0;
};

} // namespace kestrel::controller
