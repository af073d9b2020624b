// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/main_window.hpp"

#include "shell/event_glue.hpp"
#include "ui/about_box.hpp"
#include "ui/client_panel.hpp"
#include "ui/dump_list.hpp"
#include "ui/option_boxes.hpp"
#include "ui/server_panel.hpp"
#include "ui/statistics_view.hpp"
#include "ui/status_line.hpp"
#include "ui/translated_dialog.hpp"
#include "ui/tray_icon.hpp"
#include "ui/window_context_menu.hpp"
#include "ui/window_parts.hpp"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QVBoxLayout>
#include <QWindowStateChangeEvent>

#include <cstdio>

namespace kestrel::ui {

namespace {

// A move or resize counts as finished once the window has kept still this long.
constexpr int kGeometrySettleMs = 400;
constexpr const char* kCaption = "Vantor Kestrel";

} // namespace

MainWindow::MainWindow(ControllerServices services, shell::EventGlue& glue, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      translator_(services.translator), glue_(glue) {
  const DumpStore& dump = services.dump;
  controller_ = std::make_unique<CMainDlg>(std::move(services), *this);
  setObjectName(QStringLiteral("kestrelMain"));
  setWindowTitle(English(kCaption));
  setWindowIcon(ProgramIcon());

  const PanelHost host{
      .tr = [this](const char* text) { return T(text); },
      .forward = [this](const std::function<void(CMainDlg&)>& handler) { Forward(handler); },
  };
  auto* root = new QVBoxLayout(this);
  auto* panels = new QHBoxLayout;
  serverPanel_ = new ServerPanel(
      host, [this] { RefreshStatus(); }, this);
  panels->addWidget(serverPanel_);
  clientPanel_ = new ClientPanel(host, palette(), this);
  panels->addWidget(clientPanel_, 1);
  root->addLayout(panels);
  options_ = new OptionBoxes(
      host, [this] { dumpList_->ClearRows(); }, [this] { OpenAbout(); }, this);
  root->addWidget(options_);
  dumpList_ = new DumpListView(dump, {T("TimeStamp"), T("Port"), T("Hex"), T("Code")}, this);
  dumpList_->setObjectName(QStringLiteral("dumpList"));
  dumpList_->setToolTip(T("MidiDump\nTo AutoScroll - press End"));
  dumpList_->setMinimumHeight(dumpList_->verticalHeader()->defaultSectionSize() * 6);
  root->addWidget(dumpList_, 1);
  statusLine_ = new StatusLine(controller_->Debug(), this);
  ShowLatestNotice();
  root->addWidget(statusLine_);

  applyTimer_.setSingleShot(true);
  connect(&applyTimer_, &QTimer::timeout, this, [this] { Forward([](CMainDlg& c) { c.OnApplyTimer(); }); });
  geometryTimer_.setSingleShot(true);
  connect(&geometryTimer_, &QTimer::timeout, this, [this] { GeometrySettled(); });

  windowMenu_ = new WindowContextMenu(
      {
          .about = [this] { OpenAbout(); },
          .statistics = [this] { OpenStatistics(); },
          .exit = [this] { Forward([this](CMainDlg& c) { c.OnTrayMenu(kTrayExit, isVisible()); }); },
      },
      this);
  addAction(windowMenu_->ExitAction());
  trayWatch_.setInterval(5000);
  connect(&trayWatch_, &QTimer::timeout, this, [this] {
    if (trayAvailable_ && trayAvailable_()) EnableTray();
  });

  TranslateDialog(*this, kCaption, translator_);
  serverPanel_->KeepRoomForRestoreLabel();
  ApplyStoredGeometry();
}

MainWindow::~MainWindow() {
  // The controller's own end (server off, client off) still writes to the widgets: it goes
  // while they exist.
  geometryTimer_.stop();
  controller_.reset();
}

QString MainWindow::T(const char* text) const { return QString::fromUtf8(controller_->Tr(text)); }

void MainWindow::Forward(const std::function<void(CMainDlg&)>& handler) {
  if (controller_ == nullptr || glue_.Quitting()) return;
  glue_.Guard([&] { handler(*controller_); });
}

QMenu& MainWindow::WindowMenu() noexcept { return *windowMenu_; }

// ---- life -----------------------------------------------------------------------------------

void MainWindow::Init() {
  controller_->OnInitDialog();
  RefreshStatus();
}

void MainWindow::EnableTray() {
  if (tray_ != nullptr) return;
  tray_ = std::make_unique<TrayIcon>(TrayHooks{
      .tr = [this](const char* text) { return T(text); },
      .windowVisible = [this] { return isVisible(); },
      .serverEnabled = [this] { return controller_->Fields().serverEnabled; },
      .clientEnabled = [this] { return controller_->Fields().clientEnabled; },
      .command = [this](int command, bool visible) { Forward([&](CMainDlg& c) { c.OnTrayMenu(command, visible); }); },
      .click = [this](bool visible) { Forward([&](CMainDlg& c) { c.OnTrayClick(visible); }); },
  });
  tray_->Show();
  trayWatch_.stop();
  // Not yet shown (the tray was there at start): the close box goes, closing would do nothing.
  // A tray that appears later leaves the box, which still asks.
  if (!isVisible()) setWindowFlag(Qt::WindowCloseButtonHint, false);
  RefreshStatus();
}

void MainWindow::WatchForTray(std::function<bool()> available, int intervalMs) {
  if (tray_ != nullptr) return;
  trayAvailable_ = std::move(available);
  trayWatch_.start(intervalMs);
}

void MainWindow::OpenAbout() {
  AboutBox box(translator_, {}, isVisible() ? this : nullptr);
  box.exec();
}

void MainWindow::OpenStatistics() {
  if (statistics_ == nullptr) statistics_ = new StatisticsView(controller_->Drops(), translator_, this);
  statistics_->show();
  statistics_->raise();
  statistics_->activateWindow();
}

void MainWindow::StatusTick() {
  Forward([](CMainDlg& c) { c.OnStatusTimer(); });
  RefreshStatus();
  dumpList_->Tick();
}

void MainWindow::RefreshStatus() {
  Forward([this](CMainDlg& c) {
    const StatusDisplay d = c.UpdateTrayAndStatus();
    statusLine_->ShowLatency(d.latencyPane, d.maxLatencyPane);
    clientPanel_->ShowStatus(d, c.LatencyText(), c.HeardServerText());
    serverPanel_->ShowRestoreAvailable(c.RestoreAvailable());
    if (tray_ != nullptr) tray_->Set(d.tray, d.tip);
  });
}

// ---- data exchange --------------------------------------------------------------------------

void MainWindow::ReadControls(ControlValues& v) {
  options_->Read(v);
  serverPanel_->Read(v);
  clientPanel_->Read(v);
}

void MainWindow::WriteControls() {
  if (controller_ == nullptr) return; // a notice while the controller is still being built
  const MainFields& f = controller_->Fields();
  const ControlStates st = controller_->States();
  serverPanel_->Write(f, st);
  clientPanel_->Write(f, st);
  options_->Write(f, st);
}

// ---- what the controller asks of the window -------------------------------------------------

void MainWindow::ShowBox(const std::string& text, bool error) {
  if (messageHook_) {
    messageHook_(text);
    return;
  }
  const QString shown = QString::fromUtf8(text.c_str());
  if (error) {
    QMessageBox::critical(isVisible() ? this : nullptr, QStringLiteral("Kestrel"), shown);
  } else {
    QMessageBox::information(isVisible() ? this : nullptr, T(kCaption), shown);
  }
}

void MainWindow::ShowMessage(const std::string& text) { ShowBox(text, false); }

void MainWindow::ShowError(const std::string& text) {
  ShowBox(T("Error: %s").replace(QStringLiteral("%s"), QString::fromUtf8(text.c_str())).toStdString(), true);
}

void MainWindow::ShowErrorMessage(const std::string& text) { ShowBox(text, true); }

void MainWindow::ShowBusyNotice(const std::string& text) {
  // The notice is a window of its own, built in English and translated like every other.
  const QString english = QString::fromUtf8(text.c_str());
  auto notice = std::make_unique<QDialog>(nullptr, Qt::Dialog | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
  notice->setObjectName(QStringLiteral("busyNotice"));
  auto* layout = new QVBoxLayout(notice.get());
  auto* label = new QLabel(english, notice.get());
  label->setObjectName(QStringLiteral("busyText"));
  label->setAlignment(Qt::AlignCenter);
  label->setFrameStyle(QFrame::Panel | QFrame::Raised);
  label->setMargin(24);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(label);
  TranslateDialog(*notice, "", translator_);
  notice->show();
  notice->repaint();
  QApplication::setOverrideCursor(Qt::WaitCursor);
  // Painted now: the work that follows keeps the event loop busy.
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  busyNotice_ = std::move(notice);
}

void MainWindow::HideBusyNotice() {
  if (busyNotice_ == nullptr) return;
  QApplication::restoreOverrideCursor();
  busyNotice_.reset();
}

void MainWindow::ShowMainWindow(bool show) {
  if (!show) {
    // Hidden, the window is reached again through the tray; without one, through the task bar.
    if (tray_ != nullptr) {
      hide();
    } else {
      showMinimized();
    }
    return;
  }
  if (isMinimized()) setWindowState(windowState() & ~Qt::WindowMinimized);
  this->show();
  raise();
  activateWindow();
}

void MainWindow::RepaintLamp(int index) {
  if (index < 0 || index >= kRows || controller_ == nullptr) return;
  serverPanel_->ShowLamp(index, controller_->Lamp(index).Lit());
}

void MainWindow::StartApplyTimer() { applyTimer_.start(controller::kApplyDelayMs); }

void MainWindow::StopApplyTimer() { applyTimer_.stop(); }

void MainWindow::Post(std::function<void()> fn) { glue_.Post(std::move(fn)); }

void MainWindow::Notice(const std::string& text) {
  std::fprintf(stderr, "kestrel: %s\n", text.c_str());
  ++noticeCount_;
  notices_.push_back(text);
  if (notices_.size() > kKeptNotices) notices_.pop_front();
  ShowLatestNotice();
}

void MainWindow::ShowLatestNotice() {
  // Notices of the controller's construction come before the line exists; it shows them then.
  if (statusLine_ != nullptr) statusLine_->ShowNotices(notices_, noticeCount_);
}

void MainWindow::Quit() {
  glue_.SetQuitting();
  QCoreApplication::exit(0);
}

// ---- window events --------------------------------------------------------------------------

void MainWindow::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
  case Qt::Key_Escape: Forward([](CMainDlg& c) { c.OnEscape(); }); return;
  case Qt::Key_Return:
  case Qt::Key_Enter: PressedEnter(); return;
  case Qt::Key_F1: OpenAbout(); return;
  default: QWidget::keyPressEvent(event);
  }
}

// Right clicks that no control takes (on the panels, labels, the window's background) open the
// window's own menu.
void MainWindow::contextMenuEvent(QContextMenuEvent* event) {
  windowMenu_->PopUp(event->globalPos(), [this](const char* text) { return T(text); });
  event->accept();
}

// Enter takes what the controls hold, as leaving a dialog with OK does, and hides the window;
// an edit the controller refuses keeps the window open with its message.
void MainWindow::PressedEnter() {
  Forward([](CMainDlg& c) { c.OnOk(); });
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // The program ends through "Exit" or a request from outside. With a tray, closing the window
  // does nothing; without one, it asks, since the window is then the only way in.
  event->ignore();
  if (tray_ == nullptr) AskToStop();
}

void MainWindow::AskToStop() {
  if (stopQuestion_ != nullptr) {
    stopQuestion_->raise();
    return;
  }
  stopQuestion_ = new QMessageBox(QMessageBox::Question, QStringLiteral("Kestrel"),
                                  QStringLiteral("Stop Kestrel? MIDI stops crossing the network until it is started "
                                                 "again."),
                                  QMessageBox::Yes | QMessageBox::No, this);
  stopQuestion_->setObjectName(QStringLiteral("stopQuestion"));
  stopQuestion_->setDefaultButton(QMessageBox::No);
  stopQuestion_->setAttribute(Qt::WA_DeleteOnClose);
  connect(stopQuestion_, &QMessageBox::finished, this, [this](int answer) {
    stopQuestion_ = nullptr;
    if (answer == QMessageBox::Yes) Forward([this](CMainDlg& c) { c.OnTrayMenu(kTrayExit, isVisible()); });
  });
  stopQuestion_->open();
}

void MainWindow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::PaletteChange && clientPanel_ != nullptr) clientPanel_->ShowErrorColour(palette());
  if (event->type() != QEvent::WindowStateChange || tray_ == nullptr || !isMinimized()) return;
  // Minimizing hides to the tray; queued, because hiding from inside the state change confuses
  // some window managers.
  Post([this] { controller_->OnStatusReport(kReportShow, 0); });
}

void MainWindow::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  if (isVisible() && !isMinimized()) geometryTimer_.start(kGeometrySettleMs);
}

void MainWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (isVisible() && !isMinimized()) geometryTimer_.start(kGeometrySettleMs);
}

// Position of the frame, size of the contents: restoring both gives back the same window.
void MainWindow::ApplyStoredGeometry() {
  savedGeometry_ = controller_->StoredGeometry();
  if (savedGeometry_.w <= 0) return;
  move(savedGeometry_.x, savedGeometry_.y);
  resize(savedGeometry_.w, savedGeometry_.h);
}

void MainWindow::GeometrySettled() {
  if (!isVisible() || isMinimized()) return;
  const WindowGeometry now{x(), y(), width(), height()};
  if (now.x == savedGeometry_.x && now.y == savedGeometry_.y && now.w == savedGeometry_.w &&
      now.h == savedGeometry_.h) {
    return;
  }
  savedGeometry_ = now;
  Forward([now](CMainDlg& c) { c.OnWindowMoved(now); });
}

} // namespace kestrel::ui
