// SPDX-License-Identifier: GPL-3.0-or-later
#include "controller/main_dlg.hpp"

#include "core/beep.hpp"
#include "core/config_keys.hpp"
#include "core/drop_counters.hpp"
#include "core/dump_store.hpp"
#include "core/midi_outputs.hpp"
#include "core/realtime.hpp"
#include "core/settings.hpp"
#include "core/translation.hpp"
#include "core/window_flags.hpp"
#include "midi/alsa_seq.hpp"
#include "net/destinations.hpp"
#include "net/latency_probe.hpp"
#include "net/multicast.hpp"
#include "net/server_engine.hpp"
#include "net/udp_socket.hpp"

#include <arpa/inet.h>
#include <charconv>
#include <cstdio>
#include <ifaddrs.h>
#include <net/if.h>
#include <strings.h>
#include <utility>

namespace kestrel::controller {

namespace {

using net::ConnectionState;

constexpr unsigned kFoldTicks = 50; // the lag fold and the retry rule run when the count passes this
constexpr std::uint32_t kMaxUdpPort = 65535;

std::string InputGoneNotice(int inputIndex) {
  return inputIndex == midi::InputHub::kMidiInSlot ? std::string("The MIDI In device went away")
                                                   : midi::VirtualPortName(inputIndex + 1) + " went away";
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) noexcept {
  return text.size() >= prefix.size() && strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

} // namespace

std::string FormatNumber(std::string_view format, long long value) {
  std::string out;
  out.reserve(format.size() + 20);
  bool done = false;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size()) {
      const char next = format[i + 1];
      if (next == '%') {
        out += '%';
        ++i;
        continue;
      }
      if (!done && (next == 'd' || next == 'i' || next == 'u')) {
        out += std::to_string(value);
        done = true;
        ++i;
        continue;
      }
    }
    out += format[i];
  }
  return out;
}

std::optional<std::uint32_t> ParsePortText(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  std::uint32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string DottedAddress(in_addr_t address) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr a{};
  a.s_addr = address;
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

in_addr_t ParseAddress(const std::string& text) {
  in_addr a{};
  return inet_pton(AF_INET, text.c_str(), &a) == 1 ? a.s_addr : 0;
}

namespace {

// The machine's IPv4 addresses on interfaces that are up, loopback left out: (address, name).
std::vector<std::pair<std::string, std::string>> UpAddresses() {
  std::vector<std::pair<std::string, std::string>> list;
  ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) return list;
  for (const ifaddrs* i = all; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if ((i->ifa_flags & IFF_LOOPBACK) != 0U || (i->ifa_flags & IFF_UP) == 0U) continue;
    in_addr_t address = 0;
    std::memcpy(&address, &reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr, sizeof address);
    list.emplace_back(DottedAddress(address), i->ifa_name);
  }
  freeifaddrs(all);
  return list;
}

constexpr std::string_view kNameSeparator = " - ";

// The part of a list entry before " - ": the address of "10.0.0.5 - eth0", the name of
// "eth0 - 10.0.0.5".
std::string EntryKey(const std::string& entry) { return entry.substr(0, entry.find(kNameSeparator)); }

int FindKey(const ChoiceList& list, const std::string& key) {
  for (int i = 0; i < list.Count(); ++i) {
    if (EntryKey(list.At(i)) == key) return i;
  }
  return ChoiceList::kNone;
}

} // namespace

std::vector<std::string> LocalIpv4Addresses() {
  std::vector<std::string> list;
  for (const auto& [address, name] : UpAddresses()) {
    std::string entry = address;
    entry.append(kNameSeparator).append(name);
    list.push_back(std::move(entry));
  }
  return list;
}

std::vector<std::string> LocalInterfaces() {
  std::vector<std::string> list;
  std::vector<std::string> seen;
  for (const auto& [address, name] : UpAddresses()) {
    if (std::find(seen.begin(), seen.end(), name) != seen.end()) continue; // its first address names it
    seen.push_back(name);
    std::string entry = name;
    entry.append(kNameSeparator).append(address);
    list.push_back(std::move(entry));
  }
  return list;
}

std::vector<std::string> SequencerDevices::MidiInDevices() const {
  std::vector<std::string> list;
  if (seq_ != nullptr) midi::DeviceDirectory(seq_).ListMidiInDevices(list);
  return list;
}

std::vector<std::string> SequencerDevices::MidiOutDevices() const {
  std::vector<std::string> list;
  if (seq_ != nullptr) midi::DeviceDirectory(seq_).ListMidiOutDevices(list);
  return list;
}

int SequencerDevices::CountVirtualPorts() const {
  return seq_ != nullptr ? midi::DeviceDirectory(seq_).CountVirtualPorts() : 0;
}

// ---- construction and the window's life -----------------------------------------------------

CMainDlg::CMainDlg(ControllerServices services, MainView& view)
    : s_(std::move(services)), view_(view), connector_(state_, [this] { ApplyEngineReports(); }) {
  if (s_.drops == nullptr) {
    ownDrops_ = std::make_unique<DropCounters>();
    s_.drops = ownDrops_.get();
  }
  for (int i = 0; i < kRows; ++i) lamps_[static_cast<std::size_t>(i)].SetPort(i + 1);
  portInUseFormat_ = Tr("Error: Port %d already in use");
  latencyFormat_ = Tr("Latency: %d");
  maxLatencyFormat_ = Tr("max latency: %d");
  ReadSettings();
  f_.virtualPortSnapshot = CurrentVirtualPortCount();
  if (!s_.probe) {
    prober_ = std::make_unique<net::LatencyProber>([this, alive = alive_](in_addr_t, int ms) {
      view_.Post([this, alive, ms] {
        if (alive->load()) OnStatusReport(kReportProbeResult, ms);
      });
    });
  }
  s_.flags.present = true;
  ApplyFlags();
}

CMainDlg::~CMainDlg() {
  Destroy();
  prober_.reset();
  alive_->store(false);
  s_.flags.present = false;
}

// Reads a UDP port key; a value no UDP port can have is reported and replaced by the default.
std::uint32_t CMainDlg::ReadPortSetting(const config::IntKey& key, std::uint32_t lowest) {
  const config::ConfigKey asText{key.section, key.name, "", true};
  const std::string text = s_.settings.ReadConfigText(asText, "");
  if (text.empty()) return static_cast<std::uint32_t>(key.defaultValue);
  const auto value = ParsePortText(text);
  if (!value || *value < lowest || *value > kMaxUdpPort) {
    view_.Notice("Kestrel.dat: [" + std::string(key.section) + "] " + std::string(key.name) + "=" + text +
                 " is not a UDP port (" + std::to_string(lowest) + " to 65535); using " +
                 std::to_string(key.defaultValue));
    return static_cast<std::uint32_t>(key.defaultValue);
  }
  return *value;
}

