// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The window's choice lists of things the machine has: the MIDI outputs of the client rows, the
// MIDI In device and its target, the client's addresses and the server's interfaces. The lists
// follow the devices and addresses; the choices stay where they can. Window thread.

#include "config/destinations.hpp"
#include "controller/main_fields.hpp"
#include "controller/services.hpp"
#include "midi/alsa_seq.hpp"
#include "platform/network_interfaces.hpp"

#include <functional>
#include <string>
#include <vector>

namespace kestrel::controller {

class MainView;

// Dotted text of an IPv4 address in network order, and back (0 when it is not one).

[[nodiscard]] in_addr_t ParseAddress(const std::string& text);
// The part of a list entry before " - ": the address of "10.0.0.5 - eth0", the name of
// "eth0 - 10.0.0.5".
[[nodiscard]] std::string EntryKey(const std::string& entry);
// This machine's IPv4 addresses on interfaces that are up, loopback left out, as the IP list
// offers them: "10.0.0.5 - eth0".
[[nodiscard]] std::vector<std::string> LocalIpv4Addresses();
// The interfaces that are up with an IPv4 address, loopback left out: "eth0 - 10.0.0.5".
[[nodiscard]] std::vector<std::string> LocalInterfaces();

// The machine's MIDI devices as the sequencer lists them.
class SequencerDevices final : public DeviceSource {
public:
  explicit SequencerDevices(snd_seq_t* seq) noexcept : seq_(seq) {}
  [[nodiscard]] std::vector<std::string> MidiInDevices() const override;
  [[nodiscard]] std::vector<std::string> MidiOutDevices() const override;
  [[nodiscard]] int CountVirtualPorts() const override;

private:
  snd_seq_t* seq_;
};

class DeviceChoices {
public:
  DeviceChoices(const ControllerServices& services, MainView& view, MainFields& fields);

  // The output lists of the client rows take the devices there are now (the first fill puts
  // "--Not Connected--" first). A row whose chosen device went is switched off by `switchRowOff`,
  // at once, before the next row's list is looked at.
  void RefreshOutputs(bool firstFill, const std::function<void(int row)>& switchRowOff);
  // The MIDI In device list and its target list, chosen as stored.
  void RefillMidiIn();
  void FillIpList();
  void FillInterfaceList();
  // Fills both address lists again; true when either changed.
  [[nodiscard]] bool RefillAddressLists();
  // The client rows' devices as stored. On the first run no row plays into one of this
  // machine's own virtual ports.
  void InitClientRows();

private:
  [[nodiscard]] const char* Tr(const char* text) const;

  const ControllerServices& services_;
  MainView& view_;
  MainFields& fields_;
};

} // namespace kestrel::controller
