// SPDX-License-Identifier: GPL-3.0-or-later
// Output slots on a real sequencer: what the client engine plays reaches the local device byte for
// byte, as a program that reads the port (aseqdump, or a reader of our own) sees it.
#include "base/auto_reset_event.hpp"
#include "config/translation.hpp"
#include "core/drop_counters.hpp"
#include "midi/input_hub.hpp"
#include "midi/output_table.hpp"
#include "support/child_process.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <fcntl.h>
#include <fstream>
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

  // Long messages to the frozen reader wait for it on the writer's thread; what no queue has room
  // for is dropped at once, and what waits goes once the reader took nothing for 2 s, counted. The
  // outputs go on meanwhile (it used to end the client engine with an error box).
  const std::uint32_t before = table.DroppedMessages(0);
  EXPECT_NO_THROW(table.PlayLong(0, Sysex(10000)));
  EXPECT_NO_THROW(table.PlayLong(0, Sysex(65536)));
  EXPECT_EQ(table.DroppedMessages(0), before + 1) << "the second has no room behind the first";
  EXPECT_TRUE(WaitUntil([&] { return table.DroppedMessages(0) == before + 2; }, std::chrono::seconds(5)));
  EXPECT_EQ(drops.Get(Drop::OutputRefused), table.DroppedMessages(0)) << "the program's counter counts them all";
  table.PlayLong(1, Sysex(10000));
  EXPECT_EQ(synth.Bytes(expected.size() + 10000).size(), expected.size() + 10000);
}

// The system-exclusive messages of a standard MIDI file as arecordmidi writes them: an F0 event,
// and F7 events that continue it.
std::vector<std::vector<std::uint8_t>> RecordedDumps(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto varLength = [&](std::size_t& at) {
    std::size_t value = 0;
    while (at < data.size()) {
      const std::uint8_t b = data[at++];
      value = (value << 7U) | (b & 0x7FU);
      if ((b & 0x80U) == 0) break;
    }
    return value;
  };
  std::vector<std::vector<std::uint8_t>> dumps;
  bool open = false;
  for (std::size_t at = 22; at < data.size();) { // the first track's events
    varLength(at);
    const std::uint8_t status = data[at++];
    if (status == 0xFF) {
      ++at;
      at += varLength(at);
      continue;
    }
    if (status != 0xF0 && status != 0xF7) break; // nothing else is played here
    const std::size_t n = varLength(at);
    if (status == 0xF0) {
      dumps.push_back({0xF0});
    } else if (!open) {
      dumps.emplace_back();
    }
    dumps.back().insert(dumps.back().end(), data.begin() + static_cast<std::ptrdiff_t>(at),
                        data.begin() + static_cast<std::ptrdiff_t>(std::min(at + n, data.size())));
    open = dumps.back().back() != 0xF7;
    at += n;
  }
  return dumps;
}

