// SPDX-License-Identifier: GPL-3.0-or-later
#include "controller/client_side.hpp"

#include "platform/network_interfaces.hpp"

#include "config/config_keys.hpp"
#include "config/settings.hpp"
#include "config/translation.hpp"
#include "controller/device_choices.hpp"
#include "controller/notices.hpp"
#include "core/midi_outputs.hpp"
#include "net/server_destinations.hpp"
#include "net/udp_socket.hpp"
#include "platform/beep.hpp"
#include "transport/multicast/multicast.hpp"

#include <algorithm>
#include <utility>

namespace kestrel::controller {

ClientSide::ClientSide(ControllerServices& services, MainView& view, MainFields& fields, EngineInbox& inbox)
    : services_(services), view_(view), fields_(fields), inbox_(inbox),
      connector_(inbox.State(), [&inbox] { inbox.ApplyEngineReports(); }) {}

ClientSide::~ClientSide() = default;

std::uint64_t ClientSide::MulticastNotMidi() const noexcept {
  return multicast_ != nullptr ? multicast_->NotMidi() : 0;
}

void ClientSide::Start(bool notesOffOnLoss) {
  outputs_ = services_.makeOutputs();
  engine_ = std::make_unique<net::CClientThread>(*outputs_, services_.dump, services_.flags, inbox_, services_.clock);
  engine_->SetNotesOffOnLoss(notesOffOnLoss);
  const in_addr_t group =
      net::ReadClientGroup(services_.settings, [this](const std::string& text) { view_.Notice(text); });
  engine_->SetGroup(group);
  if (group != 0) view_.Notice("Client: also hearing group " + DottedAddress(group));
  engine_->SetDropCounters(services_.drops);
  if (services_.settings.ReadConfigInt(config::kMulticast) != 0) { // read at every start of the client
    multicast_ = std::make_unique<net::MulticastReceiver>();
    multicast_->SetDropCounters(services_.drops);
    engine_->AddInput(*multicast_);
  }
  engine_->Start();
}

bool ClientSide::Stop() {
  if (engine_ == nullptr) return false;
  Disconnect();
  engine_->Stop();
  engine_.reset();
  multicast_.reset();
  outputs_.reset();
  listeningSaid_.clear();
  return true;
}

bool ClientSide::AddressMissing() {
  if (fields_.localAddress == 0 || net::InterfaceOfAddress(fields_.localAddress) != 0) {
    missingAddressNoticed_ = 0;
    return false;
  }
  // The engine refuses it and the retry rule tries again: said once, not on every retry.
  if (missingAddressNoticed_ != fields_.localAddress) {
    missingAddressNoticed_ = fields_.localAddress;
    view_.Notice("Client: " + DottedAddress(fields_.localAddress) +
                 " is not an address of this machine; nothing is played until it is again");
  }
  return true;
}

void ClientSide::CheckAddress(net::ConnectionState state) {
  if (Running() && state != net::ConnectionState::Disconnected && state != net::ConnectionState::PortInUse &&
      AddressMissing()) {
    Connect();
  }
}

bool ClientSide::SilenceTick(Tick now, net::ConnectionState state, bool notesOffOnLoss) {
  if (engine_ == nullptr || !net::SilenceRuleDue(now, engine_->LastReceiveTime(), state)) return false;
  if (state == net::ConnectionState::Connected && notesOffOnLoss) engine_->PostCommand(net::CClientThread::CmdNotesOff);
  return true;
}

void ClientSide::Connect() {
  if (engine_ == nullptr) return;
  RefreshOwnAddresses();
  const bool missing = AddressMissing();
  connector_.ConnectClient(engine_.get(), static_cast<std::uint16_t>(fields_.clientPort), fields_.localAddress);
  if (fields_.clientPort == 0 || missing) {
    listeningSaid_.clear();
    return;
  }
  std::string listening =
      "Client: listening on " +
      (fields_.localAddress != 0 ? DottedAddress(fields_.localAddress) : std::string("every address")) + ", UDP port " +
      std::to_string(fields_.clientPort);
  if (listening == listeningSaid_) return;
  view_.Notice(listening);
  listeningSaid_ = std::move(listening);
  if (multicast_ != nullptr) view_.Notice("Client: also playing raw MIDI from " + MulticastPortsText());
}

void ClientSide::Disconnect() { connector_.DisconnectClient(engine_.get()); }

void ClientSide::RefreshOwnAddresses() {
  if (multicast_ != nullptr) multicast_->Own().Set(LocalAddresses());
}

void ClientSide::ApplyRow(RowChange kind, int row, const std::function<void()>& showFields) {
  const auto i = static_cast<std::size_t>(row);
  const std::string text = fields_.outputs[i].SelectedText();
  const config::IntKey portKey = config::ClientPortKey(row + 1);
  auto open = [&] {
    return engine_ != nullptr && engine_->PostCommand(net::CClientThread::CmdOpenOutput, row, text) != 0;
  };
  if (kind == RowChange::Device) {
    if (fields_.clientPorts[i] && !open()) {
      fields_.clientPorts[i] = false;
      showFields();
      services_.settings.WriteConfigInt(portKey, 0);
    }
    services_.settings.WriteConfigText(config::ClientDeviceKey(row + 1), text);
    return;
  }
  if (fields_.clientPorts[i]) {
    if (open()) {
      services_.settings.WriteConfigInt(portKey, 1);
    } else {
      Beep(100, 30, "the output device cannot be opened");
      view_.Notice("Cannot open the " + OutputPhrase(text, row));
      fields_.clientPorts[i] = false;
      showFields();
      services_.settings.WriteConfigInt(portKey, 0);
    }
  } else {
    if (engine_ != nullptr) engine_->PostCommand(net::CClientThread::CmdCloseOutput, row);
    services_.settings.WriteConfigInt(portKey, 0);
  }
}

void ClientSide::OpenChosenRows() {
  for (int row = 0; row < kRows; ++row) {
    const auto i = static_cast<std::size_t>(row);
    if (!fields_.clientPorts[i]) continue;
    const std::string device = fields_.outputs[i].SelectedText();
    if (engine_->PostCommand(net::CClientThread::CmdOpenOutput, row, device) == 0) {
      view_.Notice("Cannot open the " + OutputPhrase(device, row));
      fields_.clientPorts[i] = false;
      services_.settings.WriteConfigInt(config::ClientPortKey(row + 1), 0);
    }
  }
}

void ClientSide::ConnectionChanged(net::ConnectionState before, net::ConnectionState state) {
  using net::ConnectionState;
  if (state == ConnectionState::Connected) {
    view_.Notice("Client: connected");
  } else if (state == ConnectionState::Disconnected) {
    secondServersNoticed_.clear();
    // Only a connection that was there ends: a retry while no server sends is no news.
    if (before == ConnectionState::Connected) view_.Notice("Client: disconnected");
  } else if (state == ConnectionState::PortInUse) {
    view_.Notice(
        FormatNumber(services_.translator.TranslateString("Error: Port %d already in use"), fields_.clientPort));
  }
}

void ClientSide::SecondServer(in_addr_t address) {
  // Once per server and connection: the engine already says it at most once a second.
  if (std::find(secondServersNoticed_.begin(), secondServersNoticed_.end(), address) != secondServersNoticed_.end()) {
    return;
  }
  secondServersNoticed_.push_back(address);
  view_.Notice("Client: a second server, " + DottedAddress(address) + ", sends to UDP port " +
               std::to_string(fields_.clientPort) + " too; both are played");
}

} // namespace kestrel::controller
