// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The server engine's life: its sockets (the sender, with its interface and destinations, and the
// multicast sender when [Interop] Multicast is on), the engine, and their end. The engine is
// built and started in two steps, since the window opens the inputs in between. Window thread.

#include "base/tick_clock.hpp"
#include "controller/services.hpp"
#include "net/udp_socket.hpp"

#include <cstdint>
#include <memory>
#include <string>

namespace kestrel::net {
class MulticastSender;
class CServerThread;
} // namespace kestrel::net

namespace kestrel::controller {

class MainView;
struct MainFields;

class ServerSide {
public:
  // `services` and `view` outlive the server side.
  ServerSide(ControllerServices& services, MainView& view);
  ~ServerSide(); // the window has stopped it (Stop) by then
  ServerSide(const ServerSide&) = delete;
  ServerSide& operator=(const ServerSide&) = delete;

  [[nodiscard]] bool Running() const noexcept { return engine_ != nullptr; }
  // The broadcast sender while the server runs, else null.
  [[nodiscard]] const net::CUdpSender* Sender() const noexcept { return sender_.get(); }
  [[nodiscard]] bool HasMulticast() const noexcept { return multicast_ != nullptr; }
  // Multicast messages it could not send (too long for one datagram); 0 without multicast.
  [[nodiscard]] std::uint64_t MulticastNotSent() const noexcept;

  // Opens the sockets as Kestrel.dat says (every setting it cannot use said), hands them to the
  // engines' link and builds the engine, not started. Raises what opening a socket raises: the
  // guard ends the program.
  void Create(std::uint32_t port);
  // Starts the engine built by Create and says where it sends.
  void Start(std::uint32_t port);
  // Stops the engine, closes the inputs and the sockets, and says so; false when nothing ran.
  bool Stop();

  // The interface to broadcast on; empty: where the routing sends it. Stored; said when the
  // server runs.
  void ChooseInterface(const std::string& name);
  // The destination port of a running server, stored and said; false when it already was that.
  bool SetDestinationPort(std::uint32_t port);
  // The keep-alive rule on each status tick while the server is switched on and runs.
  void StatusTick(Tick now, const MainFields& fields);

  // ---- what it captures (nothing while it is off)
  // The inputs open as the fields say: the ticked virtual ports and the MIDI In chosen.
  void RefreshInputs(const MainFields& fields);
  // The MIDI In or its target was chosen anew: stored, the old device closed, the new one opened.
  void MidiInChosen(MainFields& fields);
  // The capture could not open an input (a row, or InputHub::kMidiInSlot): said, and switched off
  // in the fields. The window then acts on the switch as on a click.
  enum class SwitchedOff { Nothing, Port, MidiIn };
  SwitchedOff InputFailed(int input, MainFields& fields);
  // A test note on key 57, channel 1, as if the row's port had delivered it (a lamp pressed or
  // released).
  void TestNote(int row, bool press);

private:
  ControllerServices& services_;
  MainView& view_;
  net::SenderDestinations destinations_;
  std::unique_ptr<net::CUdpSender> sender_;
  std::unique_ptr<net::MulticastSender> multicast_; // while the server runs with multicast on
  std::unique_ptr<net::CServerThread> engine_;
  bool firstTick_ = true;
  Tick lastKeepAliveTime_ = 0;
};

} // namespace kestrel::controller
