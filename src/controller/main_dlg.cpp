// SPDX-License-Identifier: GPL-3.0-or-later
#include "controller/main_dlg.hpp"

#include "config/config_keys.hpp"
#include "config/settings.hpp"
#include "config/translation.hpp"
#include "core/drop_counters.hpp"
#include "core/dump_store.hpp"
#include "core/window_flags.hpp"
#include "midi/alsa_seq.hpp"
#include "net/latency_probe.hpp"
#include "platform/beep.hpp"

#include <utility>

namespace kestrel::controller {

namespace {

using net::ConnectionState;

constexpr unsigned kFoldTicks = 50; // the lag fold and the retry rule run when the count passes this

} // namespace

// ---- construction and the window's life -----------------------------------------------------

CMainDlg::CMainDlg(ControllerServices services, MainView& view)
    : services_(std::move(services)), view_(view),
      inbox_(view, {.statusReport = [this](int code, std::int64_t value) { OnStatusReport(code, value); },
                    .secondServer = [this](in_addr_t address) { client_.SecondServer(address); }}),
      status_(services_.translator), settingsBinding_(services_.settings, view, services_.autostartEntry),
      choices_(services_, view, fields_), server_(services_, view), client_(services_, view, fields_, inbox_),
      health_(services_, view, fields_, server_, client_,
              {.showFields = [this] { WriteToControls(); },
               .checkClientAddress = [this] { client_.CheckAddress(inbox_.StateNow()); }}),
      ports_(services_, view, fields_,
             {.enginesOff =
                  [this] {
                    ServerOff();
                    ClientOff();
                  },
              .showFields = [this] { WriteToControls(); },
              .enginesAsSwitched =
                  [this] {
                    ServerOnOff();
                    ClientOnOff();
                  }}),
      prober_(services_.probe ? nullptr : std::make_unique<net::LatencyProber>([this](in_addr_t, int ms) {
        inbox_.Post([this, ms] { OnStatusReport(kReportProbeResult, ms); });
      })) {
  if (services_.drops == nullptr) {
    ownDrops_ = std::make_unique<DropCounters>();
    services_.drops = ownDrops_.get();
  }
  const StoredOptions stored = settingsBinding_.ReadFields(fields_);
  status_.SetDebug(stored.debug);
  notesOffOnLoss_ = stored.notesOffOnLoss;
  fields_.virtualPortSnapshot = ports_.CurrentCount();
  services_.flags.present = true;
  ApplyFlags();
}

CMainDlg::~CMainDlg() {
  Destroy();
  prober_.reset();
  inbox_.Close();
  services_.flags.present = false;
}

void CMainDlg::OnInitDialog() {
  RefreshDeviceLists(true);
  choices_.FillIpList();
  choices_.FillInterfaceList();
  choices_.InitClientRows();
  WriteToControls();
  initialised_ = true;
  ServerOnOff();
  ClientOnOff();
  // Last, so that the notice line shows them rather than the switches' news.
  for (const std::string& problem : services_.startupProblems) view_.Notice(problem);
  if (services_.noSequencer) {
    // Once the window shows: the box comes in front of it.
    inbox_.Post([this] { view_.ShowErrorMessage(std::string(kNoSequencerHelp)); });
  }
}

void CMainDlg::Destroy() {
  if (destroyed_) return;
  destroyed_ = true;
  view_.StopApplyTimer();
  ServerOff();
  ClientOff();
}

void CMainDlg::OnCancel() {
  if (switching_ > 0) {
    deferredCancel_ = true;
    return;
  }
  Destroy();
  view_.Quit();
}

template <class Body>
void CMainDlg::AsOneSwitch(Body&& body) {
  ++switching_;
  body();
  if (--switching_ == 0) SwitchesDone();
}

void CMainDlg::SwitchesDone() {
  // The outermost switch is done: what came meanwhile runs now, an end before any switch.
  if (std::exchange(deferredCancel_, false)) {
    deferredSwitch_ = {};
    OnCancel();
    return;
  }
  for (const bool server : {true, false}) {
    if (const auto wanted = std::exchange(deferredSwitch_[server ? 0 : 1], std::nullopt))
      OnSwitchRequest(server, *wanted);
  }
}

void CMainDlg::OnWindowMoved(const WindowGeometry& geometry) { settingsBinding_.WriteGeometry(geometry); }

const char* CMainDlg::Tr(const char* text) const { return services_.translator.TranslateString(text); }

// ---- data exchange --------------------------------------------------------------------------

// Copies the controls into the fields; a port edit without a usable number is said and stops
// the copy there.
bool CMainDlg::ReadFromControls() {
  ControlValues values = ValuesOf(fields_);
  view_.ReadControls(values);
  if (const char* problem = TakeValues(values, fields_)) {
    view_.ShowMessage(Tr(problem));
    return false;
  }
  ApplyFlags();
  return true;
}

// ---- device choices and client rows ---------------------------------------------------------

void CMainDlg::RefreshDeviceLists(bool firstFill) {
  choices_.RefreshOutputs(firstFill, [this](int row) { SwitchRowOff(row); });
  choices_.RefillMidiIn();
  if (fields_.serverEnabled && server_.Running()) fields_.midiInIndex = fields_.midiIn.Selected();
  ApplyFlags();
}

void CMainDlg::FollowAddressChanges() {
  client_.RefreshOwnAddresses();
  if (!choices_.RefillAddressLists()) return;
  WriteToControls();
  if (client_.Running() && client_.Engine()->Address() != fields_.localAddress) client_.Connect();
}

// A row whose device went: unticked, its output closed, stored off.
void CMainDlg::SwitchRowOff(int row) {
  fields_.clientPorts[static_cast<std::size_t>(row)] = false;
  WriteToControls();
  client_.ApplyRow(ClientSide::RowChange::CheckBox, row, [this] { WriteToControls(); });
}

// ---- handlers -------------------------------------------------------------------------------

void CMainDlg::OnServerClicked() {
  AsOneSwitch([this] {
    if (!ReadFromControls()) return;
    services_.settings.WriteConfigInt(config::kServerEnable, fields_.serverEnabled ? 1 : 0);
    if (fields_.clientEnabled) RefreshDeviceLists(false);
    ServerOnOff();
    WriteToControls();
  });
}

void CMainDlg::OnClientClicked() {
  AsOneSwitch([this] {
    if (!ReadFromControls()) return;
    services_.settings.WriteConfigInt(config::kClientEnable, fields_.clientEnabled ? 1 : 0);
    RefreshDeviceLists(false);
    ClientOnOff();
    WriteToControls();
  });
}

void CMainDlg::OnServerPortClicked(int row) {
  if (!ReadFromControls()) return;
  services_.settings.WriteConfigInt(config::ServerPortKey(row + 1),
                                    fields_.serverPorts[static_cast<std::size_t>(row)] ? 1 : 0);
  RefreshInputs();
}

void CMainDlg::OnClientPortClicked(int row) {
  if (!ReadFromControls()) return;
  client_.ApplyRow(ClientSide::RowChange::CheckBox, row, [this] { WriteToControls(); });
}

void CMainDlg::OnOutputChanged(int row, int index) {
  fields_.outputs[static_cast<std::size_t>(row)].Select(index);
  client_.ApplyRow(ClientSide::RowChange::Device, row, [this] { WriteToControls(); });
}

void CMainDlg::OnMidiInChanged(int deviceIndex, int targetIndex) {
  fields_.midiIn.Select(deviceIndex);
  fields_.midiInTarget.Select(targetIndex);
  MidiInChange();
  WriteToControls();
}

void CMainDlg::MidiInChange() {
  if (!ReadFromControls()) return;
  server_.MidiInChosen(fields_);
  ApplyFlags();
  RefreshInputs();
}

void CMainDlg::OnIpChanged(int index) {
  fields_.ipList.Select(index);
  fields_.localAddress = ParseAddress(EntryKey(fields_.ipList.SelectedText()));
  view_.StartApplyTimer();
}

void CMainDlg::OnInterfaceChanged(int index) {
  if (index < 0 || index >= fields_.interfaces.Count() || index == fields_.interfaces.Selected()) return;
  fields_.interfaces.Select(index);
  server_.ChooseInterface(index == 0 ? std::string() : EntryKey(fields_.interfaces.SelectedText()));
}

void CMainDlg::OnPortEdited() {
  if (!ReadFromControls()) return;
  if (inbox_.StateNow() == ConnectionState::PortInUse) inbox_.State() = ConnectionState::Disconnected;
  view_.StartApplyTimer();
}

void CMainDlg::OnDumpOptionClicked() {
  if (!ReadFromControls()) return;
  settingsBinding_.WriteDumpOptions(fields_);
}

void CMainDlg::OnClearClicked() {
  services_.dump.ClearDump();
  status_.ClearLag();
}

void CMainDlg::OnAutostartClicked() {
  if (ReadFromControls() && !settingsBinding_.WriteAutostartEntry(fields_, services_.programPath)) WriteToControls();
}

void CMainDlg::OnLampMouse(int row, LampMouse what) { server_.TestNote(row, what != LampMouse::Release); }

void CMainDlg::LogBothSidesForThisRun() {
  fields_.dumpServer = true;
  fields_.dumpClient = true;
  ApplyFlags();
}

// ---- tray and outside requests ----------------------------------------------------------------

void CMainDlg::OnSwitchRequest(bool server, bool on) {
  if (destroyed_) return;
  if (switching_ > 0) {
    deferredSwitch_[server ? 0 : 1] = on;
    return;
  }
  AsOneSwitch([&] {
    bool& enabled = server ? fields_.serverEnabled : fields_.clientEnabled;
    if (enabled == on) return;
    enabled = on;
    WriteToControls();
    if (server) {
      OnServerClicked();
    } else {
      OnClientClicked();
    }
  });
}

void CMainDlg::OnTrayMenu(int command, bool windowVisible) {
  switch (command) {
  case kTrayExit:
    // Queued, as a click on "Exit" would be: the menu closes before the window goes.
    inbox_.Post([this] { OnCancel(); });
    return;
  case kTrayServer:
  case kTrayClient: {
    const bool server = command == kTrayServer;
    OnSwitchRequest(server, !(server ? fields_.serverEnabled : fields_.clientEnabled));
    return;
  }
  case kTrayMinimize:
  case kTrayOpen: OnTrayClick(windowVisible); return;
  default: return;
  }
}

// ---- the virtual ports ----------------------------------------------------------------------

void CMainDlg::RestorePortCount() {
  if (destroyed_) return;
  AsOneSwitch([this] { // the busy notice runs the window's events
    if (ReadFromControls()) ports_.Restore();
  });
}

// ---- server and client on and off -----------------------------------------------------------

void CMainDlg::ServerOnOff() {
  if (fields_.serverEnabled) {
    ServerOn();
  } else {
    ServerOff();
  }
}

void CMainDlg::ServerOn() {
  if (server_.Running()) return;
  fields_.virtualPortSnapshot = ports_.CurrentCount();
  for (int i = fields_.virtualPortSnapshot; i < kRows; ++i) fields_.serverPorts[static_cast<std::size_t>(i)] = false;
  ServerOff(); // a sender left from before goes first; this also forgets the MIDI In index
  fields_.midiInIndex = fields_.midiIn.Selected() > 0 ? fields_.midiIn.Selected() : 0;
  server_.Create(fields_.serverPort);
  health_.ServerCreated();
  RefreshInputs(); // between building the engine and starting it
  server_.Start(fields_.serverPort);
  WriteToControls();
}

void CMainDlg::ServerOff() {
  fields_.midiInIndex = 0;
  if (server_.Stop()) WriteToControls();
}

void CMainDlg::ClientOnOff() {
  if (fields_.clientEnabled) {
    ClientOn();
  } else {
    ClientOff();
  }
}

void CMainDlg::ClientOn() {
  if (client_.Running()) return;
  client_.Start(notesOffOnLoss_);
  health_.ClientCreated();
  WriteToControls();
  if (fields_.clientPort != 0) client_.Connect();
  client_.OpenChosenRows();
  WriteToControls();
}

void CMainDlg::ClientOff() {
  if (client_.Stop()) WriteToControls();
}

// ---- reports --------------------------------------------------------------------------------

void CMainDlg::OnStatusReport(int code, std::int64_t value) {
  switch (code) {
  case kReportConnection: {
    const auto state = static_cast<ConnectionState>(value);
    const ConnectionState before = inbox_.State().exchange(state);
    if (state == before) return;
    if (state == ConnectionState::Connected) settingsBinding_.WriteConnection(fields_);
    if (state == ConnectionState::Disconnected) status_.ConnectionEnded();
    client_.ConnectionChanged(before, state);
    return;
  }
  case kReportInputFailed: {
    const int input = static_cast<int>(value);
    const ServerSide::SwitchedOff off = server_.InputFailed(input, fields_);
    if (off == ServerSide::SwitchedOff::MidiIn) {
      MidiInChange();
      WriteToControls();
    } else if (off == ServerSide::SwitchedOff::Port) {
      WriteToControls();
      OnServerPortClicked(input);
    }
    return;
  }
  case kReportShow: view_.ShowMainWindow(value != 0); return;
  case kReportProbe:
    status_.ServerHeard(static_cast<in_addr_t>(value));
    RequestProbe(static_cast<in_addr_t>(value));
    return;
  case kReportProbeResult: status_.ShowDelay(value, inbox_.StateNow() == ConnectionState::Connected); return;
  default: return;
  }
}

// Probes for a keep-alive's sender, off the window's thread.
void CMainDlg::RequestProbe(in_addr_t address) {
  if (services_.probe) {
    services_.probe(address, [this](int ms) { inbox_.Post([this, ms] { OnStatusReport(kReportProbeResult, ms); }); });
  } else {
    prober_->Request(address);
  }
}

// ---- timers ---------------------------------------------------------------------------------

void CMainDlg::OnApplyTimer() {
  AsOneSwitch([this] {
    view_.StopApplyTimer();
    if (ReadFromControls()) {
      net::CClientThread* engine = client_.Engine();
      if (engine != nullptr &&
          net::SettingsRuleDue(engine->Port(), engine->Address(), static_cast<std::uint16_t>(fields_.clientPort),
                               fields_.localAddress)) {
        client_.Connect();
      }
      if (server_.SetDestinationPort(fields_.serverPort) && fields_.clientEnabled) {
        RefreshDeviceLists(false);
        WriteToControls();
      }
    }
    OnStatusTimer();
  });
}

void CMainDlg::OnStatusTimer() {
  const Tick now = services_.clock.Now();
  RingHandedOverBeep(); // the engines never print nor ring themselves
  inbox_.ApplyEngineReports();
  for (int i = 0; i < kRows; ++i) {
    if (inbox_.Lamp(i).LampTick()) view_.RepaintLamp(i);
  }
  server_.StatusTick(now, fields_);
  if (client_.SilenceTick(now, inbox_.StateNow(), notesOffOnLoss_)) {
    inbox_.Post([this] { OnStatusReport(kReportConnection, static_cast<int>(ConnectionState::Disconnected)); });
  }
  if (services_.inputs != nullptr && services_.inputs->TakeDevicesChanged()) health_.ReviveDevices();
  if (TickElapsed(now, health_.LastReport()) >= 1000) {
    health_.ReportLosses(now);
    FollowAddressChanges();
  }
  if (tickCounter_++ > kFoldTicks) {
    tickCounter_ = 0;
    status_.FoldLag(services_.dump.TakeLag());
    if (net::RetryRuleDue(fields_.clientEnabled && client_.Running(), inbox_.StateNow())) client_.Connect();
  }
}

StatusDisplay CMainDlg::UpdateTrayAndStatus() const {
  return status_.Display(fields_, inbox_.StateNow(), services_.dump.MaxLag());
}

} // namespace kestrel::controller