void CMainDlg::ReadSettings() {
  const Settings& st = s_.settings;
  // A flag holding text where a number belongs reads as its default, and says so.
  auto flag = [&](const config::IntKey& key) {
    const config::ConfigKey asText{key.section, key.name, "", true};
    const std::string text = st.ReadConfigText(asText, "");
    if (!text.empty() && text.find_first_of("-0123456789") != 0) {
      view_.Notice("Kestrel.dat: [" + std::string(key.section) + "] " + std::string(key.name) + "=" + text +
                   " is not a number; using " + std::to_string(key.defaultValue));
      return key.defaultValue != 0;
    }
    return st.ReadConfigInt(key) != 0;
  };
  debug_ = st.ReadConfigInt(config::kDebug);
  f_.dumpServer = flag(config::kServerLog);
  f_.dumpClient = flag(config::kClientLog);
  f_.filter = flag(config::kDumpFilter);
  f_.filterTimingClock = flag(config::kFilterTimingClock);
  f_.filterActiveSensing = flag(config::kFilterActiveSensing);
  for (int n = 1; n <= kRows; ++n) {
    f_.serverPorts[static_cast<std::size_t>(n - 1)] = flag(config::ServerPortKey(n));
    f_.clientPorts[static_cast<std::size_t>(n - 1)] = flag(config::ClientPortKey(n));
  }
  const std::string host = st.ReadConfigText(config::kHostIp);
  f_.localAddress = ParseAddress(host);
  if (!host.empty() && f_.localAddress == 0) {
    view_.Notice("Kestrel.dat: [Client] HostIP=" + host + " is not an IPv4 address; ignored");
  }
  f_.clientPort = ReadPortSetting(config::kClientUdpPort, 0); // 0: the client does not connect
  f_.serverPort = ReadPortSetting(config::kServerUdpPort, 1);
  f_.serverEnabled = flag(config::kServerEnable);
  f_.clientEnabled = flag(config::kClientEnable);
  notesOffOnLoss_ = flag(config::kNotesOffOnLoss);
  multicast_ = flag(config::kMulticast); // said here when it is no number; read again at each switch-on
  f_.autostart = ReadAutostart(s_.autostartEntry);
}

