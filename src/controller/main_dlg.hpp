// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The main window's behaviour without a single widget: every field the window shows, every
// handler of its controls, its status reports and timers. The Qt window copies the fields to and
// from its controls and forwards its events here; the headless mode drives the same object with
// no controls at all. Everything runs on the window's thread: what other threads report reaches
// it through the engine inbox.

#include "controller/client_side.hpp"
#include "controller/device_choices.hpp"
#include "controller/device_health.hpp"
#include "controller/engine_inbox.hpp"
#include "controller/field_exchange.hpp"
#include "controller/indicators.hpp"
#include "controller/main_fields.hpp"
#include "controller/main_view.hpp"
#include "controller/notices.hpp"
#include "controller/port_restore.hpp"
#include "controller/server_side.hpp"
#include "controller/services.hpp"
#include "controller/settings_binding.hpp"
#include "controller/status_presenter.hpp"
#include "net/client_engine.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kestrel::net {
class LatencyProber;
}

namespace kestrel::controller {

enum class LampMouse { Press, Release, DoubleClick };

// The tray menu's items.
inline constexpr int kTrayExit = 1000;
inline constexpr int kTrayMinimize = 1001; // "Minimize Kestrel to Tray", while the window shows
inline constexpr int kTrayOpen = 1002;     // "Open Kestrel", while it is hidden
inline constexpr int kTrayServer = 1003;   // "Server On/Off", checked while the server is enabled
inline constexpr int kTrayClient = 1004;   // "Client On/Off", checked while the client is enabled

class CMainDlg final {
public:
  // Construction: reads the settings the window is built with.
  CMainDlg(ControllerServices services, MainView& view);
  ~CMainDlg(); // Destroy() if it has not run
  CMainDlg(const CMainDlg&) = delete;
  CMainDlg& operator=(const CMainDlg&) = delete;

  // ---- the window's life
  // Initialisation, once the view exists: device lists, IP list, client rows, then server and
  // client on as stored.
  void OnInitDialog();
  // Server off, then client off. The view then ends the program.
  void Destroy();
  // "Exit" in the tray, or an end request (SIGTERM, SIGINT, quillon): Destroy(), then the view
  // quits. One that comes while a switch is under way (a box or the busy notice runs the window's
  // events meanwhile) is acted on once that switch is done.
  void OnCancel();

  // ---- handlers of the controls
  void OnServerClicked();
  void OnClientClicked();
  void OnServerPortClicked(int row);
  void OnClientPortClicked(int row);
  void OnOutputChanged(int row, int index);
  void OnMidiInChanged(int deviceIndex, int targetIndex);
  void OnIpChanged(int index);
  // The server's interface: 0 "Automatic" (routing decides), else one of the machine's.
  void OnInterfaceChanged(int index);
  void OnPortEdited();
  void OnDumpOptionClicked(); // dump "Server"/"Client", the three filters
  void OnClearClicked();
  void OnAutostartClicked();
  void OnEscape() { view_.ShowMainWindow(false); }
  // Enter: the controls are read into the fields and the window hides; an edit without a
  // usable port keeps it open with its message.
  void OnOk() {
    if (ReadFromControls()) view_.ShowMainWindow(false);
  }
  void OnWindowMoved(const WindowGeometry& geometry);
  void OnLampMouse(int row, LampMouse what);
  // Logs both sides in the dump for this run only, nothing written (the headless --dump).
  void LogBothSidesForThisRun();

  // ---- tray
  // A left click: the window hides when it shows, and shows when hidden.
  void OnTrayClick(bool windowVisible) { view_.ShowMainWindow(!windowVisible); }
  void OnTrayMenu(int command, bool windowVisible);
  // A request from outside (kestrel --server on, ...): the server or client switched as the tray
  // menu switches it, when it is not as asked already. One that comes while a switch is under way
  // is acted on once that switch is done; once the program ends, none is.
  void OnSwitchRequest(bool server, bool on);

  // ---- the virtual ports
  // Ports vanished since the server was switched on: the provider can be restarted to bring
  // them back.
  [[nodiscard]] bool RestoreAvailable() const { return ports_.Available(); }
  // Restarts the provider with the count the server panel was set up for, with both engines off
  // meanwhile; says so when fewer ports come back.
  void RestorePortCount();

