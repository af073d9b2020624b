// SPDX-License-Identifier: GPL-3.0-or-later
#include "controller/device_health.hpp"

#include "controller/main_view.hpp"
#include "controller/notices.hpp"
#include "core/drop_counters.hpp"
#include "core/midi_outputs.hpp"
#include "midi/input_hub.hpp"
#include "platform/realtime.hpp"

#include <utility>

namespace kestrel::controller {

DeviceHealth::DeviceHealth(ControllerServices& services, MainView& view, const MainFields& fields,
                           const ServerSide& server, ClientSide& client, Hooks hooks)
    : services_(services), view_(view), fields_(fields), server_(server), client_(client), hooks_(std::move(hooks)) {}

void DeviceHealth::ServerCreated() {
  targetWatch_.Reset();
  if (server_.HasMulticast()) multicastNotSentSeen_ = 0;
}

void DeviceHealth::ClientCreated() {
  droppedSeen_.fill(0);
  multicastNotMidiSeen_ = 0;
}

void DeviceHealth::ReviveDevices() {
  midi::InputHub* inputs = services_.inputs;
  if (server_.Running() && inputs != nullptr) {
    const unsigned lost = inputs->CloseUnsubscribed();
    for (int i = 0; i < midi::InputHub::kSlots; ++i) {
      if ((lost & (1U << static_cast<unsigned>(i))) != 0) view_.Notice(InputGoneNotice(i));
    }
    const unsigned opened = inputs->ReopenReturned(
        fields_.serverPorts, fields_.midiInIndex > 0 ? fields_.midiIn.SelectedText() : std::string(),
        fields_.virtualPortSnapshot);
    for (int i = 0; i < midi::InputHub::kSlots; ++i) {
      if ((opened & (1U << static_cast<unsigned>(i))) != 0)
        view_.Notice(InputBackNotice(i, fields_.midiIn.SelectedText()));
    }
    if (opened != 0) hooks_.showFields();
  }
  if (client_.Running()) {
    const auto changes = static_cast<unsigned>(client_.Engine()->PostCommand(net::CClientThread::CmdReviveOutputs));
    for (int row = 0; row < kRows && changes != 0; ++row) {
      const auto bit = static_cast<unsigned>(row);
      const bool gone = (changes & (1U << (16 + bit))) != 0;
      const bool back = (changes & (1U << bit)) != 0;
      if (!gone && !back) continue;
      const std::string what =
          "The " + OutputPhrase(fields_.outputs[static_cast<std::size_t>(row)].SelectedText(), row);
      if (gone) view_.Notice(what + " went away");
      if (back) view_.Notice(what + " is back");
    }
  }
}

void DeviceHealth::ReportLosses(Tick now) {
  lastReport_ = now;
  if (const net::CUdpSender* sender = server_.Sender(); sender != nullptr) {
    targetWatch_.Check(*sender, now, [this](const std::string& text) { view_.Notice(text); });
  }
  hooks_.checkClientAddress();
  if (services_.inputs != nullptr) {
    const std::uint32_t overruns = services_.inputs->Overruns();
    if (overruns != overrunsSeen_) {
      view_.Notice("Capture fell behind; the sequencer dropped the events waiting for it (" +
                   std::to_string(overruns - overrunsSeen_) + (overruns - overrunsSeen_ == 1 ? " time)" : " times)"));
      overrunsSeen_ = overruns;
    }
  }
  // An engine thread that ran too long without blocking was put back under the normal policy
  // rather than killed with the program: said once, and counted.
  for (const std::string& thread : TakeThreadsThatLeftRealtime()) {
    CountDrop(services_.drops, Drop::RealtimeLeft);
    view_.Notice("The thread " + thread + " ran too long without a pause; it left real time and runs on normally");
  }
  const auto sayCount = [](std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + (n == 1 ? one : many);
  };
  if (const std::uint64_t notSent = server_.MulticastNotSent(); notSent != multicastNotSentSeen_) {
    view_.Notice("Server: " +
                 sayCount(notSent - multicastNotSentSeen_, " system-exclusive message", " system-exclusive messages") +
                 " too long for one multicast datagram not sent there");
    multicastNotSentSeen_ = notSent;
  }
  if (const std::uint64_t notMidi = client_.MulticastNotMidi(); notMidi != multicastNotMidiSeen_) {
    view_.Notice("Client: " + sayCount(notMidi - multicastNotMidiSeen_, " multicast datagram", " multicast datagrams") +
                 " not MIDI; dropped");
    multicastNotMidiSeen_ = notMidi;
  }
  const MidiOutputs* outputs = client_.Outputs();
  if (outputs == nullptr) return;
  for (int row = 0; row < kRows; ++row) {
    const auto i = static_cast<std::size_t>(row);
    const std::uint32_t dropped = outputs->DroppedMessages(row);
    if (dropped == droppedSeen_[i]) continue;
    view_.Notice("The " + OutputPhrase(fields_.outputs[i].SelectedText(), row) + " did not take " +
                 std::to_string(dropped - droppedSeen_[i]) +
                 (dropped - droppedSeen_[i] == 1 ? " message" : " messages") + "; dropped");
    droppedSeen_[i] = dropped;
  }
}

} // namespace kestrel::controller