void CMainDlg::OnInitDialog() {
  RefreshDeviceLists(true);
  FillIpList();
  FillInterfaceList();
  InitClientRows();
  WriteToControls();
  initialised_ = true;
  ServerOnOff();
  ClientOnOff();
  // Last, so that the notice line shows them rather than the switches' news.
  for (const std::string& problem : s_.startupProblems) view_.Notice(problem);
  if (s_.noSequencer) {
    // Once the window shows: the box comes in front of it.
    view_.Post([this, alive = alive_] {
      if (alive->load()) view_.ShowErrorMessage(std::string(kNoSequencerHelp));
    });
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

WindowGeometry CMainDlg::StoredGeometry() const {
  return {s_.settings.ReadConfigInt(config::kWindowX), s_.settings.ReadConfigInt(config::kWindowY),
          s_.settings.ReadConfigInt(config::kWindowWidth), s_.settings.ReadConfigInt(config::kWindowHeight)};
}

void CMainDlg::OnWindowMoved(const WindowGeometry& g) {
  s_.settings.WriteConfigInt(config::kWindowX, g.x);
  s_.settings.WriteConfigInt(config::kWindowY, g.y);
  s_.settings.WriteConfigInt(config::kWindowWidth, g.w);
  s_.settings.WriteConfigInt(config::kWindowHeight, g.h);
}

const char* CMainDlg::Tr(const char* text) const { return s_.translator.TranslateString(text); }

// ---- data exchange --------------------------------------------------------------------------

ControlValues CMainDlg::CurrentValues() const {
  ControlValues v;
  v.dumpServer = f_.dumpServer;
  v.dumpClient = f_.dumpClient;
  v.serverPorts = f_.serverPorts;
  v.clientPorts = f_.clientPorts;
  v.serverEnabled = f_.serverEnabled;
  v.clientEnabled = f_.clientEnabled;
  v.filter = f_.filter;
  v.filterTimingClock = f_.filterTimingClock;
  v.filterActiveSensing = f_.filterActiveSensing;
  v.clientPort = std::to_string(f_.clientPort);
  v.serverPort = std::to_string(f_.serverPort);
  v.autostart = f_.autostart;
  return v;
}

// Copies the controls into the fields in the window's binding order. A port edit without a
// usable number stops the copy there, with a message; the fields after it keep their values.
bool CMainDlg::ReadFromControls() {
  ControlValues v = CurrentValues();
  view_.ReadControls(v);
  f_.dumpServer = v.dumpServer;
  f_.dumpClient = v.dumpClient;
  f_.serverPorts = v.serverPorts;
  f_.clientPorts = v.clientPorts;
  f_.serverEnabled = v.serverEnabled;
  f_.clientEnabled = v.clientEnabled;
  f_.filter = v.filter;
  f_.filterTimingClock = v.filterTimingClock;
  f_.filterActiveSensing = v.filterActiveSensing;
  struct Edit {
    const std::string* text;
    std::uint32_t* field;
    std::uint32_t lowest; // a client on port 0 does not connect; a server cannot send there
  };
  for (const Edit edit : {Edit{&v.clientPort, &f_.clientPort, 0}, Edit{&v.serverPort, &f_.serverPort, 1}}) {
    const auto port = ParsePortText(*edit.text);
    if (!port) {
      view_.ShowMessage(Tr("Please enter a positive integer."));
      return false;
    }
    if (*port < edit.lowest || *port > kMaxUdpPort) {
      view_.ShowMessage(Tr("Please enter a UDP port from 1 to 65535."));
      return false;
    }
    *edit.field = *port;
  }
  f_.autostart = v.autostart;
  ApplyFlags();
  return true;
}

// The flags other threads read.
void CMainDlg::ApplyFlags() {
  s_.flags.dumpFilter = f_.filter;
  s_.flags.filterTimingClock = f_.filterTimingClock;
  s_.flags.filterActiveSensing = f_.filterActiveSensing;
  s_.flags.serverLog = f_.dumpServer;
  s_.flags.clientLog = f_.dumpClient;
  s_.flags.midiInTarget = f_.targetIndex >= 0 ? f_.targetIndex : 0;
}

ControlStates CMainDlg::States() const {
  ControlStates c;
  const bool on = f_.serverEnabled && serverThread_ != nullptr;
  for (int i = 0; i < kRows; ++i) c.serverPortEnabled[static_cast<std::size_t>(i)] = on && i < f_.virtualPortSnapshot;
  c.lampsEnabled = on;
  c.serverPortEditEnabled = on;
  c.midiInEnabled = on;
  c.targetEnabled = on && f_.midiIn.Selected() > 0;
  c.clientPanelEnabled = f_.clientEnabled && clientThread_ != nullptr;
  return c;
}

// ---- device choices -------------------------------------------------------------------------

void CMainDlg::RefreshDeviceLists(bool firstFill) {
  const std::vector<std::string> outputs = s_.devices.MidiOutDevices();
  for (int i = 0; i < kRows; ++i) {
    ChoiceList& choice = f_.outputs[static_cast<std::size_t>(i)];
    const std::string remembered = choice.SelectedText();
    if (firstFill) choice.Add(Tr(std::string(kNotConnected).c_str()));
    const std::string ownPort = midi::VirtualPortName(i + 1);
    for (const std::string& name : outputs) {
      if (f_.serverEnabled && f_.clientPort == f_.serverPort) {
        // This machine's server and client share a port: a row never plays a server port back
        // into the virtual port of the same number.
        const bool removedSelected = SyncComboEntry(choice, name, name != ownPort);
        if (removedSelected && f_.clientPorts[static_cast<std::size_t>(i)]) SwitchRowOff(i);
      } else {
        SyncComboEntry(choice, name, true);
      }
    }
    if (!remembered.empty()) choice.SelectPrefix(remembered);
    if (choice.Selected() == ChoiceList::kNone) {
      choice.Select(0);
      if (!firstFill && f_.clientPorts[static_cast<std::size_t>(i)] && f_.clientEnabled) SwitchRowOff(i);
    }
  }
  RefillMidiInLists();
}

void CMainDlg::RefillMidiInLists() {
  f_.midiIn.Clear();
  f_.midiIn.Add(Tr(std::string(kDisabled).c_str()));
  const std::vector<std::string> inputs = s_.devices.MidiInDevices();
  for (const std::string& name : inputs) f_.midiIn.Add(name);
  if (!inputs.empty()) {
    // Never pick up a "Midi Through" port by default: it only echoes what programs write into it.
    std::string firstOrdinary = inputs.front();
    for (const std::string& name : inputs) {
      if (!StartsWithIgnoringCase(name, "Midi Through")) {
        firstOrdinary = name;
        break;
      }
    }
    if (StartsWithIgnoringCase(firstOrdinary, "Midi Through")) firstOrdinary = kDisabled;
    f_.midiIn.SelectPrefix(s_.settings.ReadConfigText(config::kMidiInPort, firstOrdinary));
  }
  if (f_.midiIn.Selected() == ChoiceList::kNone) f_.midiIn.Select(0);

  f_.midiInTarget.Clear();
  for (int n = 1; n <= kRows; ++n) f_.midiInTarget.Add(midi::VirtualPortName(n));
  const std::string target = s_.settings.ReadConfigText(config::kMidiInTarget);
  f_.targetIndex = f_.midiInTarget.SelectPrefix(target);
  if (f_.targetIndex == ChoiceList::kNone) {
    // A target naming no port would send the device's events under port 0, which no client
    // plays: they go out under port 1 instead.
    view_.Notice("Kestrel.dat: [Server] MidiIN_Port2=" + target + " names no Kestrel port; using Kestrel Port1");
    f_.midiInTarget.Select(0);
    f_.targetIndex = 0;
  }
  if (f_.serverEnabled && serverThread_ != nullptr) f_.midiInIndex = f_.midiIn.Selected();
  ApplyFlags();
}

void CMainDlg::FillIpList() {
  f_.ipList.Clear();
  const std::vector<std::string> addresses = s_.localAddresses ? s_.localAddresses() : LocalIpv4Addresses();
  for (const std::string& a : addresses) f_.ipList.Add(a);
  if (f_.localAddress != 0) {
    const std::string chosen = DottedAddress(f_.localAddress);
    // A stored address the machine does not have now stays chosen, and the list says so.
    if (FindKey(f_.ipList, chosen) == ChoiceList::kNone) f_.ipList.Add(chosen + " - not on this machine");
    f_.ipList.Select(FindKey(f_.ipList, chosen));
  } else if (f_.ipList.Count() > 0) {
    f_.ipList.Select(0);
    f_.localAddress = ParseAddress(EntryKey(f_.ipList.At(0)));
  }
}

void CMainDlg::FillInterfaceList() {
  f_.interfaces.Clear();
  f_.interfaces.Add("Automatic");
  for (const std::string& i : s_.localInterfaces ? s_.localInterfaces() : LocalInterfaces()) f_.interfaces.Add(i);
  const std::string chosen = s_.settings.ReadConfigText(config::kServerInterface);
  if (chosen.empty()) {
    f_.interfaces.Select(0);
    return;
  }
  if (FindKey(f_.interfaces, chosen) == ChoiceList::kNone) f_.interfaces.Add(chosen + " - not on this machine");
  f_.interfaces.Select(FindKey(f_.interfaces, chosen));
}

void CMainDlg::FollowAddressChanges() {
  if (clientThread_ != nullptr && multicast_) clientThread_->SetOwnAddresses(net::LocalAddresses());
  const std::vector<std::string> ips = f_.ipList.Entries();
  const std::vector<std::string> interfaces = f_.interfaces.Entries();
  FillIpList();
  FillInterfaceList();
  if (f_.ipList.Entries() == ips && f_.interfaces.Entries() == interfaces) return;
  WriteToControls();
  if (clientThread_ != nullptr && clientThread_->Address() != f_.localAddress) ConnectClient();
}

void CMainDlg::InitClientRows() {
  for (int n = 1; n <= kRows; ++n) {
    const auto i = static_cast<std::size_t>(n - 1);
    ChoiceList& choice = f_.outputs[i];
    const std::int32_t probe =
        s_.settings.ReadConfigInt(config::kClient, config::kPortKeyNames[i], config::kMissingKeyProbe);
    const std::string fallback = n - 1 < choice.Count() ? choice.At(n - 1) : std::string();
    const std::string name = s_.settings.ReadConfigText(config::ClientDeviceKey(n), fallback);
    // First run: no row starts playing into one of this machine's own virtual ports.
    if (probe == config::kMissingKeyProbe && StartsWithIgnoringCase(name, midi::kVirtualPortPrefix)) {
      f_.clientPorts[i] = false;
    }
    choice.SelectPrefix(name);
  }
}

// A row whose device went: unticked, its output closed, stored off.
void CMainDlg::SwitchRowOff(int row) {
  f_.clientPorts[static_cast<std::size_t>(row)] = false;
  WriteToControls();
  ApplyClientRow(RowChange::CheckBox, row);
}

void CMainDlg::ApplyClientRow(RowChange kind, int row) {
  const auto i = static_cast<std::size_t>(row);
  const std::string text = f_.outputs[i].SelectedText();
  const config::IntKey portKey = config::ClientPortKey(row + 1);
  auto open = [&] {
    return clientThread_ != nullptr && clientThread_->PostCommand(net::CClientThread::CmdOpenOutput, row, text) != 0;
  };
  if (kind == RowChange::Device) {
    if (f_.clientPorts[i] && !open()) {
      f_.clientPorts[i] = false;
      WriteToControls();
      s_.settings.WriteConfigInt(portKey, 0);
    }
    s_.settings.WriteConfigText(config::ClientDeviceKey(row + 1), text);
    return;
  }
  if (f_.clientPorts[i]) {
    if (open()) {
      s_.settings.WriteConfigInt(portKey, 1);
    } else {
      Beep(100, 30, "the output device cannot be opened");
      view_.Notice("Cannot open the MIDI output \"" + text + "\" for port " + std::to_string(row + 1));
      f_.clientPorts[i] = false;
      WriteToControls();
      s_.settings.WriteConfigInt(portKey, 0);
    }
  } else {
    if (clientThread_ != nullptr) clientThread_->PostCommand(net::CClientThread::CmdCloseOutput, row);
    s_.settings.WriteConfigInt(portKey, 0);
  }
}

// ---- handlers -------------------------------------------------------------------------------

void CMainDlg::OnServerClicked() {
  AsOneSwitch([this] {
    if (!ReadFromControls()) return;
    s_.settings.WriteConfigInt(config::kServerEnable, f_.serverEnabled ? 1 : 0);
    if (f_.clientEnabled) RefreshDeviceLists(false);
    ServerOnOff();
    WriteToControls();
  });
}

void CMainDlg::OnClientClicked() {
  AsOneSwitch([this] {
    if (!ReadFromControls()) return;
    s_.settings.WriteConfigInt(config::kClientEnable, f_.clientEnabled ? 1 : 0);
    RefreshDeviceLists(false);
    ClientOnOff();
    WriteToControls();
  });
}

void CMainDlg::OnServerPortClicked(int row) {
  if (!ReadFromControls()) return;
  s_.settings.WriteConfigInt(config::ServerPortKey(row + 1), f_.serverPorts[static_cast<std::size_t>(row)] ? 1 : 0);
  RefreshInputs();
}

void CMainDlg::OnClientPortClicked(int row) {
  if (!ReadFromControls()) return;
  ApplyClientRow(RowChange::CheckBox, row);
}

void CMainDlg::OnOutputChanged(int row, int index) {
  f_.outputs[static_cast<std::size_t>(row)].Select(index);
  ApplyClientRow(RowChange::Device, row);
}

void CMainDlg::OnMidiInChanged(int deviceIndex, int targetIndex) {
  f_.midiIn.Select(deviceIndex);
  f_.midiInTarget.Select(targetIndex);
  MidiInChange();
  WriteToControls();
}

void CMainDlg::MidiInChange() {
  if (!ReadFromControls()) return;
  f_.targetIndex = f_.midiInTarget.Selected();
  s_.settings.WriteConfigText(config::kMidiInPort, f_.midiIn.SelectedText());
  s_.settings.WriteConfigText(config::kMidiInTarget, f_.midiInTarget.SelectedText());
  if (f_.midiInIndex > 0 && s_.inputs != nullptr)
    s_.inputs->SetInputOpen(std::nullopt, midi::InputHub::kMidiInSlot, false);
  f_.midiInIndex = f_.midiIn.Selected();
  ApplyFlags();
  RefreshInputs();
}

void CMainDlg::OnIpChanged(int index) {
  f_.ipList.Select(index);
  f_.localAddress = ParseAddress(EntryKey(f_.ipList.SelectedText()));
  view_.StartApplyTimer();
}

void CMainDlg::OnInterfaceChanged(int index) {
  if (index < 0 || index >= f_.interfaces.Count() || index == f_.interfaces.Selected()) return;
  f_.interfaces.Select(index);
  const std::string name = index == 0 ? std::string() : EntryKey(f_.interfaces.SelectedText());
  s_.settings.WriteConfigText(config::kServerInterface, name);
  if (sender_ == nullptr) return;
  sender_->SetInterface(name);
  if (multicastSender_ != nullptr) multicastSender_->SetInterface(name);
  view_.Notice(name.empty() ? std::string("Server: broadcasting where the system's routing sends it")
                            : "Server: broadcasting on " + name);
}

void CMainDlg::OnPortEdited() {
  if (!ReadFromControls()) return;
  if (state_.load() == ConnectionState::PortInUse) state_ = ConnectionState::Disconnected;
  view_.StartApplyTimer();
}

void CMainDlg::OnDumpOptionClicked() {
  if (!ReadFromControls()) return;
  WriteDumpOptions();
}

void CMainDlg::WriteDumpOptions() {
  s_.settings.WriteConfigInt(config::kServerLog, f_.dumpServer ? 1 : 0);
  s_.settings.WriteConfigInt(config::kClientLog, f_.dumpClient ? 1 : 0);
  s_.settings.WriteConfigInt(config::kDumpFilter, f_.filter ? 1 : 0);
  s_.settings.WriteConfigInt(config::kFilterTimingClock, f_.filterTimingClock ? 1 : 0);
  s_.settings.WriteConfigInt(config::kFilterActiveSensing, f_.filterActiveSensing ? 1 : 0);
}

void CMainDlg::OnClearClicked() {
  s_.dump.ClearDump();
  overallMax_ = 0;
  overallMin_ = 0;
}

void CMainDlg::OnAutostartClicked() {
  if (!ReadFromControls()) return;
  std::string error;
  if (!WriteAutostart(s_.autostartEntry, f_.autostart, s_.programPath, &error)) {
    view_.Notice("Autostart: " + error);
    f_.autostart = ReadAutostart(s_.autostartEntry);
    WriteToControls();
  }
}

void CMainDlg::OnLampMouse(int row, LampMouse what) {
  if (s_.inputs == nullptr || serverThread_ == nullptr || row < 0 || row >= kRows) return;
  // A test note on key 57, channel 1, as if the port had delivered it.
  const std::uint32_t word = what == LampMouse::Release ? 0x013980U : 0x7F3990U;
  const Tick since = TickDiff(s_.clock.Now(), s_.inputs->OpenTick(row));
  s_.inputs->CaptureCallback(row + 1, RecordType::MIM_DATA, word, since);
}

void CMainDlg::LogBothSidesForThisRun() {
  f_.dumpServer = true;
  f_.dumpClient = true;
  ApplyFlags();
}

void CMainDlg::RefreshInputs() {
  if (s_.inputs == nullptr || serverThread_ == nullptr) return;
  s_.inputs->RefreshInputs(f_.serverPorts, f_.midiInIndex > 0 ? f_.midiIn.SelectedText() : std::string());
}

// ---- tray --------------------------------------------------------------------------------

void CMainDlg::OnSwitchRequest(bool server, bool on) {
  if (destroyed_) return;
  if (switching_ > 0) {
    deferredSwitch_[server ? 0 : 1] = on;
    return;
  }
  AsOneSwitch([&] {
    bool& enabled = server ? f_.serverEnabled : f_.clientEnabled;
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
    view_.Post([this, alive = alive_] {
      if (alive->load()) OnCancel();
    });
    return;
  case kTrayServer:
  case kTrayClient: {
    const bool server = command == kTrayServer;
    OnSwitchRequest(server, !(server ? f_.serverEnabled : f_.clientEnabled));
    return;
  }
  case kTrayMinimize:
  case kTrayOpen: OnTrayClick(windowVisible); return;
  default: return;
  }
}

// ---- the virtual ports ----------------------------------------------------------------------

int CMainDlg::CurrentVirtualPortCount() const {
  return s_.inputs != nullptr ? s_.inputs->VirtualPortCount() : s_.devices.CountVirtualPorts();
}

std::uint64_t CMainDlg::MulticastNotSent() const noexcept {
  return multicastSender_ != nullptr ? multicastSender_->NotSent() : 0;
}

bool CMainDlg::RestoreAvailable() const {
  return s_.setVirtualPortCount && CurrentVirtualPortCount() < f_.virtualPortSnapshot;
}

void CMainDlg::RestorePortCount() {
  if (destroyed_) return;
  AsOneSwitch([this] { // the busy notice runs the window's events
    if (!ReadFromControls()) return;
    if (f_.virtualPortSnapshot == CurrentVirtualPortCount() || !s_.setVirtualPortCount) return;
    // In English: the notice is a window of its own, which the view translates as it builds it.
    view_.ShowBusyNotice("Restarting MIDI Drivers. Please Wait...");
    const int wanted = f_.virtualPortSnapshot;
    // No virtual port may be held open while the provider restarts.
    ServerOff();
    ClientOff();
    const int found = s_.setVirtualPortCount(wanted);
    if (s_.inputs != nullptr) s_.inputs->SetVirtualPortCount(found);
    f_.virtualPortSnapshot = found;
    WriteToControls();
    ServerOnOff();
    ClientOnOff();
    view_.HideBusyNotice();
    if (wanted != s_.devices.CountVirtualPorts()) {
      view_.Notice("The provider came back with " + std::to_string(found) + " of " + std::to_string(wanted) + " ports");
      view_.ShowErrorMessage(Tr(
          "Error: Setting KestrelPorts count failed.\nTry at first to release MIDI devices or restart the Computer"));
    }
  });
}

// ---- server and client on and off -----------------------------------------------------------

void CMainDlg::ServerOnOff() {
  if (f_.serverEnabled) {
    ServerOn();
  } else {
    ServerOff();
  }
}

void CMainDlg::ServerOn() {
  if (serverThread_ != nullptr) return;
  f_.virtualPortSnapshot = CurrentVirtualPortCount();
  for (int i = f_.virtualPortSnapshot; i < kRows; ++i) f_.serverPorts[static_cast<std::size_t>(i)] = false;
  ServerOff(); // a sender left from before goes first; this also forgets the MIDI In index
  f_.midiInIndex = f_.midiIn.Selected() > 0 ? f_.midiIn.Selected() : 0;
  auto sender = std::make_unique<net::CUdpSender>(static_cast<std::uint16_t>(f_.serverPort));
  sender->Open(); // raises "srv.Create" or "SO_BROADCAST": the guard ends the program
  const std::string interfaceName = s_.settings.ReadConfigText(config::kServerInterface);
  if (!interfaceName.empty()) {
    if (if_nametoindex(interfaceName.c_str()) == 0) {
      view_.Notice("Kestrel.dat: [Server] Interface=" + interfaceName +
                   " is no network interface here; the system's routing decides");
    } else {
      sender->SetInterface(interfaceName);
    }
  }
  // Where the datagrams go is fixed before the engine sees the sender.
  const net::SenderDestinations destinations =
      ReadSenderDestinations(s_.settings, [this](const std::string& text) { view_.Notice(text); });
  sender->SetDestinations(destinations);
  sender->SetDropCounters(s_.drops);
  targetWatch_.Reset();
  if (s_.settings.ReadConfigInt(config::kMulticast) != 0) { // read at every start of the server
    auto multicast = std::make_unique<net::CMulticastSender>();
    multicast->Open(); // raises "mc.Create" or "IP_MULTICAST_LOOP": the guard ends the program
    multicast->SetDropCounters(s_.drops);
    multicast->SetInterface(sender->InterfaceIndex() != 0 ? interfaceName : std::string());
    multicastSender_ = std::move(multicast);
    multicastNotSentSeen_ = 0;
    s_.serverLink.multicast.store(multicastSender_.get());
  }
  sender_ = std::move(sender);
  s_.serverLink.sender.store(sender_.get());
  serverThread_ = std::make_unique<net::CServerThread>(s_.queue, s_.serverLink, s_.flags, s_.clock);
  serverThread_->SetRepeatNoteOff(s_.settings.ReadConfigInt(config::kRepeatNoteOff) != 0);
  RefreshInputs();
  serverThread_->Start();
  view_.Notice("Server on: " + DestinationsText(destinations, f_.serverPort));
  if (multicastSender_ != nullptr) {
    view_.Notice(std::string("Server: also sending raw MIDI to ") + kMulticastGroup + ", UDP ports " +
                 std::to_string(MulticastPortOf(1)) + "-" + std::to_string(MulticastPortOf(kRows)));
  }
  WriteToControls();
}

void CMainDlg::ServerOff() {
  f_.midiInIndex = 0;
  if (serverThread_ == nullptr && sender_ == nullptr) return;
  if (serverThread_ != nullptr) serverThread_->Stop();
  if (s_.inputs != nullptr) s_.inputs->CloseAllInputs();
  s_.serverLink.sender.store(nullptr);
  s_.serverLink.multicast.store(nullptr);
  serverThread_.reset();
  sender_.reset();
  multicastSender_.reset();
  view_.Notice("Server off");
  WriteToControls();
}

void CMainDlg::ClientOnOff() {
  if (f_.clientEnabled) {
    ClientOn();
  } else {
    ClientOff();
  }
}

void CMainDlg::ClientOn() {
  if (clientThread_ != nullptr) return;
  outputs_ = s_.makeOutputs();
  droppedSeen_.fill(0);
  clientThread_ = std::make_unique<net::CClientThread>(*outputs_, s_.dump, s_.flags, *this, s_.clock);
  clientThread_->SetNotesOffOnLoss(notesOffOnLoss_);
  const in_addr_t group = ReadClientGroup(s_.settings, [this](const std::string& text) { view_.Notice(text); });
  clientThread_->SetGroup(group);
  if (group != 0) view_.Notice("Client: also hearing group " + net::DottedAddress(group));
  clientThread_->SetDropCounters(s_.drops);
  multicast_ = s_.settings.ReadConfigInt(config::kMulticast) != 0; // read at every start of the client
  clientThread_->SetMulticast(multicast_);
  multicastNotMidiSeen_ = 0;
  clientThread_->Start();
  WriteToControls();
  if (f_.clientPort != 0) ConnectClient();
  for (int row = 0; row < kRows; ++row) {
    const auto i = static_cast<std::size_t>(row);
    if (!f_.clientPorts[i]) continue;
    if (clientThread_->PostCommand(net::CClientThread::CmdOpenOutput, row, f_.outputs[i].SelectedText()) == 0) {
      view_.Notice("Cannot open the MIDI output \"" + f_.outputs[i].SelectedText() + "\" for port " +
                   std::to_string(row + 1));
      f_.clientPorts[i] = false;
      s_.settings.WriteConfigInt(config::ClientPortKey(row + 1), 0);
    }
  }
  WriteToControls();
}

void CMainDlg::ClientOff() {
  if (clientThread_ == nullptr) return;
  DisconnectClient();
  clientThread_->Stop();
  clientThread_.reset();
  outputs_.reset();
  listeningSaid_.clear();
  WriteToControls();
}

bool CMainDlg::ClientAddressMissing() {
  if (f_.localAddress == 0 || net::InterfaceOfAddress(f_.localAddress) != 0) {
    missingAddressNoticed_ = 0;
    return false;
  }
  // The engine refuses it and the retry rule tries again: said once, not on every retry.
  if (missingAddressNoticed_ != f_.localAddress) {
    missingAddressNoticed_ = f_.localAddress;
    view_.Notice("Client: " + DottedAddress(f_.localAddress) +
                 " is not an address of this machine; nothing is played until it is again");
  }
  return true;
}

void CMainDlg::ConnectClient() {
  if (clientThread_ == nullptr) return;
  if (multicast_) clientThread_->SetOwnAddresses(net::LocalAddresses());
  const bool missing = ClientAddressMissing();
  connector_.ConnectClient(clientThread_.get(), static_cast<std::uint16_t>(f_.clientPort), f_.localAddress);
  if (f_.clientPort == 0 || missing) {
    listeningSaid_.clear();
    return;
  }
  std::string listening = "Client: listening on " +
                          (f_.localAddress != 0 ? DottedAddress(f_.localAddress) : std::string("every address")) +
                          ", UDP port " + std::to_string(f_.clientPort);
  // The retry rule connects anew every 1.5 s while no server sends: said once per change.
  if (listening == listeningSaid_) return;
  view_.Notice(listening);
  listeningSaid_ = std::move(listening);
  if (multicast_) {
    view_.Notice(std::string("Client: also playing raw MIDI from ") + kMulticastGroup + ", UDP ports " +
                 std::to_string(MulticastPortOf(1)) + "-" + std::to_string(MulticastPortOf(kRows)));
  }
}

void CMainDlg::DisconnectClient() { connector_.DisconnectClient(clientThread_.get()); }

void CMainDlg::ReviveDevices() {
  if (serverThread_ != nullptr && s_.inputs != nullptr) {
    const unsigned lost = s_.inputs->CloseUnsubscribed();
    for (int i = 0; i < midi::InputHub::kSlots; ++i) {
      if ((lost & (1U << static_cast<unsigned>(i))) != 0) view_.Notice(InputGoneNotice(i));
    }
    const unsigned opened = s_.inputs->ReopenReturned(
        f_.serverPorts, f_.midiInIndex > 0 ? f_.midiIn.SelectedText() : std::string(), f_.virtualPortSnapshot);
    for (int i = 0; i < midi::InputHub::kSlots; ++i) {
      if ((opened & (1U << static_cast<unsigned>(i))) == 0) continue;
      view_.Notice(i == midi::InputHub::kMidiInSlot ? "The MIDI In device \"" + f_.midiIn.SelectedText() + "\" is back"
                                                    : "Kestrel Port" + std::to_string(i + 1) + " is back");
    }
    if (opened != 0) WriteToControls();
  }
  if (clientThread_ != nullptr) {
    const auto changes = static_cast<unsigned>(clientThread_->PostCommand(net::CClientThread::CmdReviveOutputs));
    for (int row = 0; row < kRows && changes != 0; ++row) {
      const auto bit = static_cast<unsigned>(row);
      const bool gone = (changes & (1U << (16 + bit))) != 0;
      const bool back = (changes & (1U << bit)) != 0;
      if (!gone && !back) continue;
      const std::string what = "The MIDI output \"" + f_.outputs[static_cast<std::size_t>(row)].SelectedText() +
                               "\" for port " + std::to_string(row + 1);
      if (gone) view_.Notice(what + " went away");
      if (back) view_.Notice(what + " is back");
    }
  }
}

void CMainDlg::ReportLosses(Tick now) {
  lastLossReport_ = now;
  if (sender_ != nullptr) targetWatch_.Check(*sender_, now, [this](const std::string& text) { view_.Notice(text); });
  // The address the client listens on went away while it listened: it stops listening there.
  if (clientThread_ != nullptr && state_.load() != ConnectionState::Disconnected &&
      state_.load() != ConnectionState::PortInUse && ClientAddressMissing()) {
    ConnectClient();
  }
  if (s_.inputs != nullptr) {
    const std::uint32_t overruns = s_.inputs->Overruns();
    if (overruns != overrunsSeen_) {
      view_.Notice("Capture fell behind; the sequencer dropped the events waiting for it (" +
                   std::to_string(overruns - overrunsSeen_) + (overruns - overrunsSeen_ == 1 ? " time)" : " times)"));
      overrunsSeen_ = overruns;
    }
  }
  // An engine thread that ran too long without blocking was put back under the normal policy
  // rather than killed with the program: said once, and counted.
  for (const std::string& thread : TakeThreadsThatLeftRealtime()) {
    CountDrop(s_.drops, Drop::RealtimeLeft);
    view_.Notice("The thread " + thread + " ran too long without a pause; it left real time and runs on normally");
  }
  const auto sayCount = [](std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + (n == 1 ? one : many);
  };
  if (const std::uint64_t notSent = MulticastNotSent(); notSent != multicastNotSentSeen_) {
    view_.Notice("Server: " +
                 sayCount(notSent - multicastNotSentSeen_, " system-exclusive message", " system-exclusive messages") +
                 " too long for one multicast datagram not sent there");
    multicastNotSentSeen_ = notSent;
  }
  if (const std::uint64_t notMidi = MulticastNotMidi(); notMidi != multicastNotMidiSeen_) {
    view_.Notice("Client: " + sayCount(notMidi - multicastNotMidiSeen_, " multicast datagram", " multicast datagrams") +
                 " not MIDI; dropped");
    multicastNotMidiSeen_ = notMidi;
  }
  if (outputs_ == nullptr) return;
  for (int row = 0; row < kRows; ++row) {
    const auto i = static_cast<std::size_t>(row);
    const std::uint32_t dropped = outputs_->DroppedMessages(row);
    if (dropped == droppedSeen_[i]) continue;
    view_.Notice("The MIDI output \"" + f_.outputs[i].SelectedText() + "\" for port " + std::to_string(row + 1) +
                 " did not take " + std::to_string(dropped - droppedSeen_[i]) +
                 (dropped - droppedSeen_[i] == 1 ? " message" : " messages") + "; dropped");
    droppedSeen_[i] = dropped;
  }
}

// ---- reports from other threads -------------------------------------------------------------

void CMainDlg::LampTrigger(int port) noexcept {
  if (port >= 1 && port <= kRows) lamps_[static_cast<std::size_t>(port - 1)].LampTrigger();
}

void CMainDlg::InputOpenFailed(int inputIndex) {
  // Handled like a posted report: the capture layer is still inside RefreshInputs.
  view_.Post([this, alive = alive_, inputIndex] {
    if (alive->load()) OnStatusReport(kReportInputFailed, inputIndex);
  });
}

void CMainDlg::VirtualPortsVanished(int found) {
  view_.Notice("Only " + std::to_string(found) + " of the 8 Kestrel ports are present");
}

void CMainDlg::InputVanished(int inputIndex) noexcept {
  try {
    view_.Post([this, alive = alive_, inputIndex] {
      if (alive->load()) view_.Notice(InputGoneNotice(inputIndex));
    });
  } catch (...) { // a notice lost for want of memory
  }
}

void CMainDlg::ReportConnectionState(ConnectionState state) {
  reportedState_ = static_cast<int>(state);
  WakeForEngineReports();
}

void CMainDlg::ReportServerAddress(in_addr_t address) {
  reportedServer_ = kAddressReported | address;
  WakeForEngineReports();
}

void CMainDlg::ReportSecondServer(in_addr_t address) {
  view_.Post([this, alive = alive_, address] {
    if (!alive->load()) return;
    // Once per server and connection: the engine already says it at most once a second.
    if (std::find(secondServersNoticed_.begin(), secondServersNoticed_.end(), address) != secondServersNoticed_.end()) {
      return;
    }
    secondServersNoticed_.push_back(address);
    view_.Notice("Client: a second server, " + DottedAddress(address) + ", sends to UDP port " +
                 std::to_string(f_.clientPort) + " too; both are played");
  });
}

void CMainDlg::WakeForEngineReports() {
  if (reportWakePending_.exchange(true)) return;
  // A wake-up the view drops (its queue full) is made up for by the next status tick.
  view_.Post([this, alive = alive_] {
    if (alive->load()) ApplyEngineReports();
  });
}

void CMainDlg::ApplyEngineReports() {
  // Cleared first: a report that comes meanwhile queues a wake-up of its own.
  reportWakePending_ = false;
  if (const int state = reportedState_.exchange(kNoState); state != kNoState) {
    OnStatusReport(kReportConnection, state);
  }
  if (const std::uint64_t server = reportedServer_.exchange(0); server != 0) {
    OnStatusReport(kReportProbe, static_cast<in_addr_t>(server & 0xFFFFFFFFU));
  }
}

void CMainDlg::ReportFatalError(const std::string& text) {
  view_.Post([this, alive = alive_, text] {
    if (alive->load()) view_.ShowError(text);
  });
}

void CMainDlg::RequestProbe(in_addr_t address) {
  if (s_.probe) {
    s_.probe(address, [this, alive = alive_](int ms) {
      view_.Post([this, alive, ms] {
        if (alive->load()) OnStatusReport(kReportProbeResult, ms);
      });
    });
  } else if (prober_ != nullptr) {
    prober_->Request(address);
  }
}

void CMainDlg::OnStatusReport(int code, std::int64_t value) {
  switch (code) {
  case kReportConnection: {
    const auto state = static_cast<ConnectionState>(value);
    const ConnectionState before = state_.exchange(state);
    if (state == before) return;
    if (state == ConnectionState::Connected) {
      s_.settings.WriteConfigText(config::kHostIp, DottedAddress(f_.localAddress));
      s_.settings.WriteConfigInt(config::kClientUdpPort, static_cast<std::int32_t>(f_.clientPort));
      view_.Notice("Client: connected");
    } else if (state == ConnectionState::Disconnected) {
      latencyText_.clear();
      heardServerText_.clear();
      secondServersNoticed_.clear();
      // Only a connection that was there ends: a retry while no server sends is no news.
      if (before == ConnectionState::Connected) view_.Notice("Client: disconnected");
    } else if (state == ConnectionState::PortInUse) {
      view_.Notice(FormatNumber(Tr("Error: Port %d already in use"), f_.clientPort));
    }
    return;
  }
  case kReportInputFailed:
    Beep(100, 30, "an input cannot be opened");
    if (value == midi::InputHub::kMidiInSlot) {
      view_.Notice("Cannot capture the MIDI In device \"" + f_.midiIn.SelectedText() + "\"; it is switched off");
      f_.midiIn.Select(0);
      MidiInChange();
      WriteToControls();
    } else if (value >= 0 && value < kRows) {
      view_.Notice("Cannot capture Kestrel Port" + std::to_string(value + 1) + "; it is switched off");
      f_.serverPorts[static_cast<std::size_t>(value)] = false;
      WriteToControls();
      OnServerPortClicked(static_cast<int>(value));
    }
    return;
  case kReportShow: view_.ShowMainWindow(value != 0); return;
  case kReportProbe:
    heardServerText_ = DottedAddress(static_cast<in_addr_t>(value));
    RequestProbe(static_cast<in_addr_t>(value));
    return;
  case kReportProbeResult:
    if (value < 0 || state_.load() != ConnectionState::Connected) {
      latencyText_.clear();
    } else {
      latencyText_ = FormatNumber(Tr("delay: %d ms"), value);
    }
    return;
  default: return;
  }
}

// ---- timers ---------------------------------------------------------------------------------

void CMainDlg::OnApplyTimer() {
  AsOneSwitch([this] {
    view_.StopApplyTimer();
    if (ReadFromControls()) {
      if (clientThread_ != nullptr &&
          net::SettingsRuleDue(clientThread_->Port(), clientThread_->Address(),
                               static_cast<std::uint16_t>(f_.clientPort), f_.localAddress)) {
        ConnectClient();
      }
      if (sender_ != nullptr && sender_->DestinationPort() != f_.serverPort) {
        sender_->SetDestinationPort(static_cast<std::uint16_t>(f_.serverPort));
        s_.settings.WriteConfigInt(config::kServerUdpPort, static_cast<std::int32_t>(f_.serverPort));
        view_.Notice("Server: broadcasting to UDP port " + std::to_string(f_.serverPort));
        if (f_.clientEnabled) {
          RefreshDeviceLists(false);
          WriteToControls();
        }
      }
    }
    OnStatusTimer();
  });
}

void CMainDlg::OnStatusTimer() {
  const Tick now = s_.clock.Now();
  RingHandedOverBeep(); // the engines never print nor ring themselves
  ApplyEngineReports();
  if (firstTick_) {
    firstTick_ = false;
    lastKeepAliveTime_ = now;
  }
  for (int i = 0; i < kRows; ++i) {
    if (lamps_[static_cast<std::size_t>(i)].LampTick()) view_.RepaintLamp(i);
  }
  if (f_.serverEnabled && serverThread_ != nullptr) {
    const int ports = s_.inputs != nullptr ? s_.inputs->VirtualPortCount() : f_.virtualPortSnapshot;
    net::KeepAliveTick(now, s_.serverLink, lastKeepAliveTime_, s_.queue, ports);
  }
  if (clientThread_ != nullptr && net::SilenceRuleDue(now, clientThread_->LastReceiveTime(), state_.load())) {
    // Whatever was sounding when the server fell silent is silenced.
    if (state_.load() == ConnectionState::Connected && notesOffOnLoss_) {
      clientThread_->PostCommand(net::CClientThread::CmdNotesOff);
    }
    view_.Post([this, alive = alive_] {
      if (alive->load()) OnStatusReport(kReportConnection, static_cast<int>(ConnectionState::Disconnected));
    });
  }
  if (s_.inputs != nullptr && s_.inputs->TakeDevicesChanged()) ReviveDevices();
  if (TickElapsed(now, lastLossReport_) >= 1000) {
    ReportLosses(now);
    FollowAddressChanges();
  }
  if (tickCounter_++ > kFoldTicks) {
    tickCounter_ = 0;
    const LagFigures lag = s_.dump.TakeLag();
    overallMin_ = std::min(overallMin_, lag.minLag);
    overallMax_ = std::max(overallMax_, lag.maxLag);
    if (net::RetryRuleDue(f_.clientEnabled && clientThread_ != nullptr, state_.load())) ConnectClient();
  }
}

StatusDisplay CMainDlg::UpdateTrayAndStatus() const {
  StatusDisplay d;
  if (debug_ != 0) d.maxLatencyPane = " " + FormatNumber(maxLatencyFormat_, overallMax_);
  d.latencyPane = " " + FormatNumber(latencyFormat_, s_.dump.MaxLag());
  const ConnectionState state = state_.load();
  d.connectionState = static_cast<int>(state);
  if (state == ConnectionState::PortInUse) {
    d.errorVisible = true;
    d.errorText = FormatNumber(portInUseFormat_, f_.clientPort);
  } else {
    d.connectionVisible = f_.clientEnabled;
  }
  const bool connected = state == ConnectionState::Connected;
  if (!f_.clientEnabled) {
    d.tray = f_.serverEnabled ? TrayPicture::ServerAlone : TrayPicture::Program;
    d.tip = f_.serverEnabled ? "Kestrel - Server" : "Kestrel";
  } else if (!f_.serverEnabled) {
    d.tray = connected ? TrayPicture::ClientAloneConnected : TrayPicture::ClientAlone;
    d.tip = connected ? "Kestrel - Connected" : "Kestrel - Disconnected";
  } else {
    d.tray = connected ? TrayPicture::BothConnected : TrayPicture::Both;
    d.tip = connected ? "Kestrel - Connected" : "Kestrel - Disconnected";
  }
  return d;
}

} // namespace kestrel::controller
