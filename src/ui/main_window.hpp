// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The main window: two panels (server and client), the MIDI In, filter and dump boxes, the dump
// list and the status line, each a widget of its own. All behaviour lives in the controller
// (CMainDlg); this class hands its fields to the panels and back, lets the panels forward the
// widgets' events to it, each inside the event glue's guard, and answers what the controller asks
// of the window. Everything runs on the UI thread except Post.

#include "controller/main_dlg.hpp"
#include "controller/main_view.hpp"
#include "ui/window_parts.hpp"

#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

class QMenu;
class QMessageBox;

namespace kestrel {
class Translator;
}

namespace kestrel::shell {
class EventGlue;
}

namespace kestrel::ui {

class ClientPanel;
class DumpListView;
class OptionBoxes;
class ServerPanel;
class StatisticsView;
class StatusLine;
class TrayIcon;
class WindowContextMenu;

class MainWindow final : public QWidget, public MainView {
public:
  // Builds the controller on `services` (it reads its settings now) and the widgets around it,
  // and restores the stored window position. `glue` outlives the window.
  MainWindow(ControllerServices services, shell::EventGlue& glue, QWidget* parent = nullptr);
  ~MainWindow() override;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  [[nodiscard]] CMainDlg& Controller() noexcept { return *controller_; }

  // The controller's initialisation: device lists, client rows, then server and client on as
  // stored. Call once, inside the guard.
  void Init();
  // Adds the tray icon. Without one, Escape, Enter and minimizing leave the window in the task
  // bar, and the close box asks whether to stop Kestrel.
  void EnableTray();
  // Without a tray: looks every `intervalMs` whether one has appeared (a panel that starts after
  // the autostart programs) and adds the icon once it has.
  void WatchForTray(std::function<bool()> available, int intervalMs = 5000);
  [[nodiscard]] TrayIcon* Tray() noexcept { return tray_.get(); }
  // The About box, modal; from the window's context menu, F1 and the "About..." button.
  void OpenAbout();
  [[nodiscard]] QMenu& WindowMenu() noexcept;
  // The statistics view (what was dropped since the start), not modal; from the window's context
  // menu. Opened again, the one view comes to the front. Null until first opened.
  void OpenStatistics();
  [[nodiscard]] StatisticsView* Statistics() noexcept { return statistics_; }
  // One 30 ms tick: the controller's status timer, lamps, status texts, tray and dump list.
  void StatusTick();
  // The idle update: status bar, error text, connection display, latency, tray picture and tip.
  void RefreshStatus();
  // Sends the texts of message boxes to `hook` instead of showing them (tests, screenshots).
  void SetMessageHook(std::function<void(const std::string&)> hook) { messageHook_ = std::move(hook); }

  [[nodiscard]] DumpListView& DumpList() noexcept { return *dumpList_; }
  // The latest notices, newest last (at most kKeptNotices), and how many came in all.
  static constexpr std::size_t kKeptNotices = 10;
  [[nodiscard]] const std::deque<std::string>& RecentNotices() const noexcept { return notices_; }
  [[nodiscard]] std::uint64_t NoticeCount() const noexcept { return noticeCount_; }

  // ---- MainView
  void ReadControls(ControlValues& values) override;
  void WriteControls() override;
  void ShowMessage(const std::string& text) override;
  void ShowError(const std::string& text) override;
  void ShowErrorMessage(const std::string& text) override;
  void ShowBusyNotice(const std::string& text) override;
  void HideBusyNotice() override;
  void ShowMainWindow(bool show) override;
  void RepaintLamp(int index) override;
  void StartApplyTimer() override;
  void StopApplyTimer() override;
  void Post(std::function<void()> fn) override;
  void Notice(const std::string& text) override;
  void Quit() override;

protected:
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

private:
  [[nodiscard]] QString T(const char* text) const;
  [[nodiscard]] QString T(const std::string& text) const { return T(text.c_str()); }
  // Runs a controller handler inside the guard, once the controller exists.
  void Forward(const std::function<void(CMainDlg&)>& handler);

  void ApplyStoredGeometry();
  void GeometrySettled();
  void PressedEnter();
  void ShowBox(const std::string& text, bool error);
  // The close box without a tray: asks whether to stop Kestrel.
  void AskToStop();
  void ShowLatestNotice();

  const Translator& translator_;
  shell::EventGlue& glue_;
  std::unique_ptr<CMainDlg> controller_;
  std::function<void(const std::string&)> messageHook_;
  std::unique_ptr<QWidget> busyNotice_;
  std::unique_ptr<TrayIcon> tray_;
  WindowContextMenu* windowMenu_ = nullptr;
  StatisticsView* statistics_ = nullptr;
  QTimer trayWatch_;
  std::function<bool()> trayAvailable_;
  QMessageBox* stopQuestion_ = nullptr;

  ServerPanel* serverPanel_ = nullptr;
  ClientPanel* clientPanel_ = nullptr;
  OptionBoxes* options_ = nullptr;
  DumpListView* dumpList_ = nullptr;
  StatusLine* statusLine_ = nullptr;
  std::deque<std::string> notices_;
  std::uint64_t noticeCount_ = 0;

  QTimer applyTimer_;
  QTimer geometryTimer_;
  WindowGeometry savedGeometry_;
};

} // namespace kestrel::ui
