// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Capture: the eight virtual ports and one ordinary MIDI In device, read from the sequencer on one
// capture thread and turned into records in the send queue.
//
// Kestrel's sequencer client reads a source by subscribing it to a port of its own. Opening and
// closing queue the open and close notices; a source that goes away (its program ended, a USB
// cable pulled) gives a close notice too. System-exclusive data arrives in pieces and is gathered
// into buffers of at most 65536 bytes, each leaving as one long record.

#include "base/tick_clock.hpp"
#include "core/event_record.hpp"
#include "midi/alsa_seq.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>

namespace kestrel {
class SendQueue;
class AutoResetEvent;
struct WindowFlags;
} // namespace kestrel

namespace kestrel::midi {

// A failed MIDI call, carrying the system's text for it.
class MidiError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Returns when `result` is not negative; otherwise raises the system's text for it.
void MidiResultCheck(int result);

// What capture tells the main window. Implementations must return quickly and never block.
class CaptureObserver {
public:
  virtual ~CaptureObserver() = default;
  // A record of `port` (1..8) was queued: light its lamp. Capture thread or the caller of
  // CaptureCallback (the lamps' test notes, on the user interface thread).
  virtual void LampTrigger(int port) noexcept = 0;
  // An input could not be opened (slot 0..7 a virtual port, 9 the MIDI In device). UI thread.
  virtual void InputOpenFailed(int inputIndex) = 0;
  // A virtual port was not found any more; `found` ports remain usable. UI thread.
  virtual void VirtualPortsVanished(int found) = 0;
  // A captured source went away while open; its close notice is queued. Capture thread.
  virtual void InputVanished(int inputIndex) noexcept = 0;
};

class InputHub {
public:
  static constexpr int kSlots = 16;
  static constexpr int kMidiInSlot = 9; // the ordinary MIDI In device; 0..7 are the virtual ports
  static constexpr std::size_t kSysexBufferSize = kMaxLongMessage;

  // `seq` is Kestrel's sequencer client (may be null: no sequencer, nothing opens). Starts the
  // capture thread, which alone reads the handle; the hub puts the handle into non-blocking mode,
  // which suits every other user of it too, since they only write events for direct delivery.
  // Everything passed in must outlive the hub.
  InputHub(snd_seq_t* seq, SendQueue& queue, const WindowFlags& flags, CaptureObserver& observer,
           const TickClock& clock = SystemClock());
  ~InputHub(); // closes every input and stops the capture thread
  InputHub(const InputHub&) = delete;
  InputHub& operator=(const InputHub&) = delete;

  // Usable virtual ports, 0..8: counted at construction, lowered when one vanishes, set anew
  // after the provider restarts. Read from any thread.
  [[nodiscard]] int VirtualPortCount() const noexcept { return virtualPortCount_.load(std::memory_order_relaxed); }
  void SetVirtualPortCount(int count) noexcept { virtualPortCount_.store(count, std::memory_order_relaxed); }

  // Opens (or closes) slot `index` on `device`. A slot open on another address (the device came
  // back under a new number) is reopened. An open that fails is reported with InputOpenFailed.
  // UI thread.
  void SetInputOpen(const std::optional<MidiPort>& device, int index, bool open, bool reportFailure = true);

  // Makes the slots match the server's port check boxes and the MIDI In choice. A virtual port
  // that is not found lowers VirtualPortCount (ports from it on are left as they are). UI thread.
  void RefreshInputs(const std::array<bool, kVirtualPorts>& serverPorts, const std::string& midiInChoice);

  void CloseAllInputs(); // UI thread

  // Devices came back by name: every virtual port of the first `wantedPorts` whose check box is
  // on, and the MIDI In device of this name, that is not open now (it went away) and is present
  // again, is opened. The virtual port count rises again as far as `wantedPorts` when the
  // provider brought its ports back. A device that refuses (held by another program) is left for
  // the next change, the user's choice untouched. Returns the slots that opened, as bits
  // (1 << slot). UI thread.
  // Inputs Kestrel still takes for open whose subscription the sequencer no longer has are
  // closed: their source went away while its notices were lost (dropped with everything else when
  // capture fell behind), and may be back under the same address. Returns the slots closed, as
  // bits, for the caller to say so before it reopens them. UI thread.
  unsigned CloseUnsubscribed();

  unsigned ReopenReturned(const std::array<bool, kVirtualPorts>& serverPorts, const std::string& midiInChoice,
                          int wantedPorts);

  // Whether a client or port came or went on the sequencer since the last call (clears it):
  // the window then looks for devices that came back. Any thread.
  [[nodiscard]] bool TakeDevicesChanged() noexcept { return devicesChanged_.exchange(false); }

  // Times the sequencer emptied capture's input because it overran (capture fell behind); it
  // does not say how many events went with it. Any thread.
  [[nodiscard]] std::uint32_t Overruns() const noexcept { return overruns_.load(std::memory_order_relaxed); }

  [[nodiscard]] bool IsOpen(int index) const noexcept;
  // GetTickCount-style tick at which the slot was last opened (0 when never).
  [[nodiscard]] Tick OpenTick(int index) const noexcept;

  // Turns one notice of input `instance` (slot + 1; 10 for the MIDI In device) into a record and
  // queues it: MIM_DATA (param1 the packed short message, param2 its time in ms since the input
  // opened), MIM_OPEN and MIM_CLOSE. Does nothing while the window does not exist. Called by the
  // capture thread and, for test notes, by the lamps on the UI thread. Never allocates.
  void CaptureCallback(int instance, RecordType message, std::uint32_t param1, std::uint32_t param2);

private:
  struct Slot;
  void CaptureLoop();
  void HandleEvent(const snd_seq_event_t& ev);
  void HandleAnnounce(const snd_seq_event_t& ev);
  void Vanish(int index, std::int32_t expected);
  [[nodiscard]] bool Subscribed(int client, int port) const;
  void GatherSysex(int index, std::span<const std::byte> bytes);
  void FlushSysex(int index);
  [[nodiscard]] int SlotOf(int client, int port) const noexcept;
  [[nodiscard]] int PortOf(int instance) const noexcept;

  snd_seq_t* seq_;
  SendQueue& queue_;
  const WindowFlags& flags_;
  CaptureObserver& observer_;
  const TickClock& clock_;
  int capturePort_ = -1;
  std::atomic<int> virtualPortCount_{0};
  std::atomic<bool> devicesChanged_{false};
  std::atomic<std::uint32_t> overruns_{0};
  std::array<std::unique_ptr<Slot>, kSlots> slots_;
  std::unique_ptr<AutoResetEvent> stop_;
  std::thread thread_;
};

} // namespace kestrel::midi
