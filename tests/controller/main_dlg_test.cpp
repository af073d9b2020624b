// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's behaviour, driven as the window drives it but without a single widget: real
// settings file, real engines (in a network namespace of their own), a fake device list and fake
// MIDI outputs, a manual clock.

#include "config/settings.hpp"
#include "config/translation.hpp"
#include "controller/main_dlg.hpp"
#include "core/dump_store.hpp"
#include "core/midi_outputs.hpp"
#include "core/send_queue.hpp"
#include "core/window_flags.hpp"
#include "net/server_engine.hpp"
#include "net/udp_socket.hpp"
#include "support/child_process.hpp"
#include "support/controller_services.hpp"
#include "support/fake_midi.hpp"
#include "support/fake_view.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <net/if.h>
#include <set>
#include <sys/socket.h>
#include <thread>

namespace kestrel::controller {
namespace {

using net::ConnectionState;
using test::FakeDevices;
using test::FakeOutputs;
using test::FakeView;
using test::OutputLog;
using test::ReadText;
using test::TempDir;

class MainDlgTest : public ::testing::Test {
protected:
  TempDir dir;
  Settings settings{dir.Path() / "Kestrel.dat"};
  Translator translator;
  WindowFlags flags;
  ManualClock clock{100000};
  DumpStore dump{clock, flags};
  SendQueue queue{dump, flags};
  net::ServerLink link;
  FakeDevices devices;
  OutputLog outputs;

  void SetUp() override {
    // The made-up addresses of the IP list live on this namespace's loopback, so the client may
    // listen there (it refuses an address the machine does not have).
    ASSERT_EQ(std::system("ip link set lo up"), 0);
    SetAddress("10.0.0.5", true);
    SetAddress("10.0.1.5", true);
    devices.in = {"Midi Through Port-0", "UM-ONE MIDI 1"};
    devices.out = {"Kestrel Port1", "Kestrel Port2", "Kestrel Port3", "Synth A"};
    outputs.known = {"Kestrel Port1", "Kestrel Port2", "Kestrel Port3", "Synth A", "--Not Connected--"};
  }
  FakeView view;
  std::vector<std::string> addresses{"10.0.0.5", "10.0.1.5"};
  std::vector<std::string> interfaces{"eth0 - 10.0.0.5", "wlan0 - 10.0.1.5"};
  std::vector<in_addr_t> probes;
  std::vector<int> restarts;
  int portsAfterRestart = 8;
  std::function<void(int)> probeDone;
  std::vector<std::string> startupProblems;
  bool noSequencer = false;

  ControllerServices Services() {
    ControllerServices services = test::MadeUpServices({.settings = settings,
                                                        .translator = translator,
                                                        .flags = flags,
                                                        .dump = dump,
                                                        .queue = queue,
                                                        .link = link,
                                                        .devices = devices,
                                                        .outputs = outputs,
                                                        .dir = dir.Path(),
                                                        .clock = clock});
    services.localAddresses = [this] { return addresses; };
    services.localInterfaces = [this] { return interfaces; };
    services.programPath = "/opt/kestrel/bin/kestrel";
    services.setVirtualPortCount = [this](int count) {
      restarts.push_back(count);
      devices.virtualPorts = portsAfterRestart;
      return portsAfterRestart;
    };
    services.probe = [this](in_addr_t a, std::function<void(int)> done) {
      probes.push_back(a);
      probeDone = std::move(done);
    };
    services.startupProblems = startupProblems;
    services.noSequencer = noSequencer;
    return services;
  }

  std::unique_ptr<CMainDlg> Open() {
    auto window = std::make_unique<CMainDlg>(Services(), view);
    window->OnInitDialog();
    view.RunPosted();
    return window;
  }

  // The user changes controls: start from what the window shows.
  ControlValues& Controls(const CMainDlg& window) {
    view.controls = window.CurrentValues();
    return *view.controls;
  }

  static void SetAddress(const std::string& address, bool present) {
    const std::string command =
        "ip addr " + std::string(present ? "replace " : "del ") + address + "/32 dev lo 2>/dev/null";
    [[maybe_unused]] const int status = std::system(command.c_str());
  }

  // A note for port 5 ("Synth A"), sent over loopback to the client's port 8800.
  static void SendNote(const net::CUdpSocket& server) {
    const ShortRecord note = MakeShortRecord(RecordType::MIM_DATA, 5, 0, 0, PackShortMessage(0x90, 60, 100));
    sockaddr_in client{};
    client.sin_family = AF_INET;
    client.sin_port = htons(8800);
    client.sin_addr.s_addr = inet_addr("127.0.0.1");
    sendto(server.Fd(), note.data(), note.size(), 0, reinterpret_cast<const sockaddr*>(&client), sizeof client);
  }

