// SPDX-License-Identifier: GPL-3.0-or-later
// Bringing lost virtual ports back, against the real provider on a real sequencer: ports vanish
// while the server runs, the window's restore restarts the provider with the count the server
// panel was set up for, and says so when fewer come back.

#include "driverctl/provider_control.hpp"
#include "driverctl/provider_files.hpp"
#include "midi/provider_fixture.hpp"
#include "shell/app_context.hpp"
#include "support/controller_services.hpp"
#include "support/fake_view.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sched.h>
#include <thread>

namespace kestrel::controller {
namespace {

using namespace std::chrono_literals;
using shell::AppContext;
using test::FakeView;

// Events the sequencer could not hand to a client of this name for want of room, as its report
// in /proc says ("Alloc failures" of the client's input pool).
long InputDropsOf(const std::string& client) {
  std::ifstream in("/proc/asound/seq/clients");
  std::string line;
  bool ours = false;
  bool input = false;
  long drops = 0;
  while (std::getline(in, line)) {
    if (line.rfind("Client ", 0) == 0) {
      ours = line.find("\"" + client + "\"") != std::string::npos;
      input = false;
    } else if (line.find("Input pool :") != std::string::npos) {
      input = true;
    } else if (ours && input && line.find("Alloc failures") != std::string::npos) {
      drops += std::stol(line.substr(line.find(':') + 1));
    }
  }
  return drops;
}

class PortRestoreTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    // The server broadcasts keep-alives: only into a network of this test's own.
    ASSERT_EQ(unshare(CLONE_NEWNET), 0);
  }

  void SetUp() override {
    folders.SetMaxDevs("8");
    provider = test::StartProvider();
    // The restore finds the provider program on PATH, ahead of anything else there.
    const std::filesystem::path real(KESTREL_PORTS_PROGRAM);
    std::filesystem::create_directories(bin);
    UseProvider(real);
    setenv("PATH", (bin.string() + ":" + std::getenv("PATH")).c_str(), 1);
  }

  void TearDown() override { driverctl::StopProvider(); }

  // Puts `program` on PATH as kestrel-ports, first of all.
  void UseProvider(const std::filesystem::path& program) {
    std::filesystem::remove(bin / "kestrel-ports");
    std::filesystem::create_symlink(program, bin / "kestrel-ports");
  }

  // Restarts the provider with `count` ports, behind the window's back.
  void ProviderRestartsWith(const std::string& count) {
    folders.SetMaxDevs(count);
    ASSERT_TRUE(driverctl::StopProvider());
    provider = test::StartProvider();
  }

  std::unique_ptr<CMainDlg> Open(AppContext& context) {
    context.settings.WriteConfigInt(config::kServerEnable, 1);
    context.settings.WriteConfigInt(config::kClientEnable, 0);
    context.settings.WriteConfigText(config::kMidiInPort, "--Disabled--");
    auto window = std::make_unique<CMainDlg>(test::OffTheNetwork(context.Services()), view);
    context.Attach(window.get());
    window->OnInitDialog();
    view.RunPosted();
    return window;
  }

  test::ProviderFolders folders;
  std::unique_ptr<test::ChildProcess> provider;
  std::filesystem::path bin = folders.Path() / "bin";
  FakeView view;
};

