// SPDX-License-Identifier: GPL-3.0-or-later
// Output slots on a real sequencer: what the client engine plays reaches the local device byte for
// byte, as a program that reads the port (aseqdump, or a reader of our own) sees it.
#include "core/auto_reset_event.hpp"
#include "core/drop_counters.hpp"
#include "core/translation.hpp"
#include "midi/input_hub.hpp"
#include "midi/output_table.hpp"
#include "support/child_process.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <thread>

namespace kestrel::midi {
namespace {

using test::ChildProcess;
using test::WaitUntil;

// A synthesizer on the sequencer: a writable port whose events it turns back into MIDI bytes.
class Synth {
public:
  explicit Synth(const char* name = "Synth") : seq_(OpenSequencer(name)) {
    port_ = snd_seq_create_simple_port(seq_.get(), (std::string(name) + " in").c_str(),
                                       SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                       SND_SEQ_PORT_TYPE_MIDI_GENERIC);
    snd_midi_event_new(64, &decoder_);
    snd_midi_event_no_status(decoder_, 1);
    thread_ = std::thread([this] { Read(); });
  }
  ~Synth() {
    stop_ = true;
    thread_.join();
    snd_midi_event_free(decoder_);
  }
  Synth(const Synth&) = delete;
  Synth& operator=(const Synth&) = delete;

  [[nodiscard]] std::vector<std::uint8_t> Bytes(std::size_t atLeast) {
    WaitUntil([&] {
      const std::lock_guard guard(lock_);
      return bytes_.size() >= atLeast;
    });
    const std::lock_guard guard(lock_);
    return bytes_;
  }
  [[nodiscard]] snd_seq_addr_t Address() const {
    return {static_cast<unsigned char>(snd_seq_client_id(seq_.get())), static_cast<unsigned char>(port_)};
  }

private:
  void Read() {
    pollfd fd{};
    snd_seq_poll_descriptors(seq_.get(), &fd, 1, POLLIN);
    snd_seq_nonblock(seq_.get(), 1);
    while (!stop_) {
      poll(&fd, 1, 50);
      snd_seq_event_t* ev = nullptr;
      while (snd_seq_event_input(seq_.get(), &ev) >= 0 && ev != nullptr) {
        const std::lock_guard guard(lock_);
        if (ev->type == SND_SEQ_EVENT_SYSEX) {
          const auto* p = static_cast<const std::uint8_t*>(ev->data.ext.ptr);
          bytes_.insert(bytes_.end(), p, p + ev->data.ext.len);
        } else if (ev->type < SND_SEQ_EVENT_CLIENT_START) {
          std::array<unsigned char, 16> b{};
          const long n = snd_midi_event_decode(decoder_, b.data(), static_cast<long>(b.size()), ev);
          if (n > 0) bytes_.insert(bytes_.end(), b.begin(), b.begin() + n);
        }
      }
    }
  }