  void Write(const char* section, const char* key, const char* value) { settings.WriteConfigText(section, key, value); }
  int Int(const config::IntKey& key) { return settings.ReadConfigInt(key.section, key.name, -999); }
};

TEST_F(MainDlgTest, WithoutAFileTheDefaultsHold) {
  auto w = Open();
  const MainFields& f = w->Fields();
  EXPECT_FALSE(f.serverEnabled);
  EXPECT_TRUE(f.clientEnabled);
  EXPECT_TRUE(w->ClientRunning());
  EXPECT_FALSE(w->ServerRunning());
  EXPECT_EQ(f.clientPort, 8800U);
  EXPECT_EQ(f.serverPort, 8800U);
  EXPECT_TRUE(f.filter && f.filterTimingClock && f.filterActiveSensing);
  EXPECT_FALSE(f.dumpServer || f.dumpClient);
  for (bool on : f.serverPorts) EXPECT_TRUE(on);
  // First run: a row whose default device is one of this machine's own ports starts unticked.
  EXPECT_TRUE(f.clientPorts[0]); // row 1: "--Not Connected--"
  EXPECT_FALSE(f.clientPorts[1]);
  EXPECT_FALSE(f.clientPorts[3]);
  EXPECT_TRUE(f.clientPorts[4]); // row 5: "Synth A" (entry 4)
  EXPECT_TRUE(f.clientPorts[7]); // beyond the list: empty name
  EXPECT_EQ(f.outputs[4].SelectedText(), "Synth A");
  EXPECT_EQ(f.outputs[0].Entries().front(), "--Not Connected--");
  // The IP list takes the first address; the MIDI In choice skips "Midi Through".
  EXPECT_EQ(f.ipList.SelectedText(), "10.0.0.5");
  EXPECT_EQ(f.localAddress, ParseAddress("10.0.0.5"));
  EXPECT_EQ(f.midiIn.SelectedText(), "UM-ONE MIDI 1");
  EXPECT_EQ(f.midiInTarget.SelectedText(), "Kestrel Port1");
  EXPECT_EQ(w->State(), ConnectionState::Connecting);
  std::lock_guard g(outputs.lock);
  EXPECT_EQ(outputs.open[4], "Synth A");
}

TEST_F(MainDlgTest, NonsenseInTheFileStartsSanelyAndSaysWhatWasIgnored) {
  Write("Server", "UDPPort", "99999");
  Write("Client", "UDPPort", "-5");
  Write("Client", "Enable", "yes");
  Write("Client", "HostIP", "not.an.address");
  Write("Server", "MidiIN_Port2", "Kestrel Port9");
  Write("Pref", "Filter", "");
  auto w = Open();
  EXPECT_EQ(w->Fields().serverPort, 8800U);
  EXPECT_EQ(w->Fields().clientPort, 8800U);
  EXPECT_TRUE(w->Fields().clientEnabled);
  EXPECT_EQ(w->Fields().localAddress, ParseAddress("10.0.0.5"));
  EXPECT_EQ(w->Fields().targetIndex, 0) << "a target naming no port sends as port 1, not port 0";
  EXPECT_TRUE(view.Noticed("UDPPort=99999"));
  EXPECT_TRUE(view.Noticed("UDPPort=-5"));
  EXPECT_TRUE(view.Noticed("Enable=yes"));
  EXPECT_TRUE(view.Noticed("HostIP=not.an.address"));
  EXPECT_TRUE(view.Noticed("MidiIN_Port2=Kestrel Port9"));
}

TEST_F(MainDlgTest, FirstRunRuleLooksAtTheStoredNameInAnyCase) {
  Write("Client", "To3", "kestrel port3");
  Write("Client", "To5", "Kestrel Port2");
  Write("Client", "Port5", "1");
  auto w = Open();
  EXPECT_FALSE(w->Fields().clientPorts[2]);
  EXPECT_EQ(w->Fields().outputs[2].SelectedText(), "Kestrel Port3");
  EXPECT_TRUE(w->Fields().clientPorts[4]) << "a stored Port5 is obeyed";
}

TEST_F(MainDlgTest, ServerAndClientOnOneMachineNeverLoopAPortBackIntoItself) {
  Write("Client", "Port3", "1");
  Write("Client", "To3", "Kestrel Port3");
  auto w = Open();
  ASSERT_TRUE(w->Fields().clientPorts[2]);
  Controls(*w).serverEnabled = true;
  w->OnServerClicked();
  EXPECT_TRUE(w->ServerRunning());
  EXPECT_EQ(Int(config::kServerEnable), 1);
  const ChoiceList& row3 = w->Fields().outputs[2];
  EXPECT_EQ(row3.FindExact("Kestrel Port3"), ChoiceList::kNone);
  EXPECT_NE(row3.FindExact("Kestrel Port2"), ChoiceList::kNone);
  EXPECT_EQ(row3.Selected(), 0);
  EXPECT_FALSE(w->Fields().clientPorts[2]);
  EXPECT_EQ(Int(config::ClientPortKey(3)), 0);

  // Different ports: the entry comes back, and stays.
  Controls(*w).clientPort = "8801";
  w->OnPortEdited();
  w->OnApplyTimer();
  Controls(*w).clientEnabled = false;
  w->OnClientClicked();
  EXPECT_NE(w->Fields().outputs[2].FindExact("Kestrel Port3"), ChoiceList::kNone);
}

TEST_F(MainDlgTest, ClientRowsOpenTheirDeviceOrFallBackUnticked) {
  devices.out.push_back("Gone Synth");
  auto w = Open();
  const int gone = w->Fields().outputs[5].FindExact("Gone Synth");
  ASSERT_NE(gone, ChoiceList::kNone);

  // A device that cannot be opened: unticked, stored 0, the choice stored as made.
  Controls(*w).clientPorts[5] = true;
  w->OnOutputChanged(5, gone);
  EXPECT_FALSE(w->Fields().clientPorts[5]);
  EXPECT_EQ(Int(config::ClientPortKey(6)), 0);
  EXPECT_EQ(settings.ReadConfigText(config::ClientDeviceKey(6), ""), "Gone Synth");
  Controls(*w).clientPorts[5] = true;
  w->OnClientPortClicked(5);
  EXPECT_FALSE(w->Fields().clientPorts[5]);
  EXPECT_EQ(Int(config::ClientPortKey(6)), 0);

  // One that opens: ticked, stored 1; unticking closes it.
  w->OnOutputChanged(5, w->Fields().outputs[5].FindExact("Synth A"));
  Controls(*w).clientPorts[5] = true;
  w->OnClientPortClicked(5);
  EXPECT_TRUE(w->Fields().clientPorts[5]);
  EXPECT_EQ(Int(config::ClientPortKey(6)), 1);
  {
    std::lock_guard g(outputs.lock);
    EXPECT_EQ(outputs.open[5], "Synth A");
  }
  Controls(*w).clientPorts[5] = false;
  w->OnClientPortClicked(5);
  EXPECT_EQ(Int(config::ClientPortKey(6)), 0);
  std::lock_guard g(outputs.lock);
  EXPECT_EQ(outputs.open.count(5), 0U);
}

TEST_F(MainDlgTest, PortEditsAreCheckedAndAppliedASecondAfterTheLastChange) {
  auto w = Open();
  // An emptied edit: the message, and the fields after it in binding order keep their values.
  ControlValues& c = Controls(*w);
  c.clientPort = "";
  c.autostart = true;
  w->OnPortEdited();
  EXPECT_EQ(view.messages, std::vector<std::string>{"Please enter a positive integer."});
  EXPECT_EQ(w->Fields().clientPort, 8800U);
  EXPECT_FALSE(w->Fields().autostart);
  EXPECT_FALSE(view.applyTimerRunning);

  // Server off: the edited server port is used at the next start but not stored.
  Controls(*w).serverPort = "9100";
  w->OnPortEdited();
  EXPECT_TRUE(view.applyTimerRunning);
  w->OnApplyTimer();
  EXPECT_FALSE(view.applyTimerRunning);
  EXPECT_EQ(Int(config::kServerUdpPort), -999);
  Controls(*w).serverEnabled = true;
  w->OnServerClicked();
  ASSERT_NE(link.sender.load(), nullptr);
  EXPECT_EQ(link.sender.load()->DestinationPort(), 9100);

  // Server on: the sender is retargeted and the port stored.
  Controls(*w).serverPort = "9200";
  w->OnPortEdited();
  EXPECT_EQ(link.sender.load()->DestinationPort(), 9100) << "not on each keystroke";
  w->OnApplyTimer();
  EXPECT_EQ(link.sender.load()->DestinationPort(), 9200);
  EXPECT_EQ(Int(config::kServerUdpPort), 9200);

  Controls(*w).serverPort = "70000";
  w->OnPortEdited();
  EXPECT_EQ(view.messages.back(), "Please enter a UDP port from 1 to 65535.");
}

TEST_F(MainDlgTest, ConnectionReportsMoveTheStateAndStoreWhereItConnected) {
  auto w = Open();
  w->OnStatusReport(kReportConnection, static_cast<int>(ConnectionState::Connected));
  EXPECT_EQ(settings.ReadConfigText(config::kHostIp), "10.0.0.5");
  EXPECT_EQ(Int(config::kClientUdpPort), 8800);
  EXPECT_EQ(w->UpdateTrayAndStatus().tip, "Kestrel - Connected");

  // A keep-alive's sender is probed off the window's thread; the answer shows as the delay.
  w->OnStatusReport(kReportProbe, ParseAddress("10.0.0.1"));
  ASSERT_EQ(probes.size(), 1U);
  EXPECT_EQ(probes[0], ParseAddress("10.0.0.1"));
  probeDone(12);
  view.RunPosted();
  EXPECT_EQ(w->LatencyText(), "delay: 12 ms");
  probeDone(-1);
  view.RunPosted();
  EXPECT_EQ(w->LatencyText(), "");
  probeDone(7);
  view.RunPosted();
  w->OnStatusReport(kReportConnection, static_cast<int>(ConnectionState::Disconnected));
  EXPECT_EQ(w->LatencyText(), "");

  // Port in use: the error replaces the display, and only a port edit clears it.
  w->OnStatusReport(kReportConnection, static_cast<int>(ConnectionState::PortInUse));
  StatusDisplay d = w->UpdateTrayAndStatus();
  EXPECT_TRUE(d.errorVisible);
  EXPECT_FALSE(d.connectionVisible);
  EXPECT_EQ(d.errorText, "Error: Port 8800 already in use");
  clock.Advance(60000);
  for (int i = 0; i < 60; ++i) w->OnStatusTimer();
  view.RunPosted();
  EXPECT_EQ(w->State(), ConnectionState::PortInUse) << "neither the silence nor the retry rule touch it";
  Controls(*w).clientPort = "8802";
  w->OnPortEdited();
  EXPECT_EQ(w->State(), ConnectionState::Disconnected);
}

TEST_F(MainDlgTest, SilenceDisconnectsSilencesTheOutputsAndTheRetryRuleReconnects) {
  auto w = Open();
  // A note from a server on this machine: there is something to silence.
  net::CUdpSocket server;
  ASSERT_TRUE(server.Create(0, nullptr));
  ASSERT_TRUE(test::WaitUntil([&] {
    SendNote(server);
    return outputs.PlayedCount() > 0;
  }));
  view.RunPosted();
  EXPECT_EQ(w->State(), ConnectionState::Connected);
  const int notesOffBefore = [&] {
    std::lock_guard g(outputs.lock);
    return outputs.notesOff;
  }();
  clock.Advance(5001);
  w->OnStatusTimer();
  view.RunPosted();
  EXPECT_EQ(w->State(), ConnectionState::Disconnected);
  {
    std::lock_guard g(outputs.lock);
    EXPECT_GT(outputs.notesOff, notesOffBefore) << "nothing left sounding";
  }
  const auto connects = [&] {
    return std::count_if(view.notices.begin(), view.notices.end(),
                         [](const std::string& n) { return n.rfind("Client: listening", 0) == 0; });
  };
  const auto before = connects();
  // The retry rule's reconnection shows as Connecting until the silence rule's report is applied.
  const auto reconnections = [&](int ticks) {
    int n = 0;
    for (int i = 0; i < ticks; ++i) {
      w->OnStatusTimer();
      if (w->State() == ConnectionState::Connecting) ++n;
      view.RunPosted();
    }
    return n;
  };
  EXPECT_EQ(reconnections(52), 1) << "reconnected once within 52 ticks";
  EXPECT_EQ(reconnections(3 * 52), 3);
  EXPECT_EQ(connects(), before) << "listening where it listened before is not news";
  EXPECT_EQ(std::count(view.notices.begin(), view.notices.end(), "Client: disconnected"), 1)
      << "nor is the end of a retry that heard no server";
  Controls(*w).clientPort = "8801";
  w->OnApplyTimer();
  EXPECT_EQ(connects(), before + 1) << "another port is";
  Controls(*w).clientEnabled = false;
  w->OnClientClicked();
  Controls(*w).clientEnabled = true;
  w->OnClientClicked();
  EXPECT_EQ(connects(), before + 2) << "and so is a client switched on again";
}

// The client's stored address is gone from the machine (DHCP moved it, another network): it must
// not fall back to hearing every network. It waits, says why once, and listens again when the
// address returns; an address that goes while it listens stops the listening within a second.
TEST_F(MainDlgTest, AClientAddressTheMachineDoesNotHavePlaysNothingUntilItReturns) {
  SetAddress("10.0.0.5", false);
  auto w = Open();
  net::CUdpSocket server;
  ASSERT_TRUE(server.Create(0, nullptr));
  const auto said = [&] {
    return std::count_if(view.notices.begin(), view.notices.end(), [](const std::string& n) {
      return n == "Client: 10.0.0.5 is not an address of this machine; nothing is played until it is again";
    });
  };
  for (int retry = 0; retry < 3; ++retry) {
    for (int i = 0; i < 20; ++i) SendNote(server);
    for (int i = 0; i < 52; ++i) {
      w->OnStatusTimer();
      view.RunPosted();
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300)); // time enough for an open socket to play them
  view.RunPosted();                                            // the engine's answer to the last retry
  EXPECT_EQ(outputs.PlayedCount(), 0) << "a note from a network the client was not set to hear";
  EXPECT_EQ(w->State(), ConnectionState::Disconnected);
  EXPECT_EQ(said(), 1) << "said once, not on every retry";
  EXPECT_FALSE(view.Noticed("Client: listening on 10.0.0.5"));

  SetAddress("10.0.0.5", true);
  ASSERT_TRUE(test::WaitUntil([&] {
    w->OnStatusTimer();
    view.RunPosted();
    SendNote(server);
    return outputs.PlayedCount() > 0;
  })) << "the retry rule listens again once the address is back";
  view.RunPosted();
  EXPECT_EQ(w->State(), ConnectionState::Connected);

  SetAddress("10.0.0.5", false);
  clock.Advance(1000);
  w->OnStatusTimer();
  EXPECT_TRUE(test::WaitUntil([&] {
    view.RunPosted();
    return w->State() == ConnectionState::Disconnected;
  })) << "the engine refuses the address it was listening on";
  EXPECT_EQ(said(), 2);
  const int played = outputs.PlayedCount();
  for (int i = 0; i < 20; ++i) SendNote(server);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(outputs.PlayedCount(), played);
  SetAddress("10.0.0.5", true);
}

// Switching the client off waits for its engine while the window handles its events: a request
// that comes meanwhile ("kestrel --client on" right after "--client off") is acted on after it,
// not inside it, and the client ends up as last asked.
TEST_F(MainDlgTest, ASwitchRequestThatComesDuringASwitchIsActedOnAfterIt) {
  auto w = Open();
  ASSERT_TRUE(w->ClientRunning());
  view.Post([&] { w->OnSwitchRequest(false, true); });
  w->OnSwitchRequest(false, false);
  view.RunPosted();
  EXPECT_TRUE(w->Fields().clientEnabled);
  EXPECT_TRUE(w->ClientRunning());
  EXPECT_EQ(Int(config::kClientEnable), 1);

  view.Post([&] {
    w->OnSwitchRequest(false, true);
    w->OnSwitchRequest(true, true);
  });
  w->OnSwitchRequest(false, false);
  view.RunPosted();
  EXPECT_TRUE(w->ClientRunning());
  EXPECT_TRUE(w->ServerRunning());
}

// An end (SIGTERM, SIGINT, "Exit", quillon's cancel) or another switch that is queued while the
// client is being switched runs after that switch, never inside it: whatever the switch and
// whatever came, the program ends in order (what the client played silenced, both sides off,
// the view told to quit). The engine's report of the ended connection waits in the same queue,
// so a switch that handled the queue while it waited would run the end every time; a busy notice
// or a box does handle it.
TEST_F(MainDlgTest, AnEndQueuedDuringASwitchRunsAfterItAndEndsInOrder) {
  struct Case {
    const char* name;
    std::function<void(CMainDlg&)> queued;
    std::function<void(CMainDlg&)> switchNow;
  };
  const auto clientBoxOff = [this](CMainDlg& w) {
    Controls(w).clientEnabled = false;
    w.OnClientClicked();
  };
  const std::vector<Case> cases{
      {"SIGTERM during --client off", [](CMainDlg& w) { w.OnCancel(); },
       [](CMainDlg& w) { w.OnSwitchRequest(false, false); }},
      {"Exit during the client's box", [](CMainDlg& w) { w.OnTrayMenu(kTrayExit, true); }, clientBoxOff},
      {"--client off and SIGTERM during the client's box",
       [](CMainDlg& w) {
         w.OnSwitchRequest(false, false);
         w.OnCancel();
       },
       clientBoxOff},
      {"SIGTERM during a new client port", [](CMainDlg& w) { w.OnCancel(); },
       [this](CMainDlg& w) {
         Controls(w).clientPort = "8801";
         w.OnApplyTimer();
       }},
      {"--client on and --server off after the end",
       [](CMainDlg& w) {
         w.OnCancel();
         w.OnSwitchRequest(false, true);
         w.OnSwitchRequest(true, false);
       },
       [](CMainDlg& w) { w.OnSwitchRequest(false, false); }},
      {"SIGTERM during the busy notice of a provider restart", [](CMainDlg& w) { w.OnCancel(); },
       [this](CMainDlg& w) {
         devices.virtualPorts = 4;
         view.boxesRunPosted = true;
         w.RestorePortCount();
       }},
  };
  net::CUdpSocket server;
  ASSERT_TRUE(server.Create(0, nullptr));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Write("Server", "Enable", "1");
    Write("Client", "Enable", "1");
    view.quit = false;
    view.controls.reset();
    auto w = Open();
    const int played = outputs.PlayedCount();
    ASSERT_TRUE(test::WaitUntil([&] {
      SendNote(server);
      return outputs.PlayedCount() > played;
    }));
    view.RunPosted();
    ASSERT_EQ(w->State(), ConnectionState::Connected);
    const int notesOff = outputs.NotesOffCount();
    view.Post([&] { c.queued(*w); });
    c.switchNow(*w);
    view.RunPosted();
    EXPECT_TRUE(view.quit);
    EXPECT_FALSE(w->ClientRunning());
    EXPECT_FALSE(w->ServerRunning());
    EXPECT_EQ(link.sender.load(), nullptr);
    EXPECT_GT(outputs.NotesOffCount(), notesOff) << "what the client played is silenced";
    view.boxesRunPosted = false;
    devices.virtualPorts = 8;
  }
}

// The network is chosen in the window: the server's interface ("Automatic" or one of the
// machine's, stored as [Server] Interface and applied to a running server at once), and the
// client's address with its interface's name. Both lists follow the machine's addresses as they
// come and go, keeping what was chosen; a choice the machine does not have now stays, marked.
TEST_F(MainDlgTest, TheNetworkIsChosenInTheWindowAndFollowsTheMachinesAddresses) {
  interfaces = {"lo - 10.0.0.5", "wlan0 - 10.0.1.5"};
  addresses = {"10.0.0.5 - lo", "10.0.1.5 - wlan0"};
  auto w = Open();
  const MainFields& f = w->Fields();
  EXPECT_EQ(f.interfaces.Entries(), (std::vector<std::string>{"Automatic", "lo - 10.0.0.5", "wlan0 - 10.0.1.5"}));
  EXPECT_EQ(f.interfaces.Selected(), 0);
  EXPECT_EQ(f.ipList.SelectedText(), "10.0.0.5 - lo");
  EXPECT_EQ(f.localAddress, ParseAddress("10.0.0.5"));

  Controls(*w).serverEnabled = true;
  w->OnServerClicked();
  ASSERT_NE(link.sender.load(), nullptr);
  EXPECT_EQ(link.sender.load()->InterfaceIndex(), 0U);
  w->OnInterfaceChanged(1);
  EXPECT_EQ(settings.ReadConfigText(config::kServerInterface), "lo");
  EXPECT_EQ(link.sender.load()->InterfaceIndex(), if_nametoindex("lo")) << "the running server broadcasts there now";
  EXPECT_TRUE(view.Noticed("Server: broadcasting on lo"));
  w->OnInterfaceChanged(0);
  EXPECT_EQ(settings.ReadConfigText(config::kServerInterface), "");
  EXPECT_EQ(link.sender.load()->InterfaceIndex(), 0U);

  // The client's choice by its address.
  w->OnIpChanged(1);
  EXPECT_EQ(f.localAddress, ParseAddress("10.0.1.5"));
  w->OnInterfaceChanged(2);

  // A laptop joins another network: a new address comes first, and wlan0 goes away.
  addresses = {"192.168.1.7 - eth0", "10.0.0.5 - lo"};
  interfaces = {"eth0 - 192.168.1.7", "lo - 10.0.0.5"};
  const int writes = view.writes;
  clock.Advance(1000);
  w->OnStatusTimer();
  view.RunPosted();
  EXPECT_GT(view.writes, writes) << "the controls show the new lists";
  EXPECT_EQ(f.ipList.Entries(),
            (std::vector<std::string>{"192.168.1.7 - eth0", "10.0.0.5 - lo", "10.0.1.5 - not on this machine"}));
  EXPECT_EQ(f.ipList.SelectedText(), "10.0.1.5 - not on this machine");
  EXPECT_EQ(f.localAddress, ParseAddress("10.0.1.5")) << "the choice stays";
  EXPECT_EQ(f.interfaces.SelectedText(), "wlan0 - not on this machine");

  // It comes back: the same choices, now on the machine again.
  addresses = {"10.0.0.5 - lo", "10.0.1.5 - wlan0"};
  interfaces = {"lo - 10.0.0.5", "wlan0 - 10.0.1.5"};
  clock.Advance(1000);
  w->OnStatusTimer();
  view.RunPosted();
  EXPECT_EQ(f.ipList.SelectedText(), "10.0.1.5 - wlan0");
  EXPECT_EQ(f.interfaces.SelectedText(), "wlan0 - 10.0.1.5");
  const int stable = view.writes;
  clock.Advance(1000);
  w->OnStatusTimer();
  EXPECT_EQ(view.writes, stable) << "nothing changed, nothing rewritten";
}

// The client shows whom it hears beside the connection state, until the connection ends.
TEST_F(MainDlgTest, TheServerHeardIsShownWhileConnected) {
  auto w = Open();
  EXPECT_EQ(w->HeardServerText(), "");
  w->OnStatusReport(kReportConnection, static_cast<int>(ConnectionState::Connected));
  w->Inbox().ReportServerAddress(ParseAddress("10.0.0.1"));
  for (int i = 0; i < 100; ++i) w->Inbox().ReportServerAddress(ParseAddress("10.0.0.1"));
  EXPECT_EQ(view.posted.size(), 1U) << "reports from the engine are folded behind one wake-up";
  view.RunPosted();
  EXPECT_EQ(w->HeardServerText(), "10.0.0.1");
  w->Inbox().ReportSecondServer(ParseAddress("10.0.0.9"));
  w->Inbox().ReportSecondServer(ParseAddress("10.0.0.9"));
  view.RunPosted();
  EXPECT_EQ(std::count(view.notices.begin(), view.notices.end(),
                       "Client: a second server, 10.0.0.9, sends to UDP port 8800 too; both are played"),
            1);
  w->OnStatusReport(kReportConnection, static_cast<int>(ConnectionState::Disconnected));
  EXPECT_EQ(w->HeardServerText(), "");
}

TEST_F(MainDlgTest, NotesOffOnLossCanBeSwitchedOff) {
  Write("Client", "NotesOffOnLoss", "0");
  auto w = Open();
  w->OnStatusReport(kReportConnection, static_cast<int>(ConnectionState::Connected));
  clock.Advance(5001);
  w->OnStatusTimer();
  view.RunPosted();
  EXPECT_EQ(w->State(), ConnectionState::Disconnected);
  std::lock_guard g(outputs.lock);
  EXPECT_EQ(outputs.notesOff, 0);
}

TEST_F(MainDlgTest, WhatAnOutputDroppedIsSaidOnceASecondWithTheCount) {
  auto w = Open();
  {
    const std::lock_guard g(outputs.lock);
    outputs.droppedOnRow5 = 3;
  }
  w->OnStatusTimer();
  w->OnStatusTimer();
  {
    const std::lock_guard g(outputs.lock);
    outputs.droppedOnRow5 = 5;
  }
  clock.Advance(999);
  w->OnStatusTimer();
  clock.Advance(1);
  w->OnStatusTimer();
  const auto said = std::count_if(view.notices.begin(), view.notices.end(), [](const std::string& n) {
    return n.find("The MIDI output \"Synth A\" for port 5 did not take") == 0;
  });
  EXPECT_EQ(said, 2);
  EXPECT_TRUE(view.Noticed("did not take 3 messages; dropped"));
  EXPECT_TRUE(view.Noticed("did not take 2 messages; dropped"));
}

TEST_F(MainDlgTest, AnInterfaceThatIsNotThereIsNamedAndRoutingDecides) {
  Write("Server", "Interface", "eth9");
  Write("Server", "Enable", "1");
  auto w = Open();
  EXPECT_TRUE(w->ServerRunning());
  EXPECT_TRUE(view.Noticed("Interface=eth9"));
}

TEST_F(MainDlgTest, ATargetWithoutRouteIsSaidEveryFiveSecondsWhileTheOthersAreSentTo) {
  Write("Server", "Targets", "127.0.0.1 10.250.0.9 nowhere.lan");
  Write("Server", "Broadcast", "0");
  Write("Server", "Enable", "1");
  Write("Client", "Enable", "0");
  auto w = Open();
  ASSERT_TRUE(w->ServerRunning());
  EXPECT_TRUE(view.Noticed("[Server] Targets: nowhere.lan: not a dotted IPv4 address"));
  EXPECT_TRUE(view.Noticed("Server on: sending to UDP port 8800 of 127.0.0.1, 10.250.0.9"));
  net::CUdpSender* sender = link.sender.load();
  ASSERT_EQ(sender->TargetCount(), 2U);
  auto unreachable = [&] {
    return std::count_if(view.notices.begin(), view.notices.end(), [](const std::string& n) {
      return n.starts_with("Server: 10.250.0.9 cannot be reached (no route to its network); ");
    });
  };
  // Sends the queue and waits until the target without route has failed once more.
  auto sendOnce = [&] {
    const std::uint64_t before = sender->TargetFailures(1);
    queue.Append(MakeKeepAlive(8));
    ASSERT_TRUE(test::WaitUntil([&] { return sender->TargetFailures(1) > before; }));
  };
  sendOnce();
  clock.Advance(1000);
  w->OnStatusTimer();
  EXPECT_EQ(unreachable(), 1);
  EXPECT_TRUE(view.Noticed(" not sent there; the other destinations go on"));
  EXPECT_EQ(sender->TargetFailures(0), 0U) << "the reachable target is sent to";
  for (int second = 0; second < 4; ++second) {
    sendOnce();
    clock.Advance(1000);
    w->OnStatusTimer();
  }
  EXPECT_EQ(unreachable(), 1) << "not more than once in 5 s";
  clock.Advance(1000);
  w->OnStatusTimer();
  EXPECT_EQ(unreachable(), 2);

  // A route appears: the next datagram goes, and that is said too.
  ASSERT_EQ(std::system("ip route add 10.250.0.0/24 dev lo"), 0);
  queue.Append(MakeKeepAlive(8));
  ASSERT_TRUE(test::WaitUntil([&] { return !sender->TargetFailing(1); }));
  clock.Advance(1000);
  w->OnStatusTimer();
  EXPECT_TRUE(view.Noticed("Server: 10.250.0.9 is reached again"));
  ASSERT_EQ(std::system("ip route del 10.250.0.0/24 dev lo"), 0);
}

TEST_F(MainDlgTest, TrayMenuActsAsTheCheckBoxes) {
  auto w = Open();
  w->OnTrayMenu(kTrayServer, true);
  EXPECT_TRUE(w->ServerRunning());
  EXPECT_EQ(Int(config::kServerEnable), 1);
  w->OnTrayMenu(kTrayServer, true);
  EXPECT_FALSE(w->ServerRunning());
  EXPECT_EQ(Int(config::kServerEnable), 0);
  w->OnTrayMenu(kTrayClient, true);
  EXPECT_FALSE(w->ClientRunning());
  EXPECT_EQ(Int(config::kClientEnable), 0);
  w->OnTrayMenu(kTrayMinimize, true);
  EXPECT_FALSE(view.shown);
  w->OnTrayMenu(kTrayOpen, false);
  EXPECT_TRUE(view.shown);
  w->OnTrayMenu(kTrayExit, true);
  EXPECT_FALSE(view.quit) << "queued, as the menu closes first";
  view.RunPosted();
  EXPECT_TRUE(view.quit);
}

TEST_F(MainDlgTest, RestoringThePortCountRestartsTheProviderWithBothEnginesOff) {
  Write("Server", "Enable", "1");
  auto w = Open();
  EXPECT_FALSE(w->RestoreAvailable());
  w->RestorePortCount();
  EXPECT_TRUE(restarts.empty()) << "nothing vanished: nothing to do";

  // Port 5 went away while the server ran.
  devices.virtualPorts = 4;
  EXPECT_TRUE(w->RestoreAvailable());
  w->RestorePortCount();
  EXPECT_EQ(restarts, std::vector<int>{8});
  EXPECT_TRUE(view.Noticed("busy: Restarting MIDI Drivers. Please Wait..."));
  EXPECT_TRUE(w->ServerRunning());
  EXPECT_TRUE(w->ClientRunning());
  EXPECT_TRUE(view.messages.empty());
  EXPECT_FALSE(w->RestoreAvailable());

  // The provider comes back with fewer ports than wanted.
  devices.virtualPorts = 7;
  portsAfterRestart = 6;
  w->RestorePortCount();
  ASSERT_EQ(view.messages.size(), 1U);
  EXPECT_EQ(view.messages[0],
            "Error: Setting KestrelPorts count failed.\nTry at first to release MIDI devices or restart the Computer");
  EXPECT_EQ(w->Fields().virtualPortSnapshot, 6);
  EXPECT_FALSE(w->States().serverPortEnabled[6]);
  EXPECT_TRUE(w->States().serverPortEnabled[5]);
}

TEST_F(MainDlgTest, CaptureFailuresSwitchTheInputOff) {
  Write("Server", "Enable", "1");
  auto w = Open();
  w->Inbox().InputOpenFailed(2);
  view.RunPosted();
  EXPECT_FALSE(w->Fields().serverPorts[2]);
  EXPECT_EQ(Int(config::ServerPortKey(3)), 0);
  w->Inbox().InputOpenFailed(9);
  view.RunPosted();
  EXPECT_EQ(w->Fields().midiIn.Selected(), 0);
  EXPECT_EQ(settings.ReadConfigText(config::kMidiInPort, "?"), "--Disabled--");
}

TEST_F(MainDlgTest, TheChosenMidiInIsCapturedFromTheServerStartOn) {
  Write("Server", "Enable", "1");
  Write("Server", "MidiIN_Port", "UM-ONE");
  auto w = Open();
  EXPECT_EQ(w->Fields().midiInIndex, 2) << "at start-up";
  Controls(*w).serverEnabled = false;
  w->OnServerClicked();
  EXPECT_EQ(w->Fields().midiInIndex, 0);
  Controls(*w).serverEnabled = true;
  w->OnServerClicked();
  EXPECT_EQ(w->Fields().midiInIndex, 2) << "switched on again";
}

TEST_F(MainDlgTest, ServerPanelFollowsTheVirtualPortCount) {
  devices.virtualPorts = 5;
  Write("Server", "Enable", "1");
  auto w = Open();
  const ControlStates s = w->States();
  EXPECT_TRUE(s.serverPortEnabled[4]);
  EXPECT_FALSE(s.serverPortEnabled[5]);
  EXPECT_FALSE(w->Fields().serverPorts[5]) << "a missing port is unticked";
  EXPECT_EQ(Int(config::ServerPortKey(6)), -999) << "but the file keeps its value";
  EXPECT_FALSE(s.targetEnabled && w->Fields().midiIn.Selected() == 0);
}

TEST_F(MainDlgTest, DumpOptionsAreWrittenTogetherAndReachTheOtherThreads) {
  auto w = Open();
  ControlValues& c = Controls(*w);
  c.dumpServer = true;
  c.filterActiveSensing = false;
  w->OnDumpOptionClicked();
  EXPECT_EQ(Int(config::kServerLog), 1);
  EXPECT_EQ(Int(config::kClientLog), 0);
  EXPECT_EQ(Int(config::kDumpFilter), 1);
  EXPECT_EQ(Int(config::kFilterTimingClock), 1);
  EXPECT_EQ(Int(config::kFilterActiveSensing), 0);
  EXPECT_TRUE(flags.serverLog.load());
  EXPECT_FALSE(flags.filterActiveSensing.load());
}

TEST_F(MainDlgTest, TrayAndTipFollowTheSwitchesAndTheConnection) {
  auto w = Open();
  struct Case {
    bool server, client;
    ConnectionState state;
    TrayPicture tray;
    const char* tip;
  };
  for (const Case& k :
       {Case{false, false, ConnectionState::Connected, TrayPicture::Program, "Kestrel"},
        Case{true, false, ConnectionState::Connected, TrayPicture::ServerAlone, "Kestrel - Server"},
        Case{false, true, ConnectionState::Connected, TrayPicture::ClientAloneConnected, "Kestrel - Connected"},
        Case{false, true, ConnectionState::Connecting, TrayPicture::ClientAlone, "Kestrel - Disconnected"},
        Case{true, true, ConnectionState::Connected, TrayPicture::BothConnected, "Kestrel - Connected"},
        Case{true, true, ConnectionState::Disconnected, TrayPicture::Both, "Kestrel - Disconnected"}}) {
    // (Switching the client off waits for the engine's answer, which a made-up Connected
    // state would never get.)
    w->OnStatusReport(kReportConnection, static_cast<int>(ConnectionState::Disconnected));
    ControlValues& c = Controls(*w);
    c.serverEnabled = k.server;
    c.clientEnabled = k.client;
    w->OnServerClicked();
    w->OnClientClicked();
    w->OnStatusReport(kReportConnection, static_cast<int>(k.state));
    const StatusDisplay d = w->UpdateTrayAndStatus();
    EXPECT_EQ(d.tray, k.tray) << k.tip;
    EXPECT_EQ(d.tip, k.tip);
    EXPECT_EQ(d.connectionVisible, k.client);
  }
}

TEST_F(MainDlgTest, AutostartEntryStartsTheProgramHidden) {
  auto w = Open();
  Controls(*w).autostart = true;
  w->OnAutostartClicked();
  const std::string entry = ReadText(dir.Path() / "autostart" / "kestrel.desktop");
  EXPECT_NE(entry.find("Exec=/opt/kestrel/bin/kestrel /m"), std::string::npos) << entry;
  Controls(*w).autostart = false;
  w->OnAutostartClicked();
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "autostart" / "kestrel.desktop"));
}