TEST_F(PortRestoreTest, LostPortsComeBackAndAShortfallIsReported) {
  AppContext context(
      folders.Path() / "Kestrel.dat", [](const std::string&) {}, false);
  auto window = Open(context);
  ASSERT_TRUE(window->ServerRunning());
  EXPECT_EQ(window->Fields().virtualPortSnapshot, 8);
  EXPECT_FALSE(window->RestoreAvailable());

  // Ports 6 to 8 go away; the next capture refresh notices.
  ProviderRestartsWith("5");
  window->OnServerPortClicked(0);
  view.RunPosted();
  EXPECT_TRUE(window->RestoreAvailable());

  window->RestorePortCount();
  EXPECT_TRUE(view.Noticed("busy: Restarting MIDI Drivers. Please Wait..."));
  EXPECT_TRUE(view.messages.empty()) << view.messages.front();
  const midi::DeviceDirectory directory(context.seq.get());
  EXPECT_EQ(directory.CountVirtualPorts(), 8);
  EXPECT_EQ(window->Fields().virtualPortSnapshot, 8);
  EXPECT_TRUE(window->States().serverPortEnabled[7]);
  EXPECT_TRUE(window->ServerRunning()) << "switched on again, as it was enabled";
  EXPECT_FALSE(window->RestoreAvailable());

  // A provider that only ever makes six ports.
  const std::filesystem::path capped = folders.Path() / "capped-ports";
  std::ofstream(capped) << "#!/bin/sh\nprintf '[Driver]\\nMaxDevs=6\\n' > \""
                        << driverctl::ProviderSettingsPath().string() << "\"\nexec \"" << KESTREL_PORTS_PROGRAM
                        << "\" \"$@\"\n";
  std::filesystem::permissions(capped, std::filesystem::perms::owner_all);
  UseProvider(capped);
  ProviderRestartsWith("4");
  window->OnServerPortClicked(0);
  view.RunPosted();
  ASSERT_TRUE(window->RestoreAvailable());
  window->RestorePortCount();
  ASSERT_EQ(view.messages.size(), 1U);
  EXPECT_EQ(view.messages[0],
            "Error: Setting KestrelPorts count failed.\nTry at first to release MIDI devices or restart the Computer");
  EXPECT_EQ(directory.CountVirtualPorts(), 6);
  EXPECT_EQ(window->Fields().virtualPortSnapshot, 6);
  EXPECT_TRUE(window->States().serverPortEnabled[5]);
  EXPECT_FALSE(window->States().serverPortEnabled[6]);

  window->OnCancel();
  context.Attach(nullptr);
}

TEST_F(PortRestoreTest, AProviderKilledAndStartedAgainIsCapturedAgainWithoutAClick) {
  AppContext context(
      folders.Path() / "Kestrel.dat", [](const std::string&) {}, false);
  auto window = Open(context);
  context.flags.serverLog = true; // what capture queues shows in the dump
  const auto tick = [&] {
    window->OnStatusTimer();
    view.RunPosted();
  };
  provider->Kill(); // a crash, or systemd's restart
  ASSERT_TRUE(test::WaitUntil([&] {
    tick();
    return view.Noticed("Kestrel Port8 went away");
  }));
  provider = test::StartProvider();
  ASSERT_TRUE(test::WaitUntil([&] {
    tick();
    return view.Noticed("Kestrel Port8 is back");
  })) << "capture takes the ports again by itself";
  EXPECT_TRUE(view.Noticed("Kestrel Port1 is back"));
  EXPECT_FALSE(window->RestoreAvailable()) << "nothing left to restore";

  // A program plays into "Kestrel Port1" again, and it is captured.
  const midi::SeqHandle player = midi::OpenSequencer("Player");
  const int port = snd_seq_create_simple_port(player.get(), "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                              SND_SEQ_PORT_TYPE_MIDI_GENERIC);
  const auto dest = midi::DeviceDirectory(player.get()).FindMidiOutDevice("Kestrel Port1");
  ASSERT_TRUE(dest.has_value());
  const std::size_t before = context.dump.RowCount();
  snd_seq_event_t ev{};
  ev.type = SND_SEQ_EVENT_NOTEON;
  ev.data.note.note = 60;
  ev.data.note.velocity = 100;
  snd_seq_ev_set_source(&ev, static_cast<unsigned char>(port));
  snd_seq_ev_set_dest(&ev, static_cast<unsigned char>(dest->client), static_cast<unsigned char>(dest->port));
  snd_seq_ev_set_direct(&ev);
  ASSERT_GE(snd_seq_event_output_direct(player.get(), &ev), 0);
  EXPECT_TRUE(test::WaitUntil([&] { return context.dump.RowCount() > before; }));

  window->OnCancel();
  context.Attach(nullptr);
}

// The same while a program plays into the port, as on stage: the provider is killed and started
// again before the next status tick, as the same client with the same ports, three times over.
TEST_F(PortRestoreTest, AProviderKilledWhileAProgramPlaysIsCapturedAgainEveryTime) {
  AppContext context(
      folders.Path() / "Kestrel.dat", [](const std::string&) {}, false);
  auto window = Open(context);
  context.flags.serverLog = true; // what capture queues shows in the dump
  const test::FollowingPlayer program;
  const auto tick = [&] {
    window->OnStatusTimer();
    view.RunPosted();
  };
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(test::WaitUntil([&] {
      tick();
      return context.dump.RowCount() > 0;
    }));
    const int client = midi::DeviceDirectory(context.seq.get()).FindMidiInDevice("Kestrel Port1")->client;
    provider->Kill();
    provider = test::StartProvider();
    ASSERT_EQ(midi::DeviceDirectory(context.seq.get()).FindMidiInDevice("Kestrel Port1")->client, client);
    context.dump.ClearDump();
    EXPECT_TRUE(test::WaitUntil(
        [&] {
          tick();
          return context.dump.RowCount() >= 20;
        },
        std::chrono::seconds(8)))
        << "round " << round << ": captured again while the program plays";
  }
  window->OnCancel();
  context.Attach(nullptr);
}

