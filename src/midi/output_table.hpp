#pragma once

// The client side's local MIDI outputs: sixteen slots, one per server port, each empty, routed
// to nothing ("--Not Connected--"), or open on a local MIDI Out device. Each open slot has a port
// of Kestrel's own connected to its device, so two slots may share one device.

#include "core/midi_outputs.hpp"
#include "midi/alsa_seq.hpp"
#include "midi/flow_control.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

namespace kestrel {
class Translator;
}

namespace kestrel::midi {

// A hardware port (a kernel client with a sound card) takes bytes into a 4 KiB buffer that drains
// at MIDI's wire speed; bytes beyond it are dropped by the kernel without a word. Writes to such a
// port are paced so that the buffer never overflows.
struct WirePace {
  static constexpr double kWireBytesPerSecond = 3125; // 31250 baud, ten bits a byte
  static constexpr double kHardwareBuffer = 4096;     // the kernel's output buffer of a MIDI port

  double inFlight = 0; // bytes written and not yet on the wire, as far as we can tell
  std::chrono::steady_clock::time_point last{};
  void Before(std::size_t bytes);
};

class OutputTable final : public MidiOutputs {
public:
  static constexpr std::size_t kSysexChunk = 256; // bytes per sequencer event of a long message

  // `seq` may be null (no sequencer: every open fails). Both must outlive the table.
  OutputTable(snd_seq_t* seq, const Translator& translator);
  ~OutputTable() override; // closes every slot
  OutputTable(const OutputTable&) = delete;
  OutputTable& operator=(const OutputTable&) = delete;

  // Opens slot `index` on the device of this name (closing what it held first). The translated
  // "--Not Connected--", in any letter case, routes the slot to nothing. Returns 1 when the slot
  // is usable, 0 when the device is missing or refuses (another program holds it exclusively).
  // Client engine thread.
  int OpenOutputByName(std::string_view name, int index) override;
  void CloseOutput(int index) override;
  void CloseAllOutputs() override;

  [[nodiscard]] SlotState State(int index) const noexcept override;

  // Plays a packed short message (status lowest) on an open slot; does nothing otherwise.
  // Messages to programs are gathered and leave together at Flush, one system call for a whole
  // datagram's worth; those to hardware ports go at once, paced. Failures are ignored: a message
  // a reader refuses is dropped. Never allocates. Client engine thread.
  void PlayShort(int index, std::uint32_t word) noexcept override;
  void Flush() noexcept override;

  // Plays a system-exclusive message of up to 65536 bytes (after what PlayShort gathered), whole
  // and in order, waiting for room
  // at the device's reader as it goes; the bytes are copied by the sequencer, so the caller's
  // buffer may go once this returns. Raises MidiError when the sequencer refuses.
  void PlayLong(int index, std::span<const std::byte> bytes) override;

  // All Notes Off and Sustain Off on all 16 channels of every open slot: what a lost connection
  // leaves sounding is silenced.
  void NotesOff() noexcept override;

private:
  struct Slot {
    SlotState state = SlotState::Empty;
    std::optional<WirePace> pace;
    int port = -1; // our own port for this slot, made at its first opening
    MidiPort device;
    snd_midi_event_t* encoder = nullptr;
    std::optional<ReaderBudget> budget;
  };
  void Send(Slot& slot, snd_seq_event_t& ev);

  snd_seq_t* seq_;
  const Translator& translator_;
  std::array<Slot, kSlots> slots_{};
};

} // namespace kestrel::midi
