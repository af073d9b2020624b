// SPDX-License-Identifier: GPL-3.0-or-later
// Device lists, names and the virtual port count on a real sequencer, with the real provider.
#include "driverctl/provider_files.hpp"
#include "midi/alsa_seq.hpp"
#include "provider_fixture.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace kestrel::midi {
namespace {

using test::ChildProcess;
using test::TempDir;
using test::WaitUntil;

constexpr unsigned kReadable = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
constexpr unsigned kWritable = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;

// Another program on the sequencer, with ports of our choosing.
struct FakeClient {
  explicit FakeClient(const char* name) : seq(OpenSequencer(name)) {}
  int AddPort(const char* name, unsigned caps) {
    return snd_seq_create_simple_port(seq.get(), name, caps, SND_SEQ_PORT_TYPE_MIDI_GENERIC);
  }
  SeqHandle seq;
};

bool Contains(const std::vector<std::string>& list, const std::string& name) {
  return std::find(list.begin(), list.end(), name) != list.end();
}

struct DeviceListTest : ::testing::Test {
  SeqHandle self = OpenSequencer("Kestrel test");
  DeviceDirectory directory{self.get()};
};

TEST_F(DeviceListTest, ListsOtherClientsPortsByTheirUsersNames) {
  ASSERT_TRUE(self);
  snd_seq_create_simple_port(self.get(), "own port", kReadable | kWritable, SND_SEQ_PORT_TYPE_APPLICATION);
  FakeClient keyboard("VMPK Output");
  keyboard.AddPort("out", kReadable);
  FakeClient synth("Synth");
  synth.AddPort("Synth Port A", kWritable);

  std::vector<std::string> in;
  std::vector<std::string> out;
  directory.ListMidiInDevices(in);
  directory.ListMidiOutDevices(out);
  EXPECT_TRUE(Contains(in, "VMPK Output:out"));
  EXPECT_FALSE(Contains(out, "VMPK Output:out")) << "a read-only port is no output";
  EXPECT_TRUE(Contains(out, "Synth Port A")) << "a port named after its client keeps its own name";
  EXPECT_FALSE(Contains(in, "Synth Port A"));
  EXPECT_TRUE(Contains(in, "Midi Through Port-0"));
  EXPECT_TRUE(Contains(out, "Midi Through Port-0"));
  EXPECT_FALSE(Contains(in, "Kestrel test:own port")) << "our own ports never show";
  EXPECT_FALSE(Contains(in, "System:Timer"));
  // Client then port order: the through port (client 14) before clients made later.
  const auto through = std::find(in.begin(), in.end(), "Midi Through Port-0");
  const auto vmpk = std::find(in.begin(), in.end(), "VMPK Output:out");
  EXPECT_LT(through, vmpk);

  const auto found = directory.FindMidiInDevice("VMPK Output:out");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->client, snd_seq_client_id(keyboard.seq.get()));
  EXPECT_FALSE(directory.FindMidiInDevice("vmpk output:out")) << "lookups respect case";
  EXPECT_FALSE(directory.FindMidiOutDevice("VMPK Output:out"));
}

TEST_F(DeviceListTest, VirtualPortCountStopsAtTheFirstGap) {
  FakeClient ports("Kestrel");
  ports.AddPort("Kestrel Port1", kReadable | kWritable);
  ports.AddPort("Kestrel Port2", kReadable | kWritable);
  ports.AddPort("Kestrel Port4", kReadable | kWritable);
  EXPECT_EQ(directory.CountVirtualPorts(), 2);
  const int three = ports.AddPort("Kestrel Port3", kWritable);
  EXPECT_EQ(directory.CountVirtualPorts(), 2) << "a port that is only an output counts as absent";
  snd_seq_delete_simple_port(ports.seq.get(), three);
  ports.AddPort("Kestrel Port3", kReadable | kWritable);
  EXPECT_EQ(directory.CountVirtualPorts(), 4);

  // Virtual ports never show as ordinary MIDI In devices, in any letter case.
  FakeClient lower("kestrel");
  lower.AddPort("kestrel port5", kReadable | kWritable);
  std::vector<std::string> in;
  directory.ListMidiInDevices(in);
  for (const std::string& name : in) {
    EXPECT_FALSE(name.starts_with("Kestrel Port") || name.starts_with("kestrel port"));
  }
  EXPECT_FALSE(directory.FindMidiInDevice("Kestrel Port5"));
  EXPECT_TRUE(directory.FindMidiInDevice("kestrel port5"));
}

TEST_F(DeviceListTest, NoSequencerMeansNoDevices) {
  DeviceDirectory none(nullptr);
  std::vector<std::string> list{"stale"};
  EXPECT_EQ(none.ListMidiInDevices(list), 0);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(none.CountVirtualPorts(), 0);
  EXPECT_FALSE(none.FindMidiOutDevice("Midi Through Port-0"));
}

// The provider in its own runtime and configuration folders.
struct ProviderTest : DeviceListTest {
  test::ProviderFolders folders;
};

TEST_F(ProviderTest, MakesTheConfiguredPortsAndRemovesThemOnStop) {
  for (const auto& [maxDevs, expected] : {std::pair<std::string, int>{"3", 3}, {"0", 1}, {"99", 8}, {"abc", 8}}) {
    folders.SetMaxDevs(maxDevs);
    ChildProcess provider({KESTREL_PORTS_PROGRAM});
    ASSERT_TRUE(WaitUntil([&] { return driverctl::RunningProvider(driverctl::ProviderPidPath()).has_value(); }))
        << maxDevs;
    EXPECT_EQ(*driverctl::RunningProvider(driverctl::ProviderPidPath()), provider.Pid());
    EXPECT_EQ(directory.CountVirtualPorts(), expected) << "MaxDevs=" << maxDevs;
    std::vector<std::string> out;
    directory.ListMidiOutDevices(out);
    EXPECT_TRUE(Contains(out, "Kestrel Port1"));

    ChildProcess second({KESTREL_PORTS_PROGRAM});
    EXPECT_EQ(second.Wait(), 1) << "a second provider leaves at once";

    EXPECT_EQ(provider.Terminate(), 0);
    EXPECT_EQ(directory.CountVirtualPorts(), 0);
    EXPECT_FALSE(std::filesystem::exists(driverctl::ProviderPidPath()));
  }
}

} // namespace
} // namespace kestrel::midi
