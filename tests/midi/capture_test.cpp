// SPDX-License-Identifier: GPL-3.0-or-later
// Capture on a real sequencer: what programs play into the virtual ports, or what an ordinary
// MIDI In device sends, becomes records in the send queue, byte for byte and in order.
#include "core/drop_counters.hpp"
#include "core/dump_store.hpp"
#include "core/send_queue.hpp"
#include "core/window_flags.hpp"
#include "midi/flow_control.hpp"
#include "midi/input_hub.hpp"
#include "provider_fixture.hpp"
#include "support/midi_file.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <numeric>
#include <thread>
#include <unistd.h>

namespace kestrel::midi {
namespace {

using test::ChildProcess;
using test::WaitUntil;

struct Observer final : CaptureObserver {
  void LampTrigger(int port) noexcept override {
    lamps[static_cast<std::size_t>(port)]++;
    while (hold) std::this_thread::sleep_for(std::chrono::milliseconds(1)); // a capture thread that falls behind
  }
  std::atomic<bool> hold{false};
  void InputOpenFailed(int index) override { failed.push_back(index); }
  void VirtualPortsVanished(int found) override { vanishedCount = found; }
  void InputVanished(int index) noexcept override { vanished.store(index); }
  std::array<std::atomic<int>, 9> lamps{};
  std::vector<int> failed;
  int vanishedCount = -1;
  std::atomic<int> vanished{-1};
};

struct Captured {
  EventRecord header;
  std::vector<std::byte> payload;
  [[nodiscard]] std::uint32_t Word() const { return static_cast<std::uint32_t>(LoadLE32(payload.data())); }
};

// A program on the sequencer that plays into a port.
struct Player {
  explicit Player(const char* name = "Player") : seq(OpenSequencer(name)) {
    port = snd_seq_create_simple_port(seq.get(), "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                      SND_SEQ_PORT_TYPE_MIDI_GENERIC);
  }
  void To(const MidiPort& dest) {
    target = dest;
    budget.emplace(seq.get(), port, Address(dest));
  }
  void Send(snd_seq_event_t ev) {
    snd_seq_ev_set_source(&ev, static_cast<unsigned char>(port));
    if (target) {
      snd_seq_ev_set_dest(&ev, static_cast<unsigned char>(target->client), static_cast<unsigned char>(target->port));
    } else {
      snd_seq_ev_set_subs(&ev);
    }
    snd_seq_ev_set_direct(&ev);
    // Wait for room at the reader, as a well-behaved sender does.
    if (budget) budget->Reserve(EventCells(ev));
    snd_seq_event_output_direct(seq.get(), &ev);
  }
  void Note(unsigned char note) {
    snd_seq_event_t ev{};
    ev.type = SND_SEQ_EVENT_NOTEON;
    ev.data.note.note = note;
    ev.data.note.velocity = 100;
    Send(ev);
  }
  void Sysex(const std::vector<std::uint8_t>& bytes, std::size_t chunk = 256) {
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
      snd_seq_event_t ev{};
      ev.type = SND_SEQ_EVENT_SYSEX;
      ev.flags = SND_SEQ_EVENT_LENGTH_VARIABLE;
      ev.data.ext.len = static_cast<unsigned>(std::min(chunk, bytes.size() - at));
      ev.data.ext.ptr = const_cast<std::uint8_t*>(bytes.data() + at);
      Send(ev);
    }
  }
  SeqHandle seq;
  int port = -1;
  std::optional<MidiPort> target;
  std::optional<ReaderBudget> budget;
};

struct CaptureTest : ::testing::Test {
  CaptureTest() {
    flags.present = true;
    provider = test::StartProvider();
  }
  ~CaptureTest() override { hub.reset(); }

  void MakeHub() { hub = std::make_unique<InputHub>(seq.get(), queue, flags, observer); }

