// SPDX-License-Identifier: GPL-3.0-or-later
// Setting the virtual port count restarts the real provider and waits for its ports.
#include "driverctl/provider_control.hpp"
#include "midi/flow_control.hpp"
#include "provider_fixture.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>

namespace kestrel::driverctl {
namespace {

using namespace std::chrono_literals;

const std::filesystem::path kProgramDir = std::filesystem::path(KESTREL_PORTS_PROGRAM).parent_path();

pid_t ParentOf(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string pidText, name, state;
  pid_t parent = -1;
  stat >> pidText >> name >> state >> parent;
  return parent;
}

struct ProviderControlTest : ::testing::Test {
  test::ProviderFolders folders;
  midi::SeqHandle seq = midi::OpenSequencer("Kestrel engine");
  midi::DeviceDirectory directory{seq.get()};
  ~ProviderControlTest() override { StopProvider(); }
};

TEST_F(ProviderControlTest, StartsADetachedProviderAndRestartsItWithANewCount) {
  ASSERT_TRUE(EnsureProviderRunning(kProgramDir));
  const auto first = RunningProvider(ProviderPidPath());
  ASSERT_TRUE(first);
  EXPECT_NE(ParentOf(*first), getpid()) << "the provider lives on its own, beyond Kestrel";
  EXPECT_EQ(directory.CountVirtualPorts(), 8);
  EXPECT_TRUE(EnsureProviderRunning(kProgramDir));
  EXPECT_EQ(RunningProvider(ProviderPidPath()), first) << "a running provider is left alone";

  std::vector<std::chrono::milliseconds> sleeps;
  const int count = SetVirtualPortCount(3, directory, kProgramDir, [&](std::chrono::milliseconds ms) {
    sleeps.push_back(ms);
    std::this_thread::sleep_for(ms == 2000ms ? 100ms : ms); // shorten only the final settling
  });
  EXPECT_EQ(count, 3);
  EXPECT_EQ(ReadMaxDevs(ProviderSettingsPath()), 3);
  ASSERT_FALSE(sleeps.empty());
  EXPECT_EQ(sleeps.back(), 2000ms) << "the final settling wait";
  const auto second = RunningProvider(ProviderPidPath());
  ASSERT_TRUE(second);
  EXPECT_NE(*second, *first);

  EXPECT_TRUE(StopProvider());
  EXPECT_FALSE(RunningProvider(ProviderPidPath()));
  EXPECT_EQ(directory.CountVirtualPorts(), 0);
}

bool StillRuns(pid_t child) {
  int status = 0;
  return waitpid(child, &status, WNOHANG) == 0;
}

TEST_F(ProviderControlTest, OnlyTheHolderOfThePidFilesLockIsTakenForTheProvider) {
  // A process of the provider's name, named in a pid file nobody holds (as a provider killed long
  // ago leaves it, once its pid has passed on): a copy of sleep called kestrel-ports.
  const auto impostor = folders.Path() / "kestrel-ports";
  std::filesystem::copy_file("/bin/sleep", impostor);
  test::ChildProcess decoy({impostor.string(), "600"});
  const std::string comm = "/proc/" + std::to_string(decoy.Pid()) + "/comm";
  ASSERT_TRUE(test::WaitUntil([&] { return test::ReadText(comm) == "kestrel-ports\n"; })) << test::ReadText(comm);
  std::ofstream(ProviderPidPath()) << decoy.Pid() << "\n";
  EXPECT_FALSE(RunningProvider(ProviderPidPath()));
  EXPECT_TRUE(StopProvider());
  EXPECT_TRUE(StillRuns(decoy.Pid())) << "StopProvider signalled a process that is not the provider";

  // The real one takes the file over, is found, and stopped.
  ASSERT_TRUE(EnsureProviderRunning(kProgramDir));
  const auto real = RunningProvider(ProviderPidPath());
  ASSERT_TRUE(real);
  EXPECT_NE(*real, decoy.Pid());
  // One that does not end on SIGTERM (stopped here) is killed; the file it leaves counts for nothing.
  ASSERT_EQ(kill(*real, SIGSTOP), 0);
  EXPECT_TRUE(StopProvider(100ms));
  EXPECT_FALSE(RunningProvider(ProviderPidPath()));
  EXPECT_EQ(directory.CountVirtualPorts(), 0);
  ASSERT_TRUE(EnsureProviderRunning(kProgramDir)) << "a new provider takes over the file left behind";
  EXPECT_TRUE(StillRuns(decoy.Pid()));
}

TEST_F(ProviderControlTest, ThePidFileIsNeverWrittenThroughALink) {
  const auto victim = folders.Path() / "victim";
  std::ofstream(victim) << "precious\n";
  std::filesystem::create_symlink(victim, ProviderPidPath());
  test::ChildProcess provider({KESTREL_PORTS_PROGRAM});
  EXPECT_EQ(provider.Wait(), 1);
  EXPECT_EQ(test::ReadText(victim), "precious\n");
  EXPECT_EQ(directory.CountVirtualPorts(), 0);
}

// systemd starts no program whose path holds a backslash, a quote or a control character, nor one
// that is not UTF-8 (settings_test has systemd read what is written); a desktop entry can carry
// all but control characters. What cannot be carried is refused and nothing is written.
TEST_F(ProviderControlTest, StartupFilesRefuseAPathTheyCannotCarry) {
  for (const std::string folder : {"back\\slash", "say \"hi\"", "it's", "a\nb", "a\rb", "a\x7f", "bad\xff"}) {
    const auto program = folders.Path() / folder / "kestrel-ports";
    std::filesystem::remove_all(ProviderUnitPath().parent_path());
    std::string error;
    EXPECT_FALSE(InstallProviderUnit(program, &error)) << folder;
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(std::filesystem::exists(ProviderUnitPath())) << folder;
    EXPECT_FALSE(std::filesystem::exists(ProviderUnitLinkPath())) << folder;
    const bool control = folder.find_first_of("\n\r\x7f") != std::string::npos;
    std::filesystem::remove(ProviderAutostartPath());
    EXPECT_EQ(InstallProviderAutostart(program, &error), !control) << folder << ": " << error;
    EXPECT_EQ(std::filesystem::exists(ProviderAutostartPath()), !control) << folder;
  }
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST_F(ProviderControlTest, AReaderThatTakesNothingCostsTheLogAFewLinesAndAGrownLogIsCut) {
  // What an earlier provider left, grown past the limit, is cut when the next one starts.
  std::ofstream(ProviderLogPath()) << std::string(kProviderLogLimit, '.') << "\nold line\n";
  ASSERT_TRUE(EnsureProviderRunning(kProgramDir));
  const auto port1 = directory.FindMidiInDevice(midi::VirtualPortName(1));
  ASSERT_TRUE(port1);
  EXPECT_EQ(test::ReadText(ProviderLogPath()).find("old line"), std::string::npos);

  // A program that subscribed to Port1 and stopped reading: its input pool fills, and it refuses
  // the rest of thousands of events played into the port.
  const midi::SeqHandle frozen = midi::OpenSequencer("Frozen");
  const int in = snd_seq_create_simple_port(frozen.get(), "in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                            SND_SEQ_PORT_TYPE_MIDI_GENERIC);
  ASSERT_EQ(snd_seq_connect_from(frozen.get(), in, port1->client, port1->port), 0);
  const midi::SeqHandle player = midi::OpenSequencer("Player");
  const int out = snd_seq_create_simple_port(player.get(), "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                             SND_SEQ_PORT_TYPE_MIDI_GENERIC);
  const auto play = [&](const midi::MidiPort& to) {
    snd_seq_event_t ev{};
    ev.type = SND_SEQ_EVENT_NOTEON;
    ev.data.note.note = 60;
    ev.data.note.velocity = 100;
    snd_seq_ev_set_source(&ev, static_cast<unsigned char>(out));
    snd_seq_ev_set_dest(&ev, static_cast<unsigned char>(to.client), static_cast<unsigned char>(to.port));
    snd_seq_ev_set_direct(&ev);
    // The provider's own input fills while it waits for the reader: try again until it has room.
    int written = 0;
    while ((written = snd_seq_event_output_direct(player.get(), &ev)) == -EAGAIN) std::this_thread::sleep_for(1ms);
    return written;
  };
  for (int n = 0; n < 5000; ++n) ASSERT_GE(play(*port1), 0);
  // The provider takes events in the order played: once one played into Port2 afterwards has come
  // out, it has dealt with all of them.
  const auto port2 = directory.FindMidiInDevice(midi::VirtualPortName(2));
  ASSERT_TRUE(port2);
  const midi::SeqHandle watcher = midi::OpenSequencer("Watcher");
  const int watched = snd_seq_create_simple_port(
      watcher.get(), "in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE, SND_SEQ_PORT_TYPE_MIDI_GENERIC);
  ASSERT_EQ(snd_seq_connect_from(watcher.get(), watched, port2->client, port2->port), 0);
  snd_seq_nonblock(watcher.get(), 1);
  ASSERT_GE(play(*port2), 0);
  EXPECT_TRUE(test::WaitUntil([&] {
    snd_seq_event_t* ev = nullptr;
    return snd_seq_event_input(watcher.get(), &ev) >= 0;
  }));
  const auto said = [&](const std::string& text) {
    return test::ReadText(ProviderLogPath()).find(text) != std::string::npos;
  };
  EXPECT_TRUE(said("a reader of port 1 takes no events"));

  // It reads again: the next event played finds room.
  snd_seq_nonblock(frozen.get(), 1);
  snd_seq_event_t* ev = nullptr;
  while (snd_seq_event_input(frozen.get(), &ev) >= 0 || snd_seq_event_input_pending(frozen.get(), 1) > 0) {}
  ASSERT_GE(play(*port1), 0);
  EXPECT_TRUE(test::WaitUntil([&] { return said("the readers of port 1 take events again"); }));
  ASSERT_TRUE(StopProvider());

  const std::vector<std::string> lines = Lines(test::ReadText(ProviderLogPath()));
  EXPECT_LE(lines.size(), 6U) << test::ReadText(ProviderLogPath()).substr(0, 2000);
  const auto stalls = std::count(lines.begin(), lines.end(), "kestrel-ports: a reader of port 1 takes no events");
  EXPECT_EQ(stalls, 1) << test::ReadText(ProviderLogPath());
  const auto recovery = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find("the readers of port 1 take events again") != std::string::npos;
  });
  ASSERT_NE(recovery, lines.end());
  long refused = 0;
  EXPECT_EQ(std::sscanf(recovery->c_str(), "kestrel-ports: the readers of port 1 take events again; %ld were refused",
                        &refused),
            1)
      << *recovery;
  EXPECT_GT(refused, 0) << *recovery;
}

TEST_F(ProviderControlTest, InputOverrunsCostTheLogALineAndACount) {
  ASSERT_TRUE(EnsureProviderRunning(kProgramDir));
  const auto provider = RunningProvider(ProviderPidPath());
  ASSERT_TRUE(provider);
  const auto port1 = directory.FindMidiOutDevice(midi::VirtualPortName(1));
  ASSERT_TRUE(port1);
  // A device that sends without waiting for its reader, as hardware does, plays into Port1.
  const midi::SeqHandle keys = midi::OpenSequencer("USB Keys");
  const int out = snd_seq_create_simple_port(keys.get(), "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                             SND_SEQ_PORT_TYPE_MIDI_GENERIC);
  ASSERT_EQ(snd_seq_connect_to(keys.get(), out, port1->client, port1->port), 0);
  // Each round the provider is held while more than its input pool arrives: the sequencer drops the
  // rest and tells it of the overrun at its next read, which empties its input.
  constexpr int kOverruns = 4;
  for (int round = 0; round < kOverruns; ++round) {
    ASSERT_EQ(kill(*provider, SIGSTOP), 0);
    for (int n = 0; n < 3000; ++n) {
      snd_seq_event_t ev{};
      ev.type = SND_SEQ_EVENT_NOTEON;
      ev.data.note.note = static_cast<unsigned char>(n % 128);
      ev.data.note.velocity = 100;
      snd_seq_ev_set_source(&ev, static_cast<unsigned char>(out));
      snd_seq_ev_set_subs(&ev);
      snd_seq_ev_set_direct(&ev);
      snd_seq_event_output_direct(keys.get(), &ev);
    }
    ASSERT_LT(midi::InputRoom(seq.get(), port1->client), 100) << "the provider's input is full";
    ASSERT_EQ(kill(*provider, SIGCONT), 0);
    ASSERT_TRUE(test::WaitUntil([&] { return midi::InputRoom(seq.get(), port1->client) > 1000; }))
        << "the provider read the overrun";
  }
  ASSERT_TRUE(StopProvider());

  const std::string log = test::ReadText(ProviderLogPath());
  std::vector<std::string> overruns;
  for (const std::string& line : Lines(log)) {
    if (line.find("input overrun") != std::string::npos) overruns.push_back(line);
  }
  ASSERT_EQ(overruns.size(), 2U) << "the first when it happens, the count of the others at the end\n" << log;
  EXPECT_EQ(overruns[0], "kestrel-ports: input overrun, events were lost");
  EXPECT_EQ(overruns[1], "kestrel-ports: input overrun " + std::to_string(kOverruns - 1) + " more times");
}

TEST_F(ProviderControlTest, PortsThatNeverComeUseUpTheirAttempts) {
  test::TempDir empty;
  const std::string path = std::getenv("PATH");
  setenv("PATH", empty.Path().c_str(), 1); // no provider program anywhere
  std::vector<std::chrono::milliseconds> sleeps;
  const int count =
      SetVirtualPortCount(8, directory, empty.Path(), [&](std::chrono::milliseconds ms) { sleeps.push_back(ms); });
  setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(count, 0) << "no provider program: no ports";
  // Port n is looked for 10 - n times: 9 + 8 + ... + 2 = 44 waits of 500 ms, then 2 s.
  ASSERT_EQ(sleeps.size(), 45U);
  EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), 500ms), 44);
  EXPECT_EQ(sleeps.back(), 2000ms);
}

} // namespace
} // namespace kestrel::driverctl
