// SPDX-License-Identifier: GPL-3.0-or-later
// Speed of MIDI on the sequencer: a program playing into "Kestrel Port1" through the provider
// into Kestrel's capture and the send queue, and records played out to a local device.
// Run inside the virtual machine (scripts/bench does): it emulates the processor, so the figures
// are for comparing versions, not absolute.
#include "bench_support.hpp"
#include "config/translation.hpp"
#include "core/dump_store.hpp"
#include "core/send_queue.hpp"
#include "core/window_flags.hpp"
#include "driverctl/provider_control.hpp"
#include "driverctl/provider_files.hpp"
#include "midi/flow_control.hpp"
#include "midi/input_hub.hpp"
#include "midi/output_table.hpp"

#include "support/counting_new.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <poll.h>
#include <thread>
#include <vector>

using kestrel::test::allocations;

namespace kestrel {
namespace {

using bench::Percentile;
using Clock = std::chrono::steady_clock;

struct NoWindow final : midi::CaptureObserver {
  void LampTrigger(int) noexcept override {}
  void InputOpenFailed(int) override {}
  void VirtualPortsVanished(int) override {}
  void InputVanished(int) noexcept override {}
};

// A program playing into a port, waiting for room at the reader as a good sender does.
struct Player {
  Player() : seq(midi::OpenSequencer("Bench player")) {
    port = snd_seq_create_simple_port(seq.get(), "out", SND_SEQ_PORT_CAP_READ, SND_SEQ_PORT_TYPE_APPLICATION);
    dest = *midi::DeviceDirectory(seq.get()).FindMidiOutDevice("Kestrel Port1");
    budget.emplace(seq.get(), port, midi::Address(dest));
  }
  void Note(unsigned char note, unsigned char velocity) {
    snd_seq_event_t ev{};
    ev.type = SND_SEQ_EVENT_NOTEON;
    ev.data.note.note = note;
    ev.data.note.velocity = velocity;
    ev.source.port = static_cast<unsigned char>(port);
    ev.dest.client = static_cast<unsigned char>(dest.client);
    ev.dest.port = static_cast<unsigned char>(dest.port);
    ev.queue = SND_SEQ_QUEUE_DIRECT;
    budget->Reserve(1);
    snd_seq_event_output_direct(seq.get(), &ev);
  }
  midi::SeqHandle seq;
  int port = -1;
  midi::MidiPort dest;
  std::optional<midi::ReaderBudget> budget;
};

// The server engine's side: takes records as they come, noting when each note arrived.
struct Consumer {
  explicit Consumer(SendQueue& q, std::size_t expected) : queue(q), arrival(expected) {
    thread = std::thread([this] { Run(); });
  }
  ~Consumer() {
    stop = true;
    queue.WakeEvent().Set();
    thread.join();
  }
  void Run() {
    pollfd fd{queue.WakeEvent().Fd(), POLLIN, 0};
    while (!stop) {
      poll(&fd, 1, 100);
      queue.WakeEvent().Consume();
      const auto now = Clock::now();
      const std::span<std::byte> bytes = queue.Take();
      for (std::size_t at = 0; at + kShortRecordSize <= bytes.size();) {
        const EventRecord h = LoadHeader(bytes.data() + at);
        if (h.Is(RecordType::MIM_DATA)) {
          const auto word = static_cast<std::uint32_t>(LoadLE32(bytes.data() + at + kHeaderSize));
          const std::size_t i = ((word >> 8U) & 0x7FU) | ((((word >> 16U) & 0x7FU) - 1U) << 7U);
          if (i < arrival.size()) arrival[i] = now;
          received.fetch_add(1);
        }
        at += kHeaderSize + static_cast<std::size_t>(h.dataLength);
      }
    }
  }
  SendQueue& queue;
  std::vector<Clock::time_point> arrival;
  std::atomic<std::size_t> received{0};
  std::atomic<bool> stop{false};
  std::thread thread;
};

int Run() {
  std::string error;
  if (!driverctl::EnsureProviderRunning(std::filesystem::path(KESTREL_PORTS_PROGRAM).parent_path(), &error)) {
    std::fprintf(stderr, "midi_bench: %s\n", error.c_str());
    return 1;
  }
  WindowFlags flags;
  flags.present = true;
  DumpStore dump(SystemClock(), flags);
  SendQueue queue(dump, flags);
  NoWindow window;
  midi::SeqHandle seq = midi::OpenSequencer("Kestrel engine");
  midi::InputHub hub(seq.get(), queue, flags, window);
  hub.SetInputOpen(midi::DeviceDirectory(seq.get()).FindMidiInDevice("Kestrel Port1"), 0, true);
  Player player;

  std::printf("%-58s %s\n", "What (in the virtual machine, emulated processor)", "Figure");
  { // Latency: one event every 2 ms, written into the port, until its record is in the queue.
    constexpr std::size_t kEvents = 2000;
    Consumer consumer(queue, kEvents);
    std::vector<Clock::time_point> sent(kEvents);
    for (std::size_t i = 0; i < kEvents; ++i) {
      sent[i] = Clock::now();
      player.Note(static_cast<unsigned char>(i & 0x7FU), static_cast<unsigned char>((i >> 7U) + 1U));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    while (consumer.received < kEvents) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::vector<double> us;
    for (std::size_t i = 0; i < kEvents; ++i) {
      us.push_back(std::chrono::duration<double, std::micro>(consumer.arrival[i] - sent[i]).count());
    }
    std::printf("%-58s p50 %.0f us, p99 %.0f us, max %.0f us\n", "Port1 write -> record in the queue (2000 events)",
                Percentile(us, 0.5), Percentile(us, 0.99), Percentile(us, 1.0));
  }
  { // Capture throughput, and allocations on the way.
    constexpr std::size_t kEvents = 50000;
    Consumer consumer(queue, 0);
    const long before = allocations.load();
    const auto start = Clock::now();
    for (std::size_t i = 0; i < kEvents; ++i) player.Note(static_cast<unsigned char>(i & 0x7FU), 100);
    while (consumer.received < kEvents) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%-58s %.0f events/s\n", "Captured from Kestrel Port1 into the queue (50000 events)",
                static_cast<double>(kEvents) / seconds);
    std::printf("%-58s %ld\n", "Allocations in Kestrel while capturing them", allocations.load() - before);
  }
  { // Output throughput: records played to a local device that counts what it reads.
    midi::SeqHandle synth = midi::OpenSequencer("Bench synth");
    snd_seq_create_simple_port(synth.get(), "Bench synth in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                               SND_SEQ_PORT_TYPE_APPLICATION);
    std::atomic<std::size_t> got{0};
    std::atomic<bool> stop{false};
    std::thread reader([&] {
      snd_seq_nonblock(synth.get(), 1);
      pollfd fd{};
      snd_seq_poll_descriptors(synth.get(), &fd, 1, POLLIN);
      while (!stop) {
        poll(&fd, 1, 50);
        snd_seq_event_t* ev = nullptr;
        while (snd_seq_event_input(synth.get(), &ev) >= 0) {
          if (ev != nullptr && ev->type == SND_SEQ_EVENT_NOTEON) got.fetch_add(1);
        }
      }
    });
    Translator english;
    midi::OutputTable outputs(seq.get(), english);
    outputs.OpenOutputByName("Bench synth in", 0);
    constexpr std::size_t kEvents = 50000;
    const long before = allocations.load();
    const auto start = Clock::now();
    // As the client engine plays them: a datagram's worth (14 short records) at a time.
    for (std::size_t i = 0; i < kEvents; ++i) {
      outputs.PlayShort(0, PackShortMessage(0x90, static_cast<std::uint8_t>(i & 0x7FU), 100));
      if (i % 14 == 13) outputs.Flush();
    }
    outputs.Flush();
    while (got < kEvents) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const long allocated = allocations.load() - before;
    stop = true;
    reader.join();
    std::printf("%-58s %.0f events/s\n", "Played from records to a local device (50000 events)",
                static_cast<double>(kEvents) / seconds);
    std::printf("%-58s %ld\n", "Allocations while playing them", allocated);
  }
  driverctl::StopProvider();
  return 0;
}

} // namespace
} // namespace kestrel

int main() { return kestrel::Run(); }
