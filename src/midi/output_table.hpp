// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The client side's local MIDI outputs: sixteen slots, one per server port, each empty, routed
// to nothing ("--Not Connected--"), or open on a local MIDI Out device. Each open slot has a port
// of Kestrel's own connected to its device, so two slots may share one device.

#include "core/midi_outputs.hpp"
#include "midi/alsa_seq.hpp"
#include "midi/flow_control.hpp"
#include "midi/paced_writer.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>

namespace kestrel {
class DropCounters;
class Translator;
} // namespace kestrel

namespace kestrel::midi {

class OutputTable final : public MidiOutputs {
public:
  static constexpr std::size_t kSysexChunk = 256; // bytes per sequencer event of a long message

  // `seq` may be null (no sequencer: every open fails). Both must outlive the table, and so must
  // `drops`, where the messages dropped are counted too when given.
  OutputTable(snd_seq_t* seq, const Translator& translator, DropCounters* drops = nullptr);
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
  // datagram's worth; those to hardware ports are queued for their wire (PacedWriter). A message
  // a reader refuses, or that its wire has no room for, is dropped and counted. Never allocates.
  // Client engine thread.
  void PlayShort(int index, std::uint32_t word) noexcept override;
  void Flush() noexcept override;

  // Plays a system-exclusive message of up to 65536 bytes (after what PlayShort gathered), whole
  // and in order: queued for the writer's thread (PacedWriter), which hands it on as the device
  // makes room, at its wire's speed or as its reader takes it, while the engine goes on. A reader
  // that takes nothing for 2 s loses what waits for it, counted; one that has part of a message
  // gets its end. The bytes are copied, so the caller's buffer may go once this returns.
  void PlayLong(int index, std::span<const std::byte> bytes) override;

  [[nodiscard]] std::uint32_t DroppedMessages(int index) const noexcept override;
  unsigned ReviveOutputs() override;
  void SetWaitBreaker(const AutoResetEvent* breaker) noexcept override { breaker_ = breaker; }

  // All Notes Off and Sustain Off on all 16 channels of the slot (-1: every open slot): what a
  // lost connection leaves sounding is silenced.
  void BeginSilence(int slot) noexcept override;
  void NotesOff(int slot = -1) noexcept override;

private:
  struct Slot {
    SlotState state = SlotState::Empty;
    bool paced = false; // a hardware port, everything written through pacer_
    bool laned = false; // long messages, and what follows them, written through pacer_
    bool gone = false;  // its device went away; reconnected by name when it is back
    int port = -1;      // our own port for this slot, made at its first opening
    MidiPort device;
    snd_midi_event_t* encoder = nullptr;
    std::optional<ReaderBudget> budget;
  };
  // Connects the slot's port to `device` (known by name) and opens the slot on it; 1 when it is
  // usable, 0 with the slot as it was.
  int Connect(int index, const MidiPort& device);
  [[nodiscard]] bool Connected(const Slot& slot) const;
  void Dropped(int index, std::uint32_t messages = 1) noexcept;

  snd_seq_t* seq_;
  const Translator& translator_;
  DropCounters* drops_;
  std::array<Slot, kSlots> slots_{};
  std::array<std::atomic<std::uint32_t>, kSlots> dropped_{};
  const AutoResetEvent* breaker_ = nullptr;
  std::mutex directLock_;              // alsa-lib's buffer for direct writes of long events
  std::unique_ptr<PacedWriter> pacer_; // with the sequencer
};

} // namespace kestrel::midi