  // Everything queued so far, gathered until `count` records have arrived or `wait` is up.
  std::vector<Captured> Records(std::size_t count, std::chrono::milliseconds wait = std::chrono::seconds(20)) {
    WaitUntil(
        [&] {
          Drain();
          return captured.size() >= count;
        },
        wait);
    Drain();
    return captured;
  }
  void Drain() {
    const std::span<std::byte> bytes = queue.Take();
    for (std::size_t at = 0; at + kHeaderSize <= bytes.size();) {
      Captured c{LoadHeader(bytes.data() + at), {}};
      c.payload.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at + kHeaderSize),
                       bytes.begin() + static_cast<std::ptrdiff_t>(at + kHeaderSize) + c.header.dataLength);
      at += kHeaderSize + static_cast<std::size_t>(c.header.dataLength);
      captured.push_back(std::move(c));
    }
  }
  std::optional<MidiPort> In(const std::string& name) { return DeviceDirectory(seq.get()).FindMidiInDevice(name); }

  test::ProviderFolders folders;
  std::unique_ptr<ChildProcess> provider;
  SeqHandle seq = OpenSequencer("Kestrel engine");
  WindowFlags flags;
  DumpStore dump{SystemClock(), flags};
  DropCounters drops;
  SendQueue queue{dump, flags, &drops};
  Observer observer;
  std::unique_ptr<InputHub> hub;
  std::vector<Captured> captured;
};

TEST_F(CaptureTest, AMidiFilePlayedIntoAVirtualPortArrivesWholeAndInOrder) {
  MakeHub();
  EXPECT_EQ(hub->VirtualPortCount(), 8);
  std::array<bool, kVirtualPorts> ports{};
  ports[2] = true;
  hub->RefreshInputs(ports, "--Disabled--");
  ASSERT_TRUE(hub->IsOpen(2));
  EXPECT_FALSE(hub->IsOpen(0));

  // Running status in the file: the records carry every status byte.
  const test::TrackEvent events[] = {
      {0, {0x90, 60, 100}},    {10, {62, 90}},
      {10, {0x80, 60, 0}},     {0, {62, 0}},
      {5, {0xB3, 7, 99}},      {5, {0xC9, 12}},
      {5, {0xE0, 0x00, 0x40}}, {5, {0xD2, 55}},
      {5, {0xA1, 60, 20}},     {5, {0xF0, 4, 0x43, 0x10, 0x01, 0xF7}},
  };
  test::WriteMidiFile(folders.Path() / "song.mid", std::vector<test::TrackEvent>(std::begin(events), std::end(events)));
  ChildProcess play({"aplaymidi", "-p", "Kestrel:2", (folders.Path() / "song.mid").string()});
  EXPECT_EQ(play.Wait(), 0);

  const std::vector<Captured> records = Records(11);
  ASSERT_EQ(records.size(), 11U);
  EXPECT_EQ(records[0].header.type, static_cast<std::int32_t>(RecordType::MIM_OPEN));
  EXPECT_EQ(records[0].header.port, 3);
  const std::uint32_t expected[] = {
      PackShortMessage(0x90, 60, 100), PackShortMessage(0x90, 62, 90), PackShortMessage(0x80, 60, 0),
      PackShortMessage(0x80, 62, 0),   PackShortMessage(0xB3, 7, 99),  PackShortMessage(0xC9, 12),
      PackShortMessage(0xE0, 0, 0x40), PackShortMessage(0xD2, 55),     PackShortMessage(0xA1, 60, 20),
  };
  std::int32_t lastTime = 0;
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    const Captured& r = records[i + 1];
    EXPECT_EQ(r.header.type, static_cast<std::int32_t>(RecordType::MIM_DATA)) << i;
    EXPECT_EQ(r.header.port, 3) << i;
    EXPECT_EQ(r.Word(), expected[i]) << i;
    EXPECT_GE(r.header.timestamp, lastTime) << "times count up from the opening";
    lastTime = r.header.timestamp;
  }
  const Captured& sysex = records[10];
  EXPECT_EQ(sysex.header.type, static_cast<std::int32_t>(RecordType::MIM_LONGDATA));
  EXPECT_EQ(sysex.payload, (std::vector<std::byte>{std::byte{0xF0}, std::byte{0x43}, std::byte{0x10}, std::byte{0x01},
                                                   std::byte{0xF7}}));
  EXPECT_EQ(observer.lamps[3].load(), 10) << "every queued record of port 3 lights its lamp";

  hub->CloseAllInputs();
  const auto all = Records(12);
  ASSERT_EQ(all.size(), 12U);
  EXPECT_EQ(all.back().header.type, static_cast<std::int32_t>(RecordType::MIM_CLOSE));
}

