// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The main window's behaviour without a single widget: every field the window shows, every
// handler of its controls, its status reports and timers. The Qt window copies the fields to and
// from its controls and forwards its events here; the headless mode drives the same object with
// no controls at all. Everything runs on the window's thread unless a member says otherwise.

#include "controller/choice_list.hpp"
#include "controller/indicators.hpp"
#include "controller/main_view.hpp"
#include "controller/server_destinations.hpp"
#include "core/config_keys.hpp"
#include "core/tick_clock.hpp"
#include "midi/input_hub.hpp"
#include "net/client_engine.hpp"
#include "net/client_rules.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <vector>

namespace kestrel {
class DropCounters;
class DumpStore;
class MidiOutputs;
class SendQueue;
class Settings;
class Translator;
struct WindowFlags;
} // namespace kestrel

namespace kestrel::net {
struct ServerLink;
class CMulticastSender;
class CServerThread;
class CUdpSender;
class LatencyProber;
} // namespace kestrel::net

namespace kestrel::controller {

inline constexpr int kRows = 8;
inline constexpr std::string_view kNotConnected = "--Not Connected--";
inline constexpr std::string_view kDisabled = "--Disabled--";

// Status report codes the window takes from the engines, the capture layer and itself.
inline constexpr int kReportConnection = 3000;  // value: the new ConnectionState
inline constexpr int kReportInputFailed = 3005; // value: input slot 0..7, or 9 for the MIDI In device
inline constexpr int kReportShow = 3007;        // value: 1 show, 0 hide
inline constexpr int kReportProbe = 3009;       // value: IPv4 address (network order) to probe
inline constexpr int kReportProbeResult = 3010; // value: the delay in ms, or -1 (probes run off the window's thread)

// The machine's MIDI devices as the window lists them.
class DeviceSource {
public:
  virtual ~DeviceSource() = default;
  [[nodiscard]] virtual std::vector<std::string> MidiInDevices() const = 0;  // ordinary inputs, device order
  [[nodiscard]] virtual std::vector<std::string> MidiOutDevices() const = 0; // device order
  [[nodiscard]] virtual int CountVirtualPorts() const = 0;
};

// Everything the window works with that outlives it.
struct ControllerServices {
  Settings& settings;
  const Translator& translator;
  WindowFlags& flags;
  DumpStore& dump;
  SendQueue& queue;
  net::ServerLink& serverLink;
  midi::InputHub* inputs = nullptr; // null: no sequencer, nothing is captured
  const DeviceSource& devices;
  std::function<std::unique_ptr<MidiOutputs>()> makeOutputs; // the client engine's output slots
  // This machine's IPv4 addresses as the IP list offers them: dotted, or "10.0.0.5 - eth0".
  std::function<std::vector<std::string>()> localAddresses;
  // The interfaces a server can broadcast on: "eth0 - 10.0.0.5". Unset: the machine's own.
  std::function<std::vector<std::string>()> localInterfaces;
  std::filesystem::path autostartEntry;
  std::filesystem::path programPath;
  const TickClock& clock = SystemClock();
  // Sets the provider's port count, restarts it and waits for its ports; returns how many are
  // usable then. Unset: the count cannot be changed (no provider).
  std::function<int(int count)> setVirtualPortCount;
  // Probes the delay to an address off the window's thread and calls back on any thread; unset:
  // the controller runs its own prober.
  std::function<void(in_addr_t, std::function<void(int)>)> probe;
  // What the program dropped since it started (the engines count there). Null: the controller
  // keeps counters of its own.
  DropCounters* drops = nullptr;
  // What start-up could not do (no provider, no sequencer): said in the notice line once the
  // window is up. Without a sequencer nothing plays at all, and a box says what to do.
  std::vector<std::string> startupProblems;
  bool noSequencer = false;
};

// The box a window without a sequencer shows: what is missing and how to get it.
inline constexpr std::string_view kNoSequencerHelp =
    "Kestrel found no MIDI sequencer on this computer: it can neither capture nor play MIDI.\n\n"
    "Load the sequencer's kernel module:\n    sudo modprobe snd-seq\n"
    "and to load it at every start:\n    echo snd-seq | sudo tee /etc/modules-load.d/snd-seq.conf\n\n"
    "If there is no such module, install your kernel's sound modules (on Ubuntu the package "
    "linux-modules-extra-$(uname -r)), then start Kestrel again.";

// The window's fields, in the order the window binds them.
struct MainFields {
  std::array<bool, kRows> serverPorts{};
  bool dumpServer = false;
  bool dumpClient = false;
  bool autostart = false;
  int virtualPortSnapshot = 0;
  std::array<bool, kRows> clientPorts{};
  in_addr_t localAddress = 0;
  std::uint32_t clientPort = 8800;
  std::uint32_t serverPort = 8800;
  std::array<ChoiceList, kRows> outputs;
  ChoiceList ipList;
  ChoiceList interfaces; // the server's: "Automatic", then "eth0 - 10.0.0.5", ...
  bool serverEnabled = false;
  bool clientEnabled = false;
  ChoiceList midiIn;       // "--Disabled--" and the ordinary MIDI In devices
  ChoiceList midiInTarget; // "Kestrel Port1".."Kestrel Port8"
  int midiInIndex = 0;     // midiIn's choice while the server is on, 0 otherwise
  int targetIndex = 0;     // midiInTarget's choice, -1 when none
  bool filter = true;
  bool filterTimingClock = true;
  bool filterActiveSensing = true;
};

// Which controls are enabled or shown.
struct ControlStates {
  std::array<bool, kRows> serverPortEnabled{};
  bool lampsEnabled = false;
  bool serverPortEditEnabled = false;
  bool midiInEnabled = false;
  bool targetEnabled = false;
  bool clientPanelEnabled = false;
};

enum class TrayPicture { Program, ClientAlone, ClientAloneConnected, ServerAlone, Both, BothConnected };

// What the idle update shows: status bar, error text, connection display, tray.
struct StatusDisplay {
  std::string latencyPane;    // " Latency: %d"
  std::string maxLatencyPane; // " max latency: %d", Debug mode only
  bool errorVisible = false;
  std::string errorText;
  bool connectionVisible = false;
  int connectionState = 0;
  TrayPicture tray = TrayPicture::Program;
  std::string tip;
};

struct WindowGeometry {
  int x = 0, y = 0, w = 0, h = 0;
};

enum class LampMouse { Press, Release, DoubleClick };

// The tray menu's items.
inline constexpr int kTrayExit = 1000;
inline constexpr int kTrayMinimize = 1001; // "Minimize Kestrel to Tray", while the window shows
inline constexpr int kTrayOpen = 1002;     // "Open Kestrel", while it is hidden
inline constexpr int kTrayServer = 1003;   // "Server On/Off", checked while the server is enabled
inline constexpr int kTrayClient = 1004;   // "Client On/Off", checked while the client is enabled

class CMainDlg final : public midi::CaptureObserver, public net::ClientReports {
public:
  // Construction: reads the settings the window is built with.
  CMainDlg(ControllerServices services, MainView& view);
  ~CMainDlg() override; // Destroy() if it has not run
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
  [[nodiscard]] bool RestoreAvailable() const;
  // Restarts the provider with the count the server panel was set up for, with both engines off
  // meanwhile; says so when fewer ports come back.
  void RestorePortCount();