TEST_F(MainDlgTest, EscapeHidesAndCancelEndsInOrder) {
  Write("Server", "Enable", "1");
  auto w = Open();
  w->OnEscape();
  EXPECT_FALSE(view.shown);
  w->OnStatusReport(kReportShow, 1);
  EXPECT_TRUE(view.shown);
  w->OnCancel();
  EXPECT_TRUE(view.quit);
  EXPECT_FALSE(w->ServerRunning());
  EXPECT_FALSE(w->ClientRunning());
  EXPECT_EQ(link.sender.load(), nullptr);
  EXPECT_EQ(Int(config::kServerEnable), 1) << "ending the program does not switch anything off for next time";
}

// What start-up could not do is the window's latest notice once it is up; without a sequencer a
// box, queued behind the window's showing, says what to do. Headless, the box is a line on stderr.
TEST_F(MainDlgTest, StartUpProblemsAreTheLatestNoticeAndNoSequencerAsksForAModule) {
  startupProblems = {"The Kestrel ports are not available: kestrel-ports ended without making its ports",
                     "No MIDI: no ALSA sequencer: No such file or directory"};
  auto w = std::make_unique<CMainDlg>(Services(), view);
  w->OnInitDialog();
  EXPECT_EQ(view.notices.back(), startupProblems.back());
  EXPECT_EQ(view.notices[view.notices.size() - 2], startupProblems.front());
  view.RunPosted();
  EXPECT_TRUE(view.messages.empty()) << "a sequencer: no box";
  w.reset();

  noSequencer = true;
  w = std::make_unique<CMainDlg>(Services(), view);
  w->OnInitDialog();
  EXPECT_TRUE(view.messages.empty());
  view.RunPosted();
  ASSERT_EQ(view.messages.size(), 1U);
  EXPECT_EQ(view.messages[0], kNoSequencerHelp);
}

TEST_F(MainDlgTest, WindowGeometryIsStoredAndRead) {
  auto w = Open();
  EXPECT_EQ(w->StoredGeometry().w, 0);
  w->OnWindowMoved({10, 20, 640, 480});
  const WindowGeometry g = w->StoredGeometry();
  EXPECT_EQ(g.x, 10);
  EXPECT_EQ(g.h, 480);
}

} // namespace
} // namespace kestrel::controller