TEST_F(CaptureTest, ABurstThroughAVirtualPortArrivesWholeAndInOrder) {
  MakeHub();
  hub->SetInputOpen(In("Kestrel Port1"), 0, true);
  Player player;
  player.To(*DeviceDirectory(seq.get()).FindMidiOutDevice("Kestrel Port1"));
  constexpr int kNotes = 3000; // back to back: the provider reads and hands them on in batches
  for (int i = 0; i < kNotes; ++i) {
    snd_seq_event_t ev{};
    ev.type = SND_SEQ_EVENT_NOTEON;
    ev.data.note.note = static_cast<unsigned char>(i % 128);
    ev.data.note.velocity = static_cast<unsigned char>(1 + i / 128);
    player.Send(ev);
  }
  const auto records = Records(kNotes + 1);
  ASSERT_EQ(records.size(), static_cast<std::size_t>(kNotes) + 1);
  for (int i = 0; i < kNotes; ++i) {
    ASSERT_EQ(records[static_cast<std::size_t>(i) + 1].Word(),
              PackShortMessage(0x90, static_cast<std::uint8_t>(i % 128), static_cast<std::uint8_t>(1 + i / 128)))
        << i;
  }
}

TEST_F(CaptureTest, SystemExclusiveOfEveryLengthIsGatheredIntoBuffersOfAtMost65536Bytes) {
  MakeHub();
  hub->SetInputOpen(In("Kestrel Port2"), 1, true);
  Player player;
  player.To(*DeviceDirectory(seq.get()).FindMidiOutDevice("Kestrel Port2"));
  const std::size_t sizes[] = {1, 480, 481, 4096, 65536, 70000};
  std::vector<std::vector<std::byte>> sent;
  for (const std::size_t size : sizes) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 7 + size) % 0x80);
    bytes[size - 1] = 0xF7;
    if (size > 1) bytes[0] = 0xF0;
    player.Sysex(bytes);
    sent.emplace_back(reinterpret_cast<std::byte*>(bytes.data()), reinterpret_cast<std::byte*>(bytes.data() + size));
  }
  const auto records = Records(1 + std::size(sizes) + 1);
  ASSERT_EQ(records.size(), 1 + std::size(sizes) + 1) << "70000 bytes leave as 65536 + 4464";
  std::vector<std::byte> joined;
  for (std::size_t i = 1; i < records.size(); ++i) {
    EXPECT_EQ(records[i].header.type, static_cast<std::int32_t>(RecordType::MIM_LONGDATA));
    EXPECT_LE(records[i].payload.size(), 65536U);
    joined.insert(joined.end(), records[i].payload.begin(), records[i].payload.end());
  }
  for (std::size_t i = 0; i < 5; ++i) { EXPECT_EQ(records[i + 1].payload, sent[i]) << sizes[i]; }
  EXPECT_EQ(records[6].payload.size(), 65536U);
  EXPECT_EQ(records[7].payload.size(), 70000U - 65536U);
  std::vector<std::byte> last = records[6].payload;
  last.insert(last.end(), records[7].payload.begin(), records[7].payload.end());
  EXPECT_EQ(last, sent[5]);
}

// Our own closing is announced too, maybe after the same source was opened again; changing the
// MIDI In target closes and reopens the device at once.
TEST_F(CaptureTest, ReopeningTheSameSourceKeepsItOpen) {
  MakeHub();
  Player keys("USB Keys");
  const auto device = In("USB Keys:out");
  hub->SetInputOpen(device, InputHub::kMidiInSlot, true);
  for (int i = 0; i < 5; ++i) {
    hub->SetInputOpen(std::nullopt, InputHub::kMidiInSlot, false);
    hub->SetInputOpen(device, InputHub::kMidiInSlot, true);
  }
  keys.Note(60);
  const auto records = Records(12);
  ASSERT_EQ(records.size(), 12U);
  EXPECT_EQ(records.back().Word(), PackShortMessage(0x90, 60, 100));
  EXPECT_EQ(Records(13, std::chrono::seconds(1)).size(), 12U) << "no late close notice";
  EXPECT_TRUE(hub->IsOpen(InputHub::kMidiInSlot));
  EXPECT_EQ(observer.vanished.load(), -1);
}