  // ---- reports and timers
  void OnStatusReport(int code, std::int64_t value);
  void OnApplyTimer();
  void OnStatusTimer();
  [[nodiscard]] StatusDisplay UpdateTrayAndStatus() const;
  // Probes for a keep-alive's sender, off the window's thread.
  void RequestProbe(in_addr_t address);

  // ---- what the view shows
  [[nodiscard]] const MainFields& Fields() const noexcept { return f_; }
  [[nodiscard]] ControlStates States() const;
  [[nodiscard]] const CBin& Lamp(int row) const { return lamps_.at(static_cast<std::size_t>(row)); }
  [[nodiscard]] net::ConnectionState State() const noexcept { return state_.load(); }
  [[nodiscard]] const std::string& LatencyText() const noexcept { return latencyText_; }
  // The server the client hears ("10.0.0.1"), empty while not connected.
  [[nodiscard]] const std::string& HeardServerText() const noexcept { return heardServerText_; }
  [[nodiscard]] bool Debug() const noexcept { return debug_ != 0; }
  [[nodiscard]] WindowGeometry StoredGeometry() const;
  [[nodiscard]] std::int32_t OverallMaxLag() const noexcept { return overallMax_; }
  [[nodiscard]] std::int32_t OverallMinLag() const noexcept { return overallMin_; }
  [[nodiscard]] ControlValues CurrentValues() const;
  [[nodiscard]] bool ServerRunning() const noexcept { return serverThread_ != nullptr; }
  [[nodiscard]] bool ClientRunning() const noexcept { return clientThread_ != nullptr; }
  // The drop counters the engines count into. Any thread may read them.
  [[nodiscard]] const DropCounters& Drops() const noexcept { return *s_.drops; }
  // Multicast datagrams the client dropped because they were not MIDI, and multicast messages the
  // server could not send (too long for one datagram); 0 while that side is off.
  [[nodiscard]] std::uint64_t MulticastNotMidi() const noexcept {
    return clientThread_ != nullptr ? clientThread_->MulticastNotMidi() : 0;
  }
  [[nodiscard]] std::uint64_t MulticastNotSent() const noexcept;
  [[nodiscard]] const char* Tr(const char* text) const;