// The machine stalls Kestrel (a swap storm, a debugger, SIGSTOP) while a program plays, long
// enough for the sequencer to fill Kestrel's input and drop what follows: among it the notices
// that the provider died and came back. Kestrel must find out all the same, and capture again.
TEST_F(PortRestoreTest, AStalledKestrelThatMissedTheProvidersRestartCapturesAgain) {
  const std::filesystem::path log = folders.Path() / "server.log";
  test::ChildProcess kestrel({"sh", "-c", "exec \"$0\" \"$@\" 2>&1", KESTREL_PROGRAM, "--headless", "--dump", "--set",
                              "Server.Enable=1", "--set", "Client.Enable=0", "--set",
                              "Server.MidiIN_Port=--Disabled--"},
                             log);
  const test::FollowingPlayer program;
  const auto notesIn = [&] {
    std::ifstream in(log);
    std::string line;
    std::size_t n = 0;
    while (std::getline(in, line)) n += line.find("Note on") != std::string::npos ? 1U : 0U;
    return n;
  };
  ASSERT_TRUE(test::WaitUntil([&] { return notesIn() > 20; })) << "captured before the stall";
  ASSERT_EQ(kill(kestrel.Pid(), SIGSTOP), 0);
  // Until the sequencer has no room left for Kestrel and drops what comes: the notices too.
  ASSERT_TRUE(test::WaitUntil([] { return InputDropsOf("Kestrel Network") > 0; }, 60s));
  provider->Kill();
  provider = test::StartProvider();
  std::this_thread::sleep_for(1s);
  ASSERT_EQ(kill(kestrel.Pid(), SIGCONT), 0);
  // What Kestrel had read before the stall plays first; capture is back once it says so, and
  // notes keep coming after that.
  EXPECT_TRUE(test::WaitUntil([&] { return test::ReadText(log).find("Kestrel Port1 is back") != std::string::npos; }))
      << "captured again after the stall";
  EXPECT_NE(test::ReadText(log).find("Kestrel Port1 went away"), std::string::npos);
  const std::size_t before = notesIn();
  EXPECT_TRUE(test::WaitUntil([&] { return notesIn() > before + 100; })) << "notes keep coming";
  EXPECT_EQ(kestrel.Terminate(), 0);
}

} // namespace
} // namespace kestrel::controller