// A dump in one large event, and one cut short by another message, keep their bytes and order.
TEST_F(CaptureTest, LargeEventsAndInterruptedDumps) {
  MakeHub();
  hub->SetInputOpen(In("Kestrel Port1"), 0, true);
  Player player;
  player.To(*DeviceDirectory(seq.get()).FindMidiOutDevice("Kestrel Port1"));
  std::vector<std::uint8_t> big(20000, 0x11);
  big.front() = 0xF0;
  big.back() = 0xF7;
  player.Sysex(big, big.size());
  player.Sysex({0xF0, 0x01, 0x02}); // no end: the note that follows ends it
  player.Note(62);
  const auto records = Records(4);
  ASSERT_EQ(records.size(), 4U);
  EXPECT_EQ(records[1].payload.size(), big.size());
  EXPECT_EQ(records[2].payload, (std::vector<std::byte>{std::byte{0xF0}, std::byte{0x01}, std::byte{0x02}}));
  EXPECT_EQ(records[3].Word(), PackShortMessage(0x90, 62, 100));
}

TEST_F(CaptureTest, ClockAndSensingFollowTheFilters) {
  MakeHub();
  hub->SetInputOpen(In("Kestrel Port1"), 0, true);
  Player player;
  player.To(*DeviceDirectory(seq.get()).FindMidiOutDevice("Kestrel Port1"));
  snd_seq_event_t clock{};
  clock.type = SND_SEQ_EVENT_CLOCK;
  snd_seq_event_t sensing{};
  sensing.type = SND_SEQ_EVENT_SENSING;
  player.Send(clock);
  player.Send(sensing);
  player.Note(61);
  ASSERT_EQ(Records(2).size(), 2U) << "the filters refuse both; the note passes";
  EXPECT_EQ(captured[1].Word(), PackShortMessage(0x90, 61, 100));

  flags.filterTimingClock = false;
  flags.filterActiveSensing = false;
  player.Send(clock);
  player.Send(sensing);
  const auto records = Records(4);
  ASSERT_EQ(records.size(), 4U);
  EXPECT_EQ(records[2].Word(), 0xF8U);
  EXPECT_EQ(records[3].Word(), 0xFEU);
}

TEST_F(CaptureTest, TheMidiInDeviceIsSentUnderTheChosenPortAndClosesWhenItGoesAway) {
  MakeHub();
  auto device = std::make_unique<Player>("USB Keys");
  flags.midiInTarget = 4;
  hub->RefreshInputs({}, "USB Keys:out");
  ASSERT_TRUE(hub->IsOpen(InputHub::kMidiInSlot));
  device->Note(40);
  Records(2);
  flags.midiInTarget = 0;
  device->Note(41);
  auto records = Records(3);
  ASSERT_EQ(records.size(), 3U);
  EXPECT_EQ(records[0].header.port, 5) << "the open notice already carries the chosen port";
  EXPECT_EQ(records[1].header.port, 5);
  EXPECT_EQ(records[2].header.port, 1) << "a new target applies from the next event";

  device.reset(); // unplugged
  records = Records(4);
  ASSERT_EQ(records.size(), 4U);
  EXPECT_EQ(records[3].header.type, static_cast<std::int32_t>(RecordType::MIM_CLOSE));
  EXPECT_TRUE(WaitUntil([&] { return observer.vanished.load() == InputHub::kMidiInSlot; }));
  EXPECT_FALSE(hub->IsOpen(InputHub::kMidiInSlot));

  hub->RefreshInputs({}, "USB Keys:out"); // no such device any more: stays closed, no second notice
  EXPECT_EQ(Records(5, std::chrono::seconds(1)).size(), 4U);

  // Opening what is not there is reported, not raised.
  hub->SetInputOpen(MidiPort{120, 3, "ghost"}, 4, true);
  EXPECT_EQ(observer.failed, std::vector<int>{4});
}