  // ---- midi::CaptureObserver
  void LampTrigger(int port) noexcept override;
  void InputOpenFailed(int inputIndex) override;
  void VirtualPortsVanished(int found) override;
  void InputVanished(int inputIndex) noexcept override;

  // ---- net::ClientReports (client engine thread)
  void ReportConnectionState(net::ConnectionState state) override;
  void ReportServerAddress(in_addr_t address) override;
  void ReportSecondServer(in_addr_t address) override;
  void ReportFatalError(const std::string& text) override;
  [[nodiscard]] net::ConnectionState CurrentState() const noexcept override { return state_.load(); }

private:
  enum class RowChange { Device, CheckBox };

  // Runs `body` as a switch under way: the end and switch requests that come meanwhile (a box or
  // the busy notice runs the window's events) wait, and run when the outermost switch is done.
  // A failure raised inside ends the program, so nothing is owed to the count then.
  template <class Body>
  void AsOneSwitch(Body&& body);
  void SwitchesDone();

  void ReadSettings();
  std::uint32_t ReadPortSetting(const config::IntKey& key, std::uint32_t lowest);
  bool ReadFromControls();
  void WriteToControls() { view_.WriteControls(); }
  void ApplyFlags();

  void RefreshDeviceLists(bool firstFill);
  void FillIpList();
  void FillInterfaceList();
  // The machine's addresses and interfaces changed (a laptop joined the studio LAN): the lists
  // follow, the choices stay, and a client whose address came or went listens anew.
  void FollowAddressChanges();
  void InitClientRows();
  void RefillMidiInLists();
  void SwitchRowOff(int row);
  void ApplyClientRow(RowChange kind, int row);
  void MidiInChange();
  void RefreshInputs();

  [[nodiscard]] int CurrentVirtualPortCount() const;
  void ServerOnOff();
  void ServerOn();
  void ServerOff();
  void ClientOnOff();
  void ClientOn();
  void ClientOff();
  void ConnectClient();
  void DisconnectClient();
  // A device came or went: inputs and outputs that went away and are back are opened again.
  void ReviveDevices();
  // What capture and the outputs lost since the last look, said once a second at most.
  void ReportLosses(Tick now);
  void WriteDumpOptions();
  // The engine's reports are folded: only the latest state and server address wait, behind one
  // queued wake-up, however many keep-alives arrive while the window is busy.
  void WakeForEngineReports();
  void ApplyEngineReports();
  // The client's address is not on this machine: said once, until it is again.
  [[nodiscard]] bool ClientAddressMissing();