  // ---- reports and timers
  void OnStatusReport(int code, std::int64_t value);
  void OnApplyTimer();
  void OnStatusTimer();
  [[nodiscard]] StatusDisplay UpdateTrayAndStatus() const;

  // ---- what the view shows
  [[nodiscard]] const MainFields& Fields() const noexcept { return fields_; }
  [[nodiscard]] ControlStates States() const { return StatesOf(fields_, server_.Running(), client_.Running()); }
  [[nodiscard]] const CBin& Lamp(int row) const { return inbox_.Lamp(row); }
  [[nodiscard]] net::ConnectionState State() const noexcept { return inbox_.StateNow(); }
  [[nodiscard]] const std::string& LatencyText() const noexcept { return status_.LatencyText(); }
  // The server the client hears ("10.0.0.1"), empty while not connected.
  [[nodiscard]] const std::string& HeardServerText() const noexcept { return status_.HeardServerText(); }
  [[nodiscard]] bool Debug() const noexcept { return status_.Debug(); }
  [[nodiscard]] WindowGeometry StoredGeometry() const { return settingsBinding_.StoredGeometry(); }
  [[nodiscard]] std::int32_t OverallMaxLag() const noexcept { return status_.OverallMaxLag(); }
  [[nodiscard]] std::int32_t OverallMinLag() const noexcept { return status_.OverallMinLag(); }
  [[nodiscard]] ControlValues CurrentValues() const { return ValuesOf(fields_); }
  [[nodiscard]] bool ServerRunning() const noexcept { return server_.Running(); }
  [[nodiscard]] bool ClientRunning() const noexcept { return client_.Running(); }
  // The drop counters the engines count into. Any thread may read them.
  [[nodiscard]] const DropCounters& Drops() const noexcept { return *services_.drops; }
  // Multicast datagrams the client dropped because they were not MIDI, and multicast messages the
  // server could not send (too long for one datagram); 0 while that side is off.
  [[nodiscard]] std::uint64_t MulticastNotMidi() const noexcept { return client_.MulticastNotMidi(); }
  [[nodiscard]] std::uint64_t MulticastNotSent() const noexcept { return server_.MulticastNotSent(); }
  [[nodiscard]] const char* Tr(const char* text) const;

  // What the capture layer and the client engine report into: the only part of the controller
  // another thread touches.
  [[nodiscard]] EngineInbox& Inbox() noexcept { return inbox_; }

private:
  // Runs `body` as a switch under way: the end and switch requests that come meanwhile (a box or
  // the busy notice runs the window's events) wait, and run when the outermost switch is done.
  // A failure raised inside ends the program, so nothing is owed to the count then.
  template <class Body>
  void AsOneSwitch(Body&& body);
  void SwitchesDone();

  bool ReadFromControls();
  void WriteToControls() { view_.WriteControls(); }
  void ApplyFlags() { controller::ApplyFlags(fields_, services_.flags); }

  void RefreshDeviceLists(bool firstFill);
  // The machine's addresses and interfaces changed (a laptop joined the studio LAN): the lists
  // follow, the choices stay, and a client whose address came or went listens anew.
  void FollowAddressChanges();
  void SwitchRowOff(int row);
  void MidiInChange();
  void RefreshInputs() { server_.RefreshInputs(fields_); }

  void ServerOnOff();
  void ServerOn();
  void ServerOff();
  void ClientOnOff();
  void ClientOn();
  void ClientOff();
  void RequestProbe(in_addr_t address);

  ControllerServices services_;
  std::unique_ptr<DropCounters> ownDrops_; // when the services bring none
  MainView& view_;
  MainFields fields_;
  // Declared before the engines' owners: the client engine reports into it until it is gone.
  EngineInbox inbox_;
  StatusPresenter status_;
  SettingsBinding settingsBinding_;
  DeviceChoices choices_;
  ServerSide server_;
  ClientSide client_;
  DeviceHealth health_;
  PortRestore ports_;
  std::unique_ptr<net::LatencyProber> prober_; // without the services' probe
  bool notesOffOnLoss_ = true;
  unsigned tickCounter_ = 0;
  int switching_ = 0;                                 // switches under way, nested ones counted
  std::array<std::optional<bool>, 2> deferredSwitch_; // server, client: the latest request
  bool deferredCancel_ = false;
  bool destroyed_ = false;
  bool initialised_ = false;
};

} // namespace kestrel::controller
