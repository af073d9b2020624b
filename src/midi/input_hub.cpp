// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/input_hub.hpp"

#include "base/auto_reset_event.hpp"
#include "core/drop_counters.hpp"
#include "core/send_queue.hpp"
#include "core/window_flags.hpp"
#include "platform/realtime.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sched.h>
#include <vector>

namespace kestrel::midi {

namespace {

constexpr std::int32_t kNoSource = -1;
constexpr std::size_t kInputPoolEvents = 2000; // the most the sequencer grants: room for bursts

constexpr std::int32_t Pack(int client, int port) noexcept { return (client << 8) | (port & 0xFF); }

// Bytes of a MIDI message that begins with `status` (system-exclusive excluded).
std::size_t MessageLength(unsigned status) noexcept {
  switch (status & 0xF0U) {
  case 0xC0:
  case 0xD0: return 2;
  case 0xF0:
    if (status == 0xF1 || status == 0xF3) return 2;
    if (status == 0xF2) return 3;
    return 1;
  default: return 3;
  }
}

} // namespace

void MidiResultCheck(int result) {
  if (result < 0) throw MidiError(snd_strerror(result));
}

struct InputHub::Slot {
  // Shared with the capture thread: which source feeds this slot, and since when.
  std::atomic<std::int32_t> source{kNoSource};
  std::atomic<std::uint32_t> generation{0};
  std::atomic<Tick> openTick{0};
  // UI thread only.
  bool open = false;
  MidiPort device;
  // Capture thread only.
  std::uint32_t seenGeneration = 0;
  snd_midi_event_t* decoder = nullptr;
  std::unique_ptr<std::byte[]> sysex; // record header + up to kSysexBufferSize bytes
  std::size_t sysexLength = 0;