  ControllerServices s_;
  MainView& view_;
  MainFields f_;
  std::array<CBin, kRows> lamps_;
  std::atomic<net::ConnectionState> state_{net::ConnectionState::Disconnected};
  std::int32_t debug_ = 0;
  std::int32_t overallMin_ = 0;
  std::int32_t overallMax_ = 0;
  unsigned tickCounter_ = 0;
  bool firstTick_ = true;
  Tick lastKeepAliveTime_ = 0;
  Tick lastLossReport_ = 0;
  std::uint32_t overrunsSeen_ = 0;
  TargetWatch targetWatch_;                        // the server's targets that cannot be reached
  std::array<std::uint32_t, kRows> droppedSeen_{}; // per client row, since its outputs were made
  bool notesOffOnLoss_ = true;
  bool multicast_ = false; // "[Interop] Multicast" as the client was switched on with it
  std::uint64_t multicastNotSentSeen_ = 0;
  std::uint64_t multicastNotMidiSeen_ = 0;
  in_addr_t missingAddressNoticed_ = 0;
  std::string listeningSaid_;                         // the client's last "listening on" notice, while it still holds
  int switching_ = 0;                                 // switches under way, nested ones counted
  std::array<std::optional<bool>, 2> deferredSwitch_; // server, client: the latest request
  bool deferredCancel_ = false;
  std::string latencyText_;
  std::string heardServerText_;
  std::vector<in_addr_t> secondServersNoticed_; // since the client connected
  // Translated once: the idle update shows them 33 times a second.
  std::string portInUseFormat_;
  std::string latencyFormat_;
  std::string maxLatencyFormat_;
  bool destroyed_ = false;
  bool initialised_ = false;
  // Shared with posted callbacks: false once the controller is gone, so a late report is dropped.
  std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
  static constexpr int kNoState = -1;
  static constexpr std::uint64_t kAddressReported = std::uint64_t{1} << 32U;
  std::atomic<int> reportedState_{kNoState};     // the engine's latest state not yet applied
  std::atomic<std::uint64_t> reportedServer_{0}; // kAddressReported | address, 0: none waiting
  std::atomic<bool> reportWakePending_{false};

  std::unique_ptr<net::CUdpSender> sender_;
  std::unique_ptr<net::CMulticastSender> multicastSender_; // while the server runs with multicast on
  std::unique_ptr<net::CServerThread> serverThread_;
  std::unique_ptr<MidiOutputs> outputs_;
  std::unique_ptr<net::CClientThread> clientThread_;
  net::ClientConnector connector_;
  std::unique_ptr<net::LatencyProber> prober_;
  std::unique_ptr<DropCounters> ownDrops_; // when the services bring none
};

// The machine's MIDI devices as the sequencer lists them.
class SequencerDevices final : public DeviceSource {
public:
  explicit SequencerDevices(snd_seq_t* seq) noexcept : seq_(seq) {}
  [[nodiscard]] std::vector<std::string> MidiInDevices() const override;
  [[nodiscard]] std::vector<std::string> MidiOutDevices() const override;
  [[nodiscard]] int CountVirtualPorts() const override;

private:
  snd_seq_t* seq_;
};

// `format` with its first "%d" replaced by `value`. Formats may come from a language file, so
// they never reach printf: a stray "%s" there shows as it is instead of reading random memory.
[[nodiscard]] std::string FormatNumber(std::string_view format, long long value);

// Parses a port edit: an unsigned decimal number, blanks around it allowed.
[[nodiscard]] std::optional<std::uint32_t> ParsePortText(std::string_view text);
// Dotted text of an IPv4 address in network order, and back (0 when it is not one).
[[nodiscard]] std::string DottedAddress(in_addr_t address);
[[nodiscard]] in_addr_t ParseAddress(const std::string& text);
// This machine's IPv4 addresses on interfaces that are up, loopback left out, as the IP list
// offers them: "10.0.0.5 - eth0".
[[nodiscard]] std::vector<std::string> LocalIpv4Addresses();
// The interfaces that are up with an IPv4 address, loopback left out: "eth0 - 10.0.0.5".
[[nodiscard]] std::vector<std::string> LocalInterfaces();

} // namespace kestrel::controller
