// SPDX-License-Identifier: GPL-3.0-or-later
#include "controller/server_side.hpp"

#include "config/config_keys.hpp"
#include "config/settings.hpp"
#include "controller/main_fields.hpp"
#include "controller/main_view.hpp"
#include "controller/notices.hpp"
#include "midi/input_hub.hpp"
#include "net/server_destinations.hpp"
#include "net/server_engine.hpp"
#include "platform/beep.hpp"
#include "transport/multicast/multicast.hpp"

#include <net/if.h>
#include <utility>

namespace kestrel::controller {

ServerSide::ServerSide(ControllerServices& services, MainView& view) : services_(services), view_(view) {}

ServerSide::~ServerSide() = default;

std::uint64_t ServerSide::MulticastNotSent() const noexcept {
  return multicast_ != nullptr ? multicast_->NotSent() : 0;
}

void ServerSide::Create(std::uint32_t port) {
  auto sender = std::make_unique<net::CUdpSender>(static_cast<std::uint16_t>(port));
  sender->Open(); // raises "srv.Create" or "SO_BROADCAST": the guard ends the program
  const std::string interfaceName = services_.settings.ReadConfigText(config::kServerInterface);
  if (!interfaceName.empty()) {
    if (if_nametoindex(interfaceName.c_str()) == 0) {
      view_.Notice(SettingNotice(config::kServerInterface.section, config::kServerInterface.name, interfaceName,
                                 " is no network interface here; the system's routing decides"));
    } else {
      sender->SetInterface(interfaceName);
    }
  }
  // Where the datagrams go is fixed before the engine sees the sender.
  destinations_ =
      net::ReadSenderDestinations(services_.settings, [this](const std::string& text) { view_.Notice(text); });
  sender->SetDestinations(destinations_);
  sender->SetDropCounters(services_.drops);
  if (services_.settings.ReadConfigInt(config::kMulticast) != 0) { // read at every start of the server
    auto multicast = std::make_unique<net::MulticastSender>();
    multicast->Open(); // raises "mc.Create" or "IP_MULTICAST_LOOP": the guard ends the program
    multicast->SetDropCounters(services_.drops);
    multicast->SetInterface(sender->InterfaceIndex() != 0 ? interfaceName : std::string());
    multicast_ = std::move(multicast);
    services_.serverLink.transports.Attach(*multicast_);
  }
  sender_ = std::move(sender);
  services_.serverLink.sender.store(sender_.get());
  engine_ =
      std::make_unique<net::CServerThread>(services_.queue, services_.serverLink, services_.flags, services_.clock);
  engine_->SetRepeatNoteOff(services_.settings.ReadConfigInt(config::kRepeatNoteOff) != 0);
}

void ServerSide::Start(std::uint32_t port) {
  engine_->Start();
  view_.Notice("Server on: " + net::DestinationsText(destinations_, port));
  if (multicast_ != nullptr) view_.Notice("Server: also sending raw MIDI to " + MulticastPortsText());
}

bool ServerSide::Stop() {
  if (engine_ == nullptr && sender_ == nullptr) return false;
  if (engine_ != nullptr) engine_->Stop();
  if (services_.inputs != nullptr) services_.inputs->CloseAllInputs();
  services_.serverLink.sender.store(nullptr);
  if (multicast_ != nullptr) services_.serverLink.transports.Detach(*multicast_);
  engine_.reset();
  sender_.reset();
  multicast_.reset();
  view_.Notice("Server off");
  return true;
}

void ServerSide::ChooseInterface(const std::string& name) {
  services_.settings.WriteConfigText(config::kServerInterface, name);
  if (sender_ == nullptr) return;
  sender_->SetInterface(name);
  if (multicast_ != nullptr) multicast_->SetInterface(name);
  view_.Notice(name.empty() ? std::string("Server: broadcasting where the system's routing sends it")
                            : "Server: broadcasting on " + name);
}

bool ServerSide::SetDestinationPort(std::uint32_t port) {
  if (sender_ == nullptr || sender_->DestinationPort() == port) return false;
  sender_->SetDestinationPort(static_cast<std::uint16_t>(port));
  services_.settings.WriteConfigInt(config::kServerUdpPort, static_cast<std::int32_t>(port));
  view_.Notice("Server: broadcasting to UDP port " + std::to_string(port));
  return true;
}

void ServerSide::StatusTick(Tick now, const MainFields& fields) {
  if (std::exchange(firstTick_, false)) lastKeepAliveTime_ = now;
  if (!fields.serverEnabled || !Running()) return;
  const int ports = services_.inputs != nullptr ? services_.inputs->VirtualPortCount() : fields.virtualPortSnapshot;
  net::KeepAliveTick(now, services_.serverLink, lastKeepAliveTime_, services_.queue, ports);
}

void ServerSide::RefreshInputs(const MainFields& fields) {
  if (services_.inputs == nullptr || !Running()) return;
  services_.inputs->RefreshInputs(fields.serverPorts,
                                  fields.midiInIndex > 0 ? fields.midiIn.SelectedText() : std::string());
}

void ServerSide::MidiInChosen(MainFields& fields) {
  fields.targetIndex = fields.midiInTarget.Selected();
  services_.settings.WriteConfigText(config::kMidiInPort, fields.midiIn.SelectedText());
  services_.settings.WriteConfigText(config::kMidiInTarget, fields.midiInTarget.SelectedText());
  if (fields.midiInIndex > 0 && services_.inputs != nullptr)
    services_.inputs->SetInputOpen(std::nullopt, midi::InputHub::kMidiInSlot, false);
  fields.midiInIndex = fields.midiIn.Selected();
}

ServerSide::SwitchedOff ServerSide::InputFailed(int input, MainFields& fields) {
  Beep(100, 30, "an input cannot be opened");
  if (input == midi::InputHub::kMidiInSlot) {
    view_.Notice("Cannot capture the MIDI In device \"" + fields.midiIn.SelectedText() + "\"; it is switched off");
    fields.midiIn.Select(0);
    return SwitchedOff::MidiIn;
  }
  if (input < 0 || input >= kRows) return SwitchedOff::Nothing;
  view_.Notice("Cannot capture " + midi::VirtualPortName(input + 1) + "; it is switched off");
  fields.serverPorts[static_cast<std::size_t>(input)] = false;
  return SwitchedOff::Port;
}

void ServerSide::TestNote(int row, bool press) {
  midi::InputHub* inputs = services_.inputs;
  if (inputs == nullptr || !Running() || row < 0 || row >= kRows) return;
  const std::uint32_t word = press ? 0x7F3990U : 0x013980U;
  const Tick since = TickDiff(services_.clock.Now(), inputs->OpenTick(row));
  inputs->CaptureCallback(row + 1, RecordType::MIM_DATA, word, since);
}

} // namespace kestrel::controller