  ~Slot() {
    if (decoder != nullptr) snd_midi_event_free(decoder);
  }
};

InputHub::InputHub(snd_seq_t* seq, SendQueue& queue, const WindowFlags& flags, CaptureObserver& observer,
                   const TickClock& clock)
    : seq_(seq), queue_(queue), flags_(flags), observer_(observer), clock_(clock),
      stop_(std::make_unique<AutoResetEvent>()) {
  for (auto& slot : slots_) slot = std::make_unique<Slot>();
  if (seq_ == nullptr) return;
  virtualPortCount_ = DeviceDirectory(seq_).CountVirtualPorts();
  // Kestrel subscribes sources to this port itself, so others need not see it as a destination.
  capturePort_ = snd_seq_create_simple_port(seq_, "capture", SND_SEQ_PORT_CAP_WRITE,
                                            SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
  MidiResultCheck(capturePort_);
  snd_seq_set_client_pool_input(seq_, kInputPoolEvents);
  // Room in alsa-lib's buffer for the largest event the pool can hold, or such an event would stay
  // at the head of the queue for ever.
  snd_seq_set_input_buffer_size(seq_, kInputPoolEvents * sizeof(snd_seq_event_t) + 4096);
  // Port and client exits arrive here, so that a source that goes away is closed.
  snd_seq_connect_from(seq_, capturePort_, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
  snd_seq_nonblock(seq_, 1);
  thread_ = std::thread([this] { CaptureLoop(); });
  NameThread(thread_.native_handle(), "kestrel-capture");
}

InputHub::~InputHub() {
  CloseAllInputs();
  stop_->Set();
  if (thread_.joinable()) thread_.join();
  if (seq_ != nullptr && capturePort_ >= 0) snd_seq_delete_simple_port(seq_, capturePort_);
}

bool InputHub::IsOpen(int index) const noexcept {
  return index >= 0 && index < kSlots && slots_[static_cast<std::size_t>(index)]->source.load() != kNoSource;
}

Tick InputHub::OpenTick(int index) const noexcept {
  return index >= 0 && index < kSlots ? slots_[static_cast<std::size_t>(index)]->openTick.load() : 0;
}

int InputHub::PortOf(int instance) const noexcept {
  return instance == kMidiInSlot + 1 ? flags_.midiInTarget.load(std::memory_order_relaxed) + 1 : instance;
}

void InputHub::CaptureCallback(int instance, RecordType message, std::uint32_t param1, std::uint32_t param2) {
  if (!flags_.present.load(std::memory_order_acquire)) return;
  const int port = PortOf(instance);
  const bool data = message == RecordType::MIM_DATA;
  const std::int32_t captureTime = data && instance >= 1 && instance <= kSlots
                                       ? static_cast<std::int32_t>(clock_.Now() - OpenTick(instance - 1))
                                       : 0;
  const ShortRecord record = MakeShortRecord(message, port, static_cast<std::int32_t>(param2), captureTime, param1);
  const int taken = queue_.Append(record);
  if (!data) return;
  // Let the sender catch up with a flooding input.
  if (queue_.Count() > SendQueue::kYieldThreshold) sched_yield();
  if (taken != 0 && flags_.present.load(std::memory_order_relaxed) && port >= 1 && port <= kVirtualPorts) {
    observer_.LampTrigger(port);
  }
}

void InputHub::SetInputOpen(const std::optional<MidiPort>& device, int index, bool open, bool reportFailure) {
  if (index < 0 || index >= kSlots) return;
  Slot& s = *slots_[static_cast<std::size_t>(index)];
  if (!open || !device) {
    if (!s.open) return;
    s.open = false;
    const std::int32_t old = s.source.exchange(kNoSource);
    s.generation.fetch_add(1);
    if (seq_ != nullptr) snd_seq_disconnect_from(seq_, capturePort_, s.device.client, s.device.port);
    // A source that vanished had its close notice queued already.
    if (old != kNoSource) { CaptureCallback(index + 1, RecordType::MIM_CLOSE, 0, clock_.Now() - s.openTick.load()); }
    return;
  }
  const std::int32_t address = Pack(device->client, device->port);
  if (s.open && s.source.load() == address) return;
  if (s.open) SetInputOpen(std::nullopt, index, false); // gone, or back under another address

  const int err = seq_ == nullptr ? -ENODEV : snd_seq_connect_from(seq_, capturePort_, device->client, device->port);
  if (err < 0) {
    if (reportFailure) observer_.InputOpenFailed(index);
    return;
  }
  s.open = true;
  s.device = *device;
  s.openTick = clock_.Now();
  s.generation.fetch_add(1);
  // The open notice goes first; events of the source are taken from the moment its address is set.
  CaptureCallback(index + 1, RecordType::MIM_OPEN, 0, 0);
  s.source.store(address);
}

void InputHub::RefreshInputs(const std::array<bool, kVirtualPorts>& serverPorts, const std::string& midiInChoice) {
  const DeviceDirectory directory(seq_);
  for (int i = 0; i < VirtualPortCount(); ++i) {
    const auto device = directory.FindMidiInDevice(VirtualPortName(i + 1));
    if (!device) {
      SetVirtualPortCount(i);
      observer_.VirtualPortsVanished(i);
      break;
    }
    SetInputOpen(device, i, serverPorts[static_cast<std::size_t>(i)]);
  }
  const auto device = directory.FindMidiInDevice(midiInChoice);
  SetInputOpen(device, kMidiInSlot, device.has_value());
}

unsigned InputHub::ReopenReturned(const std::array<bool, kVirtualPorts>& serverPorts, const std::string& midiInChoice,
                                  int wantedPorts) {
  const DeviceDirectory directory(seq_);
  unsigned opened = 0;
  const auto reopen = [&](int slot, std::string_view name) {
    if (IsOpen(slot)) return;
    const auto device = directory.FindMidiInDevice(name);
    if (!device) return;
    SetInputOpen(device, slot, true, false);
    if (IsOpen(slot)) opened |= 1U << static_cast<unsigned>(slot);
  };
  const int present = std::min(directory.CountVirtualPorts(), std::min(wantedPorts, kVirtualPorts));
  if (present > VirtualPortCount()) SetVirtualPortCount(present);
  for (int i = 0; i < VirtualPortCount(); ++i) {
    if (serverPorts[static_cast<std::size_t>(i)]) reopen(i, VirtualPortName(i + 1));
  }
  if (!midiInChoice.empty()) reopen(kMidiInSlot, midiInChoice);
  return opened;
}

unsigned InputHub::CloseUnsubscribed() {
  unsigned closed = 0;
  for (int i = 0; i < kSlots; ++i) {
    Slot& s = *slots_[static_cast<std::size_t>(i)];
    std::int32_t source = s.source.load();
    if (!s.open || source == kNoSource || Subscribed(source >> 8, source & 0xFF)) continue;
    // The capture thread may close it at the same moment, for a notice it did get: one of the two.
    if (!s.source.compare_exchange_strong(source, kNoSource)) continue;
    CaptureCallback(i + 1, RecordType::MIM_CLOSE, 0, clock_.Now() - s.openTick.load());
    closed |= 1U << static_cast<unsigned>(i);
  }
  return closed;
}

void InputHub::CloseAllInputs() {
  for (int i = 0; i < kSlots; ++i) SetInputOpen(std::nullopt, i, false);
}

int InputHub::SlotOf(int client, int port) const noexcept {
  const std::int32_t address = Pack(client, port);
  for (int i = 0; i < kSlots; ++i) {
    if (slots_[static_cast<std::size_t>(i)]->source.load(std::memory_order_acquire) == address) return i;
  }
  return -1;
}

// ---- The capture thread ----------------------------------------------------------------------

void InputHub::CaptureLoop() {
  AskForRealtime("kestrel-capture");

  const int seqFds = snd_seq_poll_descriptors_count(seq_, POLLIN);
  std::vector<pollfd> fds(static_cast<std::size_t>(seqFds) + 1);
  fds[0] = {stop_->Fd(), POLLIN, 0};
  snd_seq_poll_descriptors(seq_, fds.data() + 1, static_cast<unsigned>(seqFds), POLLIN);
  for (;;) {
    // A program that floods a port must not keep this real-time thread from blocking.
    if (RestWhenBusy(stop_->Fd())) CountDrop(queue_.Drops(), Drop::EnginePause);
    if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
    if ((fds[0].revents & POLLIN) != 0) return;
    for (;;) {
      snd_seq_event_t* ev = nullptr;
      const int r = snd_seq_event_input(seq_, &ev);
      if (r == -ENOSPC) {
        // The input overran and the sequencer emptied its queue: half-gathered messages can no
        // longer be completed. The window says so.
        overruns_.fetch_add(1, std::memory_order_relaxed);
        CountDrop(queue_.Drops(), Drop::CaptureOverrun);
        // Notices of sources that came or went may have been among the dropped events.
        devicesChanged_.store(true);
        for (auto& slot : slots_) {
          slot->sysexLength = 0;
          if (slot->decoder != nullptr) snd_midi_event_reset_decode(slot->decoder);
        }
        continue;
      }
      if (r < 0 || ev == nullptr) break;
      HandleEvent(*ev);
      // Back to poll once alsa-lib's buffer is empty, instead of a read that would only say so.
      if (snd_seq_event_input_pending(seq_, 0) == 0) break;
    }
  }
}

void InputHub::HandleEvent(const snd_seq_event_t& ev) {
  if (ev.source.client == SND_SEQ_CLIENT_SYSTEM) {
    HandleAnnounce(ev);
    return;
  }
  const int index = SlotOf(ev.source.client, ev.source.port);
  if (index < 0) return;
  Slot& s = *slots_[static_cast<std::size_t>(index)];
  if (const std::uint32_t g = s.generation.load(std::memory_order_acquire); g != s.seenGeneration) {
    s.seenGeneration = g; // reopened: a half-gathered message of the old opening is dropped
    s.sysexLength = 0;
    if (s.decoder != nullptr) snd_midi_event_reset_decode(s.decoder);
  }

  if (ev.type == SND_SEQ_EVENT_SYSEX) {
    GatherSysex(index, std::span(static_cast<const std::byte*>(ev.data.ext.ptr), ev.data.ext.len));
    return;
  }
  // A message that interrupts an unfinished system-exclusive dump ends it: what came of the dump
  // goes out first, as the input would have delivered it. Real-time messages may interleave.
  if (s.sysexLength > 0 && ev.type != SND_SEQ_EVENT_CLOCK && ev.type != SND_SEQ_EVENT_SENSING &&
      ev.type != SND_SEQ_EVENT_START && ev.type != SND_SEQ_EVENT_CONTINUE && ev.type != SND_SEQ_EVENT_STOP &&
      ev.type != SND_SEQ_EVENT_TICK && ev.type != SND_SEQ_EVENT_RESET) {
    FlushSysex(index);
  }
  if (s.decoder == nullptr) {
    if (snd_midi_event_new(16, &s.decoder) < 0) return;
    snd_midi_event_no_status(s.decoder, 1);
  }
  std::array<unsigned char, 16> bytes{};
  const long n = snd_midi_event_decode(s.decoder, bytes.data(), static_cast<long>(bytes.size()), &ev);
  const std::uint32_t time = clock_.Now() - s.openTick.load(std::memory_order_relaxed);
  // One event may stand for several messages (a 14-bit controller is two); each becomes a record.
  for (long i = 0; i < n;) {
    const unsigned status = bytes[static_cast<std::size_t>(i)];
    const auto length = static_cast<long>(MessageLength(status));
    if (status < 0x80 || i + length > n) break;
    const std::uint8_t d1 = length > 1 ? bytes[static_cast<std::size_t>(i + 1)] : 0;
    const std::uint8_t d2 = length > 2 ? bytes[static_cast<std::size_t>(i + 2)] : 0;
    CaptureCallback(index + 1, RecordType::MIM_DATA, PackShortMessage(static_cast<std::uint8_t>(status), d1, d2), time);
    i += length;
  }
}

void InputHub::HandleAnnounce(const snd_seq_event_t& ev) {
  if (ev.type == SND_SEQ_EVENT_CLIENT_START || ev.type == SND_SEQ_EVENT_PORT_START ||
      ev.type == SND_SEQ_EVENT_CLIENT_EXIT || ev.type == SND_SEQ_EVENT_PORT_EXIT) {
    devicesChanged_.store(true);
  }
  for (int i = 0; i < kSlots; ++i) {
    const std::int32_t source = slots_[static_cast<std::size_t>(i)]->source.load(std::memory_order_acquire);
    if (source == kNoSource) continue;
    const int client = source >> 8;
    const int port = source & 0xFF;
    bool gone = false;
    switch (ev.type) {
    case SND_SEQ_EVENT_CLIENT_EXIT: gone = ev.data.addr.client == client; break;
    case SND_SEQ_EVENT_PORT_EXIT: gone = ev.data.addr.client == client && ev.data.addr.port == port; break;
    case SND_SEQ_EVENT_PORT_UNSUBSCRIBED:
      // Someone removed our subscription. The notice of our own closing arrives here as well, maybe
      // after the same source was opened again: only a subscription that is really gone counts.
      gone = ev.data.connect.sender.client == client && ev.data.connect.sender.port == port &&
             ev.data.connect.dest.client == snd_seq_client_id(seq_) && ev.data.connect.dest.port == capturePort_ &&
             !Subscribed(client, port);
      break;
    default: break;
    }
    if (gone) Vanish(i, source);
  }
}

bool InputHub::Subscribed(int client, int port) const {
  snd_seq_port_subscribe_t* sub = nullptr;
  snd_seq_port_subscribe_alloca(&sub);
  const snd_seq_addr_t sender{static_cast<unsigned char>(client), static_cast<unsigned char>(port)};
  const snd_seq_addr_t dest{static_cast<unsigned char>(snd_seq_client_id(seq_)),
                            static_cast<unsigned char>(capturePort_)};
  snd_seq_port_subscribe_set_sender(sub, &sender);
  snd_seq_port_subscribe_set_dest(sub, &dest);
  return snd_seq_get_port_subscription(seq_, sub) == 0;
}

void InputHub::Vanish(int index, std::int32_t expected) {
  Slot& s = *slots_[static_cast<std::size_t>(index)];
  // Only one of the capture thread and a closing UI thread queues the close notice.
  if (!s.source.compare_exchange_strong(expected, kNoSource)) return;
  s.sysexLength = 0;
  CaptureCallback(index + 1, RecordType::MIM_CLOSE, 0, clock_.Now() - s.openTick.load());
  observer_.InputVanished(index);
}

void InputHub::GatherSysex(int index, std::span<const std::byte> bytes) {
  Slot& s = *slots_[static_cast<std::size_t>(index)];
  if (!s.sysex) s.sysex = std::make_unique<std::byte[]>(kHeaderSize + kSysexBufferSize);
  // A new message while the last one never ended: send what came of it.
  if (!bytes.empty() && bytes.front() == std::byte{0xF0} && s.sysexLength > 0) FlushSysex(index);
  while (!bytes.empty()) {
    const std::size_t room = kSysexBufferSize - s.sysexLength;
    std::size_t take = std::min(room, bytes.size());
    bool ends = false;
    for (std::size_t i = 0; i < take; ++i) {
      if (bytes[i] == std::byte{0xF7}) {
        take = i + 1;
        ends = true;
        break;
      }
    }
    std::memcpy(s.sysex.get() + kHeaderSize + s.sysexLength, bytes.data(), take);
    s.sysexLength += take;
    bytes = bytes.subspan(take);
    if (ends || s.sysexLength == kSysexBufferSize) FlushSysex(index);
  }
}

void InputHub::FlushSysex(int index) {
  Slot& s = *slots_[static_cast<std::size_t>(index)];
  const std::size_t length = s.sysexLength;
  s.sysexLength = 0;
  if (length == 0 || !flags_.present.load(std::memory_order_acquire)) return;
  EventRecord h;
  h.dataLength = static_cast<std::int32_t>(length);
  h.type = static_cast<std::int32_t>(RecordType::MIM_LONGDATA);
  h.port = PortOf(index + 1);
  h.timestamp = static_cast<std::int32_t>(clock_.Now() - s.openTick.load(std::memory_order_relaxed));
  h.captureTime = h.timestamp;
  StoreHeader(s.sysex.get(), h);
  const int taken = queue_.Append(std::span<const std::byte>(s.sysex.get(), kHeaderSize + length));
  if (taken != 0 && h.port >= 1 && h.port <= kVirtualPorts) observer_.LampTrigger(h.port);
}

} // namespace kestrel::midi