TEST_F(CaptureTest, VanishedVirtualPortsLowerTheCountAndComeBackUnderANewAddress) {
  MakeHub();
  std::array<bool, kVirtualPorts> ports{};
  ports.fill(true);
  hub->RefreshInputs(ports, "--Disabled--");
  EXPECT_TRUE(hub->IsOpen(7));
  provider->Terminate();
  EXPECT_TRUE(WaitUntil([&] { return !hub->IsOpen(0) && !hub->IsOpen(7); })) << "each port's close notice";
  hub->RefreshInputs(ports, "--Disabled--");
  EXPECT_EQ(hub->VirtualPortCount(), 0);
  EXPECT_EQ(observer.vanishedCount, 0);

  // The provider is back (restarted by hand, by systemd, after a crash): capture takes its ports
  // again by name, with no click anywhere, and the count rises again.
  provider = test::StartProvider();
  unsigned opened = 0;
  EXPECT_TRUE(WaitUntil([&] {
    if (hub->TakeDevicesChanged()) opened |= hub->ReopenReturned(ports, "--Disabled--", kVirtualPorts);
    return opened == 0xFFU;
  })) << opened;
  EXPECT_EQ(hub->VirtualPortCount(), 8);
  EXPECT_TRUE(hub->IsOpen(0));
  EXPECT_EQ(hub->ReopenReturned(ports, "--Disabled--", kVirtualPorts), 0U) << "what is open stays as it is";
  Player player;
  player.To(*DeviceDirectory(seq.get()).FindMidiOutDevice("Kestrel Port1"));
  player.Note(70);
  const auto records = Records(8 + 8 + 8 + 1);
  EXPECT_EQ(records.back().Word(), PackShortMessage(0x90, 70, 100));
}

TEST_F(CaptureTest, AnOverrunIsCountedAndCaptureGoesOn) {
  MakeHub();
  Player keys("USB Keys"); // a device that sends without waiting for its reader, as hardware does
  hub->SetInputOpen(In("USB Keys:out"), InputHub::kMidiInSlot, true);
  observer.hold = true;
  keys.Note(1); // the capture thread stops at its lamp
  ASSERT_TRUE(WaitUntil([&] { return observer.lamps[1].load() == 1; }));
  for (int i = 0; i < 3000; ++i) keys.Note(static_cast<unsigned char>(i % 128));
  EXPECT_EQ(hub->Overruns(), 0U);
  observer.hold = false;
  ASSERT_TRUE(WaitUntil([&] { return hub->Overruns() > 0; })) << "the sequencer emptied the input";
  EXPECT_EQ(drops.Get(Drop::CaptureOverrun), hub->Overruns()) << "and the program's counter with it";
  keys.Note(99);
  EXPECT_TRUE(WaitUntil([&] {
    Drain();
    return !captured.empty() && captured.back().Word() == PackShortMessage(0x90, 99, 100);
  })) << "capture goes on after the overrun";
}

TEST_F(CaptureTest, NothingIsQueuedWithoutAWindow) {
  MakeHub();
  auto player = std::make_unique<Player>("USB Keys");
  hub->SetInputOpen(In("USB Keys:out"), InputHub::kMidiInSlot, true);
  flags.present = false;
  player->Note(50);
  player.reset(); // its exit reaches the capture thread after the note
  ASSERT_TRUE(WaitUntil([&] { return observer.vanished.load() == InputHub::kMidiInSlot; }));
  flags.present = true;
  const auto records = Records(2, std::chrono::seconds(1));
  ASSERT_EQ(records.size(), 1U) << "neither the note nor the close notice";
  EXPECT_EQ(records[0].header.type, static_cast<std::int32_t>(RecordType::MIM_OPEN));
}

} // namespace
} // namespace kestrel::midi

namespace kestrel::midi {
namespace {

// Without the provider there are no virtual ports, and the MIDI In device works all the same.
TEST(CaptureWithoutProvider, TheMidiInDeviceStillWorks) {
  test::ProviderFolders folders;
  SeqHandle seq = OpenSequencer("Kestrel engine");
  WindowFlags flags;
  flags.present = true;
  DumpStore dump(SystemClock(), flags);
  SendQueue queue(dump, flags);
  Observer observer;
  InputHub hub(seq.get(), queue, flags, observer);
  EXPECT_EQ(hub.VirtualPortCount(), 0);
  Player keys("USB Keys");
  std::array<bool, kVirtualPorts> ports{};
  ports.fill(true);
  hub.RefreshInputs(ports, "USB Keys:out");
  EXPECT_FALSE(hub.IsOpen(0));
  ASSERT_TRUE(hub.IsOpen(InputHub::kMidiInSlot));
  keys.Note(64);
  EXPECT_TRUE(WaitUntil([&] { return queue.Count() == 2 * kShortRecordSize; })) << "open notice and the note";
}

} // namespace
} // namespace kestrel::midi
