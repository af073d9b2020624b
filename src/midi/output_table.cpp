// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/output_table.hpp"

#include "base/ini_file.hpp"
#include "base/text.hpp"
#include "config/translation.hpp"
#include "core/drop_counters.hpp"
#include "midi/input_hub.hpp"

#include <algorithm>
#include <cerrno>
#include <string>

namespace kestrel::midi {

namespace {
constexpr const char* kNotConnected = "--Not Connected--";

std::size_t ShortLength(unsigned status) noexcept {
  switch (status & 0xF0U) {
  case 0xC0:
  case 0xD0: return 2;
  case 0xF0: return status == 0xF2 ? 3 : (status == 0xF1 || status == 0xF3) ? 2 : 1;
  default: return 3;
  }
}
} // namespace

OutputTable::OutputTable(snd_seq_t* seq, const Translator& translator, DropCounters* drops)
    : seq_(seq), translator_(translator), drops_(drops) {
  if (seq_ != nullptr) pacer_ = std::make_unique<PacedWriter>(seq_, directLock_, drops_);
}

OutputTable::~OutputTable() {
  CloseAllOutputs();
  pacer_.reset();
  for (Slot& s : slots_) {
    if (s.encoder != nullptr) snd_midi_event_free(s.encoder);
    if (s.port >= 0 && seq_ != nullptr) snd_seq_delete_simple_port(seq_, s.port);
  }
}

OutputTable::SlotState OutputTable::State(int index) const noexcept {
  return index >= 0 && index < kSlots ? slots_[static_cast<std::size_t>(index)].state : SlotState::Empty;
}

void OutputTable::CloseOutput(int index) {
  if (index < 0 || index >= kSlots) return;
  Flush();
  Slot& s = slots_[static_cast<std::size_t>(index)];
  if (s.state == SlotState::Open && seq_ != nullptr) {
    snd_seq_disconnect_to(seq_, s.port, s.device.client, s.device.port);
  }
  // What its device had no time for is counted; its silence and the end of a dump still go.
  if (s.laned) pacer_->Close(index);
  s.laned = false;
  s.paced = false;
  s.state = SlotState::Empty;
  s.budget.reset();
}

void OutputTable::CloseAllOutputs() {
  for (int i = 0; i < kSlots; ++i) CloseOutput(i);
}

int OutputTable::OpenOutputByName(std::string_view name, int index) {
  if (index < 0 || index >= kSlots) return 0;
  CloseOutput(index);
  Slot& s = slots_[static_cast<std::size_t>(index)];
  if (EqualsIgnoringCase(name, translator_.TranslateString(kNotConnected))) {
    s.state = SlotState::NotConnected;
    return 1;
  }
  const auto device = DeviceDirectory(seq_).FindMidiOutDevice(name);
  if (!device) return 0;
  return Connect(index, *device);
}

int OutputTable::Connect(int index, const MidiPort& device) {
  Slot& s = slots_[static_cast<std::size_t>(index)];
  if (s.port < 0) {
    // Readable by Kestrel's own connection only: other programs do not see it as a source.
    const std::string portName = "out " + std::to_string(index + 1);
    s.port = snd_seq_create_simple_port(seq_, portName.c_str(), SND_SEQ_PORT_CAP_READ,
                                        SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    if (s.port < 0) return 0;
  }
  if (s.encoder == nullptr) {
    if (snd_midi_event_new(kSysexChunk, &s.encoder) < 0) return 0;
    snd_midi_event_no_status(s.encoder, 1);
  }
  // Fails when the device is gone or another program holds it exclusively; the slot is then
  // left as it was.
  if (snd_seq_connect_to(seq_, s.port, device.client, device.port) < 0) return 0;
  if (s.laned) pacer_->Close(index);
  s.device = device;
  s.gone = false;
  s.budget.emplace(seq_, s.port, Address(device), breaker_);
  snd_seq_client_info_t* info = nullptr;
  snd_seq_client_info_alloca(&info);
  s.paced = snd_seq_get_any_client_info(seq_, device.client, info) >= 0 &&
            snd_seq_client_info_get_type(info) == SND_SEQ_KERNEL_CLIENT && snd_seq_client_info_get_card(info) >= 0;
  // Long messages, and what follows them, wait for the device's room on the writer's thread.
  pacer_->Open(index, s.port, Address(device), s.paced ? PacedWriter::Pace::Wire : PacedWriter::Pace::Reader);
  s.laned = true;
  s.state = SlotState::Open;
  return 1;
}

bool OutputTable::Connected(const Slot& slot) const {
  snd_seq_port_subscribe_t* sub = nullptr;
  snd_seq_port_subscribe_alloca(&sub);
  const snd_seq_addr_t sender{static_cast<unsigned char>(snd_seq_client_id(seq_)),
                              static_cast<unsigned char>(slot.port)};
  const snd_seq_addr_t dest{static_cast<unsigned char>(slot.device.client),
                            static_cast<unsigned char>(slot.device.port)};
  snd_seq_port_subscribe_set_sender(sub, &sender);
  snd_seq_port_subscribe_set_dest(sub, &dest);
  return snd_seq_get_port_subscription(seq_, sub) == 0;
}

unsigned OutputTable::ReviveOutputs() {
  if (seq_ == nullptr) return 0;
  unsigned changes = 0;
  const DeviceDirectory directory(seq_);
  for (int i = 0; i < kSlots; ++i) {
    Slot& s = slots_[static_cast<std::size_t>(i)];
    if (s.state != SlotState::Open || Connected(s)) continue;
    // The sequencer dropped the connection with the device's port; the slot stays open, playing
    // into nothing, until a device of the same name appears (a cable pulled and plugged back).
    if (!s.gone) {
      s.gone = true;
      changes |= 1U << static_cast<unsigned>(16 + i);
      // Paced writes go to the device's address, which another device may get next.
      if (s.laned) pacer_->Close(i);
      s.laned = false;
      s.paced = false;
    }
    const auto device = directory.FindMidiOutDevice(s.device.name);
    if (!device) continue;
    Flush(); // what was gathered for the old connection goes (nowhere) first
    // Not usable yet (held by another program): tried again at the next change.
    if (Connect(i, *device) != 0) changes |= 1U << static_cast<unsigned>(i);
  }
  return changes;
}

void OutputTable::Dropped(int index, std::uint32_t messages) noexcept {
  dropped_[static_cast<std::size_t>(index)].fetch_add(messages, std::memory_order_relaxed);
  CountDrop(drops_, Drop::OutputRefused, messages);
}

std::uint32_t OutputTable::DroppedMessages(int index) const noexcept {
  if (index < 0 || index >= kSlots) return 0;
  return dropped_[static_cast<std::size_t>(index)].load(std::memory_order_relaxed) +
         (pacer_ ? pacer_->Dropped(index) : 0);
}

void OutputTable::PlayShort(int index, std::uint32_t word) noexcept {
  if (index < 0 || index >= kSlots) return;
  Slot& s = slots_[static_cast<std::size_t>(index)];
  if (s.state != SlotState::Open) return;
  const std::array<unsigned char, 3> bytes{static_cast<unsigned char>(word), static_cast<unsigned char>(word >> 8U),
                                           static_cast<unsigned char>(word >> 16U)};
  if (bytes[0] < 0x80 || bytes[0] == 0xF0 || bytes[0] == 0xF7) return;
  // Behind a long message still on its way to the device, in order.
  if (s.paced || (s.laned && pacer_->Pending(index) > 0)) {
    if (!pacer_->Queue(index, std::span(bytes.data(), ShortLength(bytes[0])))) Dropped(index);
    return;
  }
  snd_seq_event_t ev{};
  snd_midi_event_reset_encode(s.encoder);
  if (snd_midi_event_encode(s.encoder, bytes.data(), static_cast<long>(ShortLength(bytes[0])), &ev) <= 0 ||
      ev.type == SND_SEQ_EVENT_NONE) {
    return;
  }
  snd_seq_ev_set_source(&ev, static_cast<unsigned char>(s.port));
  snd_seq_ev_set_subs(&ev);
  snd_seq_ev_set_direct(&ev);
  if (!s.budget->Covers(1)) Flush();
  s.budget->Reserve(1);
  if (snd_seq_event_output_buffer(seq_, &ev) < 0) { // the buffer is full
    Flush();
    snd_seq_event_output_buffer(seq_, &ev);
  }
}

void OutputTable::Flush() noexcept {
  if (seq_ == nullptr) return;
  DrainOutputDroppingRefused(
      seq_,
      [](void* self, const snd_seq_event_t& ev) {
        auto& table = *static_cast<OutputTable*>(self);
        for (int i = 0; i < kSlots; ++i) {
          if (table.slots_[static_cast<std::size_t>(i)].port == ev.source.port) table.Dropped(i);
        }
      },
      this);
}

void OutputTable::PlayLong(int index, std::span<const std::byte> bytes) {
  if (index < 0 || index >= kSlots) return;
  Slot& s = slots_[static_cast<std::size_t>(index)];
  if (s.state != SlotState::Open || !s.laned) return;
  Flush(); // what was played before it goes first
  if (!pacer_->Queue(index, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()))) {
    Dropped(index);
  }
}

void OutputTable::BeginSilence(int slot) noexcept {
  if (!pacer_) return;
  for (int i = slot < 0 ? 0 : slot; i < (slot < 0 ? kSlots : std::min(slot + 1, kSlots)); ++i) {
    if (slots_[static_cast<std::size_t>(i)].laned) pacer_->MarkSilence(i, true);
  }
}

void OutputTable::NotesOff(int slot) noexcept {
  for (int i = slot < 0 ? 0 : slot; i < (slot < 0 ? kSlots : std::min(slot + 1, kSlots)); ++i) {
    for (std::uint32_t channel = 0; channel < 16; ++channel) {
      const auto status = static_cast<std::uint8_t>(0xB0U | channel);
      PlayShort(i, static_cast<std::uint32_t>(status) | (123U << 8U)); // All Notes Off
      PlayShort(i, static_cast<std::uint32_t>(status) | (64U << 8U));  // Sustain Off
    }
    if (slots_[static_cast<std::size_t>(i)].laned) pacer_->MarkSilence(i, false);
  }
  Flush();
}

} // namespace kestrel::midi
