// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The local MIDI outputs the client engine plays on: sixteen slots, one per server port. The
// sequencer's OutputTable is the one implementation in the program.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kestrel {

class AutoResetEvent;

class MidiOutputs {
public:
  enum class SlotState { Empty, NotConnected, Open };
  static constexpr int kSlots = 16;

  virtual ~MidiOutputs() = default;
  // 1 when the slot is usable (open, or routed to nothing by "--Not Connected--"), 0 otherwise.
  virtual int OpenOutputByName(std::string_view name, int index) = 0;
  virtual void CloseOutput(int index) = 0;
  virtual void CloseAllOutputs() = 0;
  [[nodiscard]] virtual SlotState State(int index) const noexcept = 0;
  // May gather the message with others until Flush.
  virtual void PlayShort(int index, std::uint32_t word) noexcept = 0;
  // Sends what PlayShort gathered, in order. The client engine calls it after every datagram.
  virtual void Flush() noexcept {}
  // Raises an error carrying the system's text when the device refuses.
  virtual void PlayLong(int index, std::span<const std::byte> bytes) = 0;
  // What is played on `slot` (-1: every slot) from now until NotesOff is the silence of an end
  // (a Note Off for each note left on): it reaches the device even when closing the slot drops
  // what waits for it.
  virtual void BeginSilence(int /*slot*/) noexcept {}
  // All Notes Off and Sustain Off on all channels of `slot` (-1: every open slot).
  virtual void NotesOff(int slot = -1) noexcept = 0;
  // Waits for room at a reader end early while `breaker` is set (the engine's command event):
  // the window never waits on a slow reader. Before the first open; client engine thread.
  virtual void SetWaitBreaker(const AutoResetEvent* /*breaker*/) noexcept {}
  // Open slots whose device went away are looked at: one that is present again under its name
  // is connected to it anew. Returns bits: 1 << slot for each slot reconnected, 1 << (16 + slot)
  // for each slot found gone (once per going). Client engine thread.
  virtual unsigned ReviveOutputs() { return 0; }
  // Messages for the slot that its reader refused or its wire had no room for, since the outputs
  // were made. Any thread.
  [[nodiscard]] virtual std::uint32_t DroppedMessages(int /*index*/) const noexcept { return 0; }
};

} // namespace kestrel