// A dump to a program that reads all the time, only slower than a burst, through "Midi Through":
// Kestrel waits for room at the program behind the through port, so each dump arrives whole, and
// nothing else waits for it meanwhile.
TEST_F(OutputTest, DumpsToAProgramReadingThroughMidiThroughArriveWholeEveryTime) {
  test::TempDir folder;
  ChildProcess recorder({"arecordmidi", "-p", "Midi Through:0", (folder.Path() / "dumps.mid").string()});
  const auto through = DeviceDirectory(seq.get()).FindMidiOutDevice("Midi Through Port-0");
  ASSERT_TRUE(through);
  ASSERT_TRUE(WaitUntil([&] { return DestinationRoom(seq.get(), Address(*through)) < 100000; }))
      << "arecordmidi reads the through port";
  Synth synth;
  ASSERT_EQ(table.OpenOutputByName("Midi Through Port-0", 0), 1);
  ASSERT_EQ(table.OpenOutputByName("Synth in", 1), 1);
  constexpr int kRuns = 10;
  const std::vector<std::byte> dump = Sysex(10000);
  for (int run = 0; run < kRuns; ++run) {
    table.PlayLong(0, dump);
    table.PlayShort(1, PackShortMessage(0x90, static_cast<std::uint8_t>(run), 100)); // not held up by the dump
    table.Flush();
    EXPECT_EQ(synth.Bytes(3 * static_cast<std::size_t>(run + 1)).size(), 3 * static_cast<std::size_t>(run + 1));
  }
  table.PlayShort(0, PackShortMessage(0x90, 1, 1)); // behind the dumps, in order: the last thing recorded
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(recorder.Terminate(), 0);
  const auto dumps = RecordedDumps(folder.Path() / "dumps.mid");
  EXPECT_EQ(dumps.size(), static_cast<std::size_t>(kRuns));
  for (std::size_t i = 0; i < dumps.size(); ++i) {
    EXPECT_TRUE(
        std::ranges::equal(dumps[i], std::span(reinterpret_cast<const std::uint8_t*>(dump.data()), dump.size())))
        << "dump " << i << ": " << dumps[i].size() << " of " << dump.size() << " bytes";
  }
  EXPECT_EQ(table.DroppedMessages(0), 0U);
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
// What reaches a virtual raw MIDI device's wire, read as a device's driver does: bytes at a few
// times wire speed at most, in bursts. A writer that does not pace itself overflows the 4 KiB
// buffer at once.
class Wire {
public:
  explicit Wire(int device)
      : fd_(open(("/dev/snd/midiC0D" + std::to_string(device)).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {
    std::array<std::uint8_t, 1> none{};
    // The first read lets the device take input.
    if (fd_ >= 0 && read(fd_, none.data(), 1) > 0) bytes_.push_back(none[0]);
    thread_ = std::thread([this] { Read(); });
  }
  ~Wire() {
    done_ = true;
    thread_.join();
    if (fd_ >= 0) close(fd_);
  }
  Wire(const Wire&) = delete;
  Wire& operator=(const Wire&) = delete;
  [[nodiscard]] bool IsOpen() const noexcept { return fd_ >= 0; }
  [[nodiscard]] std::size_t Received() {
    const std::lock_guard guard(lock_);
    return bytes_.size();
  }
  // Waits until `count` bytes arrived, or nothing more for a second.
  [[nodiscard]] std::vector<std::uint8_t> Bytes(std::size_t count,
                                                std::chrono::seconds wait = std::chrono::seconds(10)) {
    std::size_t last = 0;
    auto quietSince = std::chrono::steady_clock::now();
    WaitUntil(
        [&] {
          const std::size_t n = Received();
          if (n != last) quietSince = std::chrono::steady_clock::now();
          last = n;
          return n >= count || std::chrono::steady_clock::now() - quietSince > std::chrono::seconds(1);
        },
        wait);
    const std::lock_guard guard(lock_);
    return bytes_;
  }

private:
  void Read() {
    std::array<std::uint8_t, 128> buffer{};
    while (!done_) {
      const ssize_t n = read(fd_, buffer.data(), buffer.size());
      if (n > 0) {
        const std::lock_guard guard(lock_);
        bytes_.insert(bytes_.end(), buffer.begin(), buffer.begin() + n);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  int fd_;
  std::mutex lock_;
  std::vector<std::uint8_t> bytes_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// The messages in raw MIDI bytes, running status undone: each a status byte and its data.
std::vector<std::vector<std::uint8_t>> Messages(const std::vector<std::uint8_t>& bytes) {
  std::vector<std::vector<std::uint8_t>> messages;
  std::uint8_t running = 0;
  for (const std::uint8_t b : bytes) {
    if (b >= 0xF8) continue;
    if (b == 0xF7 && !messages.empty() && messages.back().front() == 0xF0) {
      messages.back().push_back(b);
      running = 0;
      continue;
    }
    if (b >= 0x80) {
      messages.push_back({b});
      running = b < 0xF0 ? b : 0;
      continue;
    }
    const bool complete = messages.empty() || messages.back().front() == 0xF7 ||
                          (messages.back().front() != 0xF0 &&
                           messages.back().size() == ((messages.back().front() & 0xE0) == 0xC0 ? 2U : 3U));
    if (complete && running != 0) messages.push_back({running});
    if (!messages.empty()) messages.back().push_back(b);
  }
  return messages;
}

// A hardware port's kernel buffer holds 4 KiB and drains at wire speed: a long dump is paced so
// that every byte arrives, and the pacing holds up nothing else. The virtual raw MIDI device
// shows what reaches a port's wire.
TEST_F(OutputTest, ALongDumpToAHardwarePortArrivesWholeWhileOtherOutputsPlayOn) {
  Wire wire(0);
  ASSERT_TRUE(wire.IsOpen()) << "the virtual raw MIDI device";
  ASSERT_EQ(wire.Received(), 0U) << "nothing yet";
  ASSERT_EQ(table.OpenOutputByName("Virtual Raw MIDI 0-0:VirMIDI 0-0", 0), 1);
  const std::vector<std::byte> dump = Sysex(12000);
  const auto start = std::chrono::steady_clock::now();
  table.PlayLong(0, dump);
  // The engine is not held up while the wire carries the dump: the next message for another
  // output, and the next command, go at once.
  EXPECT_LT(wire.Received(), dump.size() / 2) << "PlayLong returned before the dump was on the wire";
  Synth synth;
  ASSERT_EQ(table.OpenOutputByName("Synth in", 1), 1);
  table.PlayShort(1, PackShortMessage(0x90, 60, 100));
  table.Flush();
  EXPECT_EQ(synth.Bytes(3).size(), 3U);
  EXPECT_LT(wire.Received(), dump.size() / 2) << "the other output played while the dump was still on its wire";
  table.PlayShort(0, PackShortMessage(0x80, 60, 0)); // behind the dump on its own wire
  const std::vector<std::uint8_t> wireBytes = wire.Bytes(dump.size() + 3);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(wireBytes.size(), dump.size() + 3);
  EXPECT_TRUE(std::equal(dump.begin(), dump.end(), wireBytes.begin(),
                         [](std::byte a, std::uint8_t b) { return a == std::byte{b}; }));
  EXPECT_EQ(std::vector<std::uint8_t>(wireBytes.end() - 3, wireBytes.end()), (std::vector<std::uint8_t>{0x80, 60, 0}));
  EXPECT_GE(seconds, (12000.0 - 4096.0) / 3125.0 * 0.95) << "paced at wire speed beyond the kernel's buffer";
}

// Two hardware ports with room on their wires in the same pass of the writer: each gets every
// byte of its dump. The writer is held at its write while both dumps are queued, so that it
// takes from both devices in one pass, as a busy single processor makes it do.
TEST_F(OutputTest, TwoHardwarePortsServedInOnePassBothGetEveryByte) {
  Wire first(0);
  Wire second(1);
  ASSERT_TRUE(first.IsOpen() && second.IsOpen());
  const DeviceDirectory directory(seq.get());
  const auto a = directory.FindMidiOutDevice("Virtual Raw MIDI 0-0:VirMIDI 0-0");
  const auto b = directory.FindMidiOutDevice("Virtual Raw MIDI 0-1:VirMIDI 0-1");
  ASSERT_TRUE(a && b);
  const int port =
      snd_seq_create_simple_port(seq.get(), "paced", SND_SEQ_PORT_CAP_READ, SND_SEQ_PORT_TYPE_MIDI_GENERIC);
  // Connected, as the output table connects its slots: a hardware port takes events only then.
  ASSERT_EQ(snd_seq_connect_to(seq.get(), port, a->client, a->port), 0);
  ASSERT_EQ(snd_seq_connect_to(seq.get(), port, b->client, b->port), 0);
  std::mutex direct;
  PacedWriter pacer(seq.get(), direct);
  pacer.Open(0, port, {static_cast<unsigned char>(a->client), static_cast<unsigned char>(a->port)});
  pacer.Open(1, port, {static_cast<unsigned char>(b->client), static_cast<unsigned char>(b->port)});
  const std::vector<std::byte> dumpA = Sysex(4096);
  const std::vector<std::byte> dumpB = Sysex(4000);
  const auto bytes = [](const std::vector<std::byte>& v) {
    return std::span(reinterpret_cast<const std::uint8_t*>(v.data()), v.size());
  };
  {
    const std::unique_lock hold(direct);
    const std::array<std::uint8_t, 1> tick{0xF8};
    ASSERT_TRUE(pacer.Queue(1, tick));
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // taken; the writer now waits at its write
    ASSERT_TRUE(pacer.Queue(0, bytes(dumpA)));
    ASSERT_TRUE(pacer.Queue(1, bytes(dumpB)));
  }
  const std::vector<std::uint8_t> gotA = first.Bytes(dumpA.size());
  const std::vector<std::uint8_t> gotB = second.Bytes(dumpB.size() + 1);
  EXPECT_TRUE(std::ranges::equal(gotA, bytes(dumpA))) << gotA.size() << " of " << dumpA.size() << " bytes";
  ASSERT_FALSE(gotB.empty());
  EXPECT_TRUE(std::ranges::equal(std::span(gotB).subspan(1), bytes(dumpB)))
      << gotB.size() - 1 << " of " << dumpB.size() << " bytes";
}

// Switching the client off while a synth on a hardware port has notes held and a long dump still
// on its way: the backlog goes (counted), the dump the wire is in the middle of is ended, and the
// silence still reaches the device.
TEST_F(OutputTest, ClosingAHardwarePortDropsItsBacklogButNotItsSilence) {
  Wire wire(0);
  ASSERT_TRUE(wire.IsOpen());
  ASSERT_EQ(table.OpenOutputByName("Virtual Raw MIDI 0-0:VirMIDI 0-0", 0), 1);
  table.PlayShort(0, PackShortMessage(0x91, 60, 100));
  table.PlayShort(0, PackShortMessage(0x91, 64, 100));
  table.PlayLong(0, Sysex(4096));
  table.PlayLong(0, Sysex(4096)); // far more than the wire carries before the close
  // As the client engine ends a connection: each note left on, then All Notes Off, Sustain Off.
  table.BeginSilence(-1);
  table.PlayShort(0, PackShortMessage(0x81, 60, 0));
  table.PlayShort(0, PackShortMessage(0x81, 64, 0));
  table.NotesOff();
  // Once the first bytes are on the wire, the writer has filled the device's buffer, most of it
  // with the first dump.
  ASSERT_TRUE(WaitUntil([&] { return wire.Received() > 0; }));
  table.CloseOutput(0);
  const auto messages = Messages(wire.Bytes(SIZE_MAX, std::chrono::seconds(5)));
  ASSERT_GE(messages.size(), 3U + 2 + 32);
  EXPECT_EQ(messages[0], (std::vector<std::uint8_t>{0x91, 60, 100}));
  EXPECT_EQ(messages[1], (std::vector<std::uint8_t>{0x91, 64, 100}));
  EXPECT_EQ(messages[2].front(), 0xF0);
  EXPECT_EQ(messages[2].back(), 0xF7) << "the dump on the wire is ended, not cut";
  EXPECT_LT(messages[2].size(), 4096U);
  const std::vector<std::vector<std::uint8_t>> tail(messages.end() - 34, messages.end());
  EXPECT_EQ(tail[0], (std::vector<std::uint8_t>{0x81, 60, 0}));
  EXPECT_EQ(tail[1], (std::vector<std::uint8_t>{0x81, 64, 0}));
  for (std::size_t ch = 0; ch < 16; ++ch) {
    EXPECT_EQ(tail[2 + 2 * ch], (std::vector<std::uint8_t>{static_cast<std::uint8_t>(0xB0 + ch), 123, 0})) << ch;
    EXPECT_EQ(tail[3 + 2 * ch], (std::vector<std::uint8_t>{static_cast<std::uint8_t>(0xB0 + ch), 64, 0})) << ch;
  }
  EXPECT_GE(table.DroppedMessages(0), 1U) << "the second dump, never begun, is counted";
  EXPECT_EQ(drops.Get(Drop::OutputRefused), table.DroppedMessages(0));
}

} // namespace
} // namespace kestrel::midi
