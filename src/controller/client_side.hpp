// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The client engine's life: its output slots, the engine, connecting it where the fields say and
// disconnecting it, and the news of its connection (where it listens, a second server). Window
// thread.

#include "base/tick_clock.hpp"
#include "controller/engine_inbox.hpp"
#include "controller/main_fields.hpp"
#include "controller/services.hpp"
#include "net/client_rules.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestrel {
class MidiOutputs;
}
namespace kestrel::net {
class MulticastReceiver;
}

namespace kestrel::controller {

class ClientSide {
public:
  // Everything passed in outlives the client side; the engine reports into `inbox`.
  ClientSide(ControllerServices& services, MainView& view, MainFields& fields, EngineInbox& inbox);
  ~ClientSide(); // the window has stopped it (Stop) by then
  ClientSide(const ClientSide&) = delete;
  ClientSide& operator=(const ClientSide&) = delete;

  [[nodiscard]] bool Running() const noexcept { return engine_ != nullptr; }
  // The engine while it runs, else null.
  [[nodiscard]] net::CClientThread* Engine() const noexcept { return engine_.get(); }
  // The engine's output slots while it runs, else null.
  [[nodiscard]] MidiOutputs* Outputs() const noexcept { return outputs_.get(); }
  // Multicast datagrams it dropped because they were not MIDI; 0 while it is off.
  [[nodiscard]] std::uint64_t MulticastNotMidi() const noexcept;

  // Builds the output slots and the engine with what Kestrel.dat says at every start (group,
  // multicast), and starts it, not connected yet.
  void Start(bool notesOffOnLoss);
  // Disconnects and stops the engine and closes its outputs; false when it did not run.
  bool Stop();
  // (Re)connects the engine on the fields' port and address and says where it listens, once
  // for each change: the retry rule connects anew every 1.5 s while no server sends.
  void Connect();
  void Disconnect();
  // The fields' address is not on this machine: said once, until it is again.
  [[nodiscard]] bool AddressMissing();
  // The address the client listens on went away while it listened (`state`): it stops listening
  // there.
  void CheckAddress(net::ConnectionState state);
  // The silence rule on each status tick: true when the server the client heard in `state` fell
  // silent, so that the connection is to be reported lost. Whatever it left sounding is silenced
  // first when `notesOffOnLoss`.
  [[nodiscard]] bool SilenceTick(Tick now, net::ConnectionState state, bool notesOffOnLoss);
  // With multicast on, the engine learns this machine's addresses anew (they change).
  void RefreshOwnAddresses();

  // ---- the rows
  enum class RowChange { Device, CheckBox };
  // A row's device or check box changed: its output is opened or closed and the row stored. A
  // row whose output cannot be opened is switched off, and `showFields` shows that at once.
  void ApplyRow(RowChange kind, int row, const std::function<void()>& showFields);
  // The engine was started: the rows switched on open their outputs; those that cannot are said
  // and switched off.
  void OpenChosenRows();

  // Another server sends to the client's port: said once per server and connection.
  void SecondServer(in_addr_t address);
  // The engine's connection went from `before` to `state`: said, and at its end the next one
  // says its second servers again.
  void ConnectionChanged(net::ConnectionState before, net::ConnectionState state);

private:
  ControllerServices& services_;
  MainView& view_;
  MainFields& fields_; // the rows' check boxes are switched off here
  EngineInbox& inbox_;
  std::unique_ptr<MidiOutputs> outputs_;
  // The other transports the engine plays, made with it and gone after it.
  std::unique_ptr<net::MulticastReceiver> multicast_; // while "[Interop] Multicast" is on
  std::unique_ptr<net::CClientThread> engine_;
  net::ClientConnector connector_;
  in_addr_t missingAddressNoticed_ = 0;
  std::string listeningSaid_;                   // the last "listening on" notice, while it still holds
  std::vector<in_addr_t> secondServersNoticed_; // since the client connected
};

} // namespace kestrel::controller