  SeqHandle seq_;
  int port_ = -1;
  snd_midi_event_t* decoder_ = nullptr;
  std::mutex lock_;
  std::vector<std::uint8_t> bytes_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

std::vector<std::byte> Sysex(std::size_t size) {
  std::vector<std::byte> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = std::byte{static_cast<std::uint8_t>((i * 5 + size) % 0x80)};
  bytes[size - 1] = std::byte{0xF7};
  if (size > 1) bytes[0] = std::byte{0xF0};
  return bytes;
}

struct OutputTest : ::testing::Test {
  SeqHandle seq = OpenSequencer("Kestrel engine");
  Translator english;
  DropCounters drops;
  OutputTable table{seq.get(), english, &drops};
};

TEST_F(OutputTest, NotConnectedAndMissingDevices) {
  EXPECT_EQ(table.OpenOutputByName("--NOT connected--", 2), 1);
  EXPECT_EQ(table.State(2), OutputTable::SlotState::NotConnected);
  table.PlayShort(2, PackShortMessage(0x90, 60, 100)); // routed to nothing: nothing happens
  EXPECT_EQ(table.OpenOutputByName("No Such Synth", 2), 0);
  EXPECT_EQ(table.State(2), OutputTable::SlotState::Empty) << "a failed open leaves the slot empty";
  EXPECT_EQ(table.OpenOutputByName("--Not Connected--", 2), 1);
  table.CloseOutput(2);
  EXPECT_EQ(table.State(2), OutputTable::SlotState::Empty);
}

TEST_F(OutputTest, PlaysShortAndLongMessagesByteForByte) {
  Synth synth;
  ASSERT_EQ(table.OpenOutputByName("Synth in", 0), 1);
  ASSERT_EQ(table.OpenOutputByName("Synth in", 5), 1) << "two rows may share a device";
  ASSERT_EQ(table.OpenOutputByName("Synth in", 0), 1) << "reopening the same device in its slot";

  std::vector<std::uint8_t> expected;
  const std::uint32_t shorts[] = {
      PackShortMessage(0x90, 60, 100), PackShortMessage(0x80, 60, 0), PackShortMessage(0xB5, 7, 90),
      PackShortMessage(0xC2, 11),      PackShortMessage(0xE1, 0, 64), PackShortMessage(0xD3, 30),
      PackShortMessage(0xA0, 61, 5),   PackShortMessage(0xF8),        PackShortMessage(0xFE)};
  for (const std::uint32_t word : shorts) {
    table.PlayShort(0, word);
    const std::size_t n = (word & 0xF0U) == 0xC0 || (word & 0xF0U) == 0xD0 ? 2 : (word & 0xF0U) == 0xF0 ? 1 : 3;
    for (std::size_t i = 0; i < n; ++i) expected.push_back(static_cast<std::uint8_t>(word >> (8U * i)));
  }
  table.PlayShort(5, PackShortMessage(0x99, 36, 127));
  expected.insert(expected.end(), {0x99, 36, 127});
  for (const std::size_t size : {1UL, 480UL, 481UL, 4096UL, 65536UL}) {
    const std::vector<std::byte> bytes = Sysex(size);
    table.PlayLong(0, bytes);
    for (const std::byte b : bytes) expected.push_back(std::to_integer<std::uint8_t>(b));
  }
  EXPECT_EQ(synth.Bytes(expected.size()), expected);
}

TEST_F(OutputTest, ARealReaderSeesWhatIsPlayed) {
  test::TempDir dir;
  ChildProcess dump({"aseqdump"}, dir.Path() / "dump.txt");
  ASSERT_TRUE(WaitUntil([&] { return DeviceDirectory(seq.get()).FindMidiOutDevice("aseqdump").has_value(); }));
  ASSERT_EQ(table.OpenOutputByName("aseqdump", 1), 1);
  table.PlayShort(1, PackShortMessage(0x90, 60, 100));
  table.PlayShort(1, PackShortMessage(0xB3, 64, 127));
  const std::vector<std::byte> sysex{std::byte{0xF0}, std::byte{0x7E}, std::byte{0x7F},
                                     std::byte{0x09}, std::byte{0x01}, std::byte{0xF7}};
  table.PlayLong(1, sysex);
  ASSERT_TRUE(WaitUntil([&] {
    return test::ReadText(dir.Path() / "dump.txt").find("F0 7E 7F 09 01 F7") != std::string::npos;
  })) << test::ReadText(dir.Path() / "dump.txt");
  const std::string text = test::ReadText(dir.Path() / "dump.txt");
  EXPECT_NE(text.find("Note on                 0, note 60, velocity 100"), std::string::npos) << text;
  EXPECT_NE(text.find("Control change          3, controller 64, value 127"), std::string::npos) << text;
}

TEST_F(OutputTest, ADeviceHeldExclusivelyIsBusyAndAnUnpluggedOneComesBackByName) {
  auto synth = std::make_unique<Synth>();
  SeqHandle other = OpenSequencer("Sequencer");
  const int otherPort = snd_seq_create_simple_port(
      other.get(), "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ, SND_SEQ_PORT_TYPE_APPLICATION);
  snd_seq_port_subscribe_t* sub = nullptr;
  snd_seq_port_subscribe_alloca(&sub);
  const snd_seq_addr_t sender{static_cast<unsigned char>(snd_seq_client_id(other.get())),
                              static_cast<unsigned char>(otherPort)};
  const snd_seq_addr_t dest = synth->Address();
  snd_seq_port_subscribe_set_sender(sub, &sender);
  snd_seq_port_subscribe_set_dest(sub, &dest);
  snd_seq_port_subscribe_set_exclusive(sub, 1);
  ASSERT_EQ(snd_seq_subscribe_port(other.get(), sub), 0);
  EXPECT_EQ(table.OpenOutputByName("Synth in", 0), 0) << "held exclusively by another program";
  EXPECT_EQ(table.State(0), OutputTable::SlotState::Empty);
  snd_seq_unsubscribe_port(other.get(), sub);
  ASSERT_EQ(table.OpenOutputByName("Synth in", 0), 1);

  synth.reset(); // unplugged while open
  table.PlayShort(0, PackShortMessage(0x90, 60, 100));
  EXPECT_NO_THROW(table.PlayLong(0, Sysex(1000)));
  table.NotesOff();
  EXPECT_EQ(table.ReviveOutputs(), 1U << 16U) << "found gone";
  EXPECT_EQ(table.ReviveOutputs(), 0U) << "said once";
  EXPECT_EQ(table.State(0), OutputTable::SlotState::Open) << "the row stays as the user left it";

  // Plugged in again, under another address: the slot takes it by name, with no click.
  synth = std::make_unique<Synth>();
  EXPECT_EQ(table.ReviveOutputs(), 1U);
  table.PlayShort(0, PackShortMessage(0x90, 61, 100));
  table.Flush();
  EXPECT_EQ(synth->Bytes(3), (std::vector<std::uint8_t>{0x90, 61, 100}));
  EXPECT_EQ(table.ReviveOutputs(), 0U) << "a live connection is left alone";
}

TEST_F(OutputTest, AReaderThatTakesNothingHoldsUpNoOtherOutput) {
  // A program that made its port and stopped reading: its input fills up and stays full.
  SeqHandle frozen = OpenSequencer("Frozen");
  snd_seq_create_simple_port(frozen.get(), "Frozen in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                             SND_SEQ_PORT_TYPE_MIDI_GENERIC);
  Synth synth;
  ASSERT_EQ(table.OpenOutputByName("Frozen in", 0), 1);
  ASSERT_EQ(table.OpenOutputByName("Synth in", 1), 1);
  constexpr std::size_t kNotes = 1000;
  std::vector<std::uint8_t> expected;
  for (std::size_t i = 0; i < kNotes; ++i) {
    const auto note = static_cast<std::uint8_t>(i % 128);
    const auto velocity = static_cast<std::uint8_t>(1 + i / 128);
    table.PlayShort(0, PackShortMessage(0x90, note, velocity));
    table.PlayShort(1, PackShortMessage(0x90, note, velocity));
    expected.insert(expected.end(), {0x90, note, velocity});
    if (i % 10 == 9) table.Flush(); // as the engine does after each datagram
  }
  table.Flush();
  EXPECT_EQ(synth.Bytes(expected.size()), expected) << "every message to the live reader, in order";
  EXPECT_GT(table.DroppedMessages(0), 0U) << "what the frozen reader refused is counted";
  EXPECT_EQ(table.DroppedMessages(1), 0U);

  // A long message to the frozen reader: what it refuses is the rest of that message, dropped
  // and counted, and the outputs go on (it used to end the client engine with an error box).
  const std::uint32_t before = table.DroppedMessages(0);
  EXPECT_NO_THROW(table.PlayLong(0, Sysex(10000)));
  EXPECT_NO_THROW(table.PlayLong(0, Sysex(65536)));
  EXPECT_EQ(table.DroppedMessages(0), before + 2);
  EXPECT_EQ(drops.Get(Drop::OutputRefused), table.DroppedMessages(0)) << "the program's counter counts them all";
  table.PlayLong(1, Sysex(10000));
  EXPECT_EQ(synth.Bytes(expected.size() + 10000).size(), expected.size() + 10000);
}

TEST_F(OutputTest, APendingCommandEndsAWaitForAFrozenReader) {
  // The client engine's command event breaks every wait for room: the window's command is run
  // at once, and what the frozen reader refuses meanwhile is dropped and counted.
  AutoResetEvent command;
  table.SetWaitBreaker(&command);
  SeqHandle frozen = OpenSequencer("Frozen");
  snd_seq_create_simple_port(frozen.get(), "Frozen in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                             SND_SEQ_PORT_TYPE_MIDI_GENERIC);
  ASSERT_EQ(table.OpenOutputByName("Frozen in", 0), 1);
  command.Set();
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 1000; ++i) table.PlayShort(0, PackShortMessage(0x90, 60, 100));
  table.Flush();
  table.PlayLong(0, Sysex(10000));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_LT(waited, std::chrono::seconds(1)) << "a reader's wait alone is 2 s";
  EXPECT_GT(table.DroppedMessages(0), 0U);
}

TEST_F(OutputTest, NotesOffSilencesEveryChannelOfEveryOpenOutput) {
  Synth synth;
  ASSERT_EQ(table.OpenOutputByName("Synth in", 0), 1);
  ASSERT_EQ(table.OpenOutputByName("--Not Connected--", 1), 1);
  table.NotesOff();
  const std::vector<std::uint8_t> bytes = synth.Bytes(16 * 2 * 3);
  ASSERT_EQ(bytes.size(), 16U * 2 * 3);
  for (std::size_t ch = 0; ch < 16; ++ch) {
    const std::vector<std::uint8_t> pair(bytes.begin() + static_cast<std::ptrdiff_t>(ch * 6),
                                         bytes.begin() + static_cast<std::ptrdiff_t>(ch * 6 + 6));
    const auto status = static_cast<std::uint8_t>(0xB0 + ch);
    EXPECT_EQ(pair, (std::vector<std::uint8_t>{status, 123, 0, status, 64, 0})) << ch;
  }
}

} // namespace
} // namespace kestrel::midi

namespace kestrel::midi {
namespace {

// A hardware port's kernel buffer holds 4 KiB and drains at wire speed: a long dump is paced so
// that every byte arrives, and the pacing holds up nothing else. The virtual raw MIDI device
// shows what reaches a port's wire.
TEST_F(OutputTest, ALongDumpToAHardwarePortArrivesWholeWhileOtherOutputsPlayOn) {
  const int wire = open("/dev/snd/midiC0D0", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(wire, 0) << "the virtual raw MIDI device";
  std::array<std::uint8_t, 1> none{};
  ASSERT_LT(read(wire, none.data(), 1), 1) << "nothing yet; the first read lets the device take input";
  ASSERT_EQ(table.OpenOutputByName("Virtual Raw MIDI 0-0:VirMIDI 0-0", 0), 1);
  std::mutex lock;
  std::vector<std::uint8_t> wireBytes;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    // A reader that takes bytes at a few times wire speed at most, in bursts, as a device's
    // driver does: a writer that does not pace itself overflows the 4 KiB buffer at once.
    std::array<std::uint8_t, 128> buffer{};
    while (!done) {
      const ssize_t n = read(wire, buffer.data(), buffer.size());
      if (n > 0) {
        const std::lock_guard guard(lock);
        wireBytes.insert(wireBytes.end(), buffer.begin(), buffer.begin() + n);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  const std::vector<std::byte> dump = Sysex(12000);
  const auto start = std::chrono::steady_clock::now();
  const auto received = [&] {
    const std::lock_guard guard(lock);
    return wireBytes.size();
  };
  table.PlayLong(0, dump);
  // The engine is not held up while the wire carries the dump: the next message for another
  // output, and the next command, go at once.
  EXPECT_LT(received(), dump.size() / 2) << "PlayLong returned before the dump was on the wire";
  Synth synth;
  ASSERT_EQ(table.OpenOutputByName("Synth in", 1), 1);
  table.PlayShort(1, PackShortMessage(0x90, 60, 100));
  table.Flush();
  EXPECT_EQ(synth.Bytes(3).size(), 3U);
  EXPECT_LT(received(), dump.size() / 2) << "the other output played while the dump was still on its wire";
  table.PlayShort(0, PackShortMessage(0x80, 60, 0)); // behind the dump on its own wire
  WaitUntil([&] { return received() >= dump.size() + 3; }, std::chrono::seconds(10));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  done = true;
  reader.join();
  close(wire);
  ASSERT_EQ(wireBytes.size(), dump.size() + 3);
  EXPECT_TRUE(std::equal(dump.begin(), dump.end(), wireBytes.begin(),
                         [](std::byte a, std::uint8_t b) { return a == std::byte{b}; }));
  EXPECT_EQ(std::vector<std::uint8_t>(wireBytes.end() - 3, wireBytes.end()), (std::vector<std::uint8_t>{0x80, 60, 0}));
  EXPECT_GE(seconds, (12000.0 - 4096.0) / 3125.0 * 0.95) << "paced at wire speed beyond the kernel's buffer";
}

} // namespace
} // namespace kestrel::midi
