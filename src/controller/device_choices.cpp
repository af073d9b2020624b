// SPDX-License-Identifier: GPL-3.0-or-later
#include "controller/device_choices.hpp"

#include "config/config_keys.hpp"
#include "config/settings.hpp"
#include "config/translation.hpp"
#include "controller/main_view.hpp"
#include "controller/notices.hpp"
#include "platform/network_interfaces.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace kestrel::controller {

namespace {

constexpr std::string_view kNameSeparator = " - ";

// The machine's IPv4 addresses on interfaces that are up, loopback left out: (address, name).
std::vector<std::pair<std::string, std::string>> UpAddresses() {
  std::vector<std::pair<std::string, std::string>> list;
  for (const InterfaceAddress& a : InterfaceAddresses()) {
    if (a.up && !a.loopback) list.emplace_back(DottedAddress(a.address), a.name);
  }
  return list;
}

int FindKey(const ChoiceList& list, const std::string& key) {
  for (int i = 0; i < list.Count(); ++i) {
    if (EntryKey(list.At(i)) == key) return i;
  }
  return ChoiceList::kNone;
}

} // namespace

in_addr_t ParseAddress(const std::string& text) { return ParseDottedAddress(text).value_or(0); }

std::string EntryKey(const std::string& entry) { return entry.substr(0, entry.find(kNameSeparator)); }

std::vector<std::string> LocalIpv4Addresses() {
  std::vector<std::string> list;
  for (const auto& [address, name] : UpAddresses()) {
    std::string entry = address;
    entry.append(kNameSeparator).append(name);
    list.push_back(std::move(entry));
  }
  return list;
}

std::vector<std::string> LocalInterfaces() {
  std::vector<std::string> list;
  std::vector<std::string> seen;
  for (const auto& [address, name] : UpAddresses()) {
    if (std::find(seen.begin(), seen.end(), name) != seen.end()) continue; // its first address names it
    seen.push_back(name);
    std::string entry = name;
    entry.append(kNameSeparator).append(address);
    list.push_back(std::move(entry));
  }
  return list;
}

std::vector<std::string> SequencerDevices::MidiInDevices() const {
  std::vector<std::string> list;
  if (seq_ != nullptr) midi::DeviceDirectory(seq_).ListMidiInDevices(list);
  return list;
}

std::vector<std::string> SequencerDevices::MidiOutDevices() const {
  std::vector<std::string> list;
  if (seq_ != nullptr) midi::DeviceDirectory(seq_).ListMidiOutDevices(list);
  return list;
}

int SequencerDevices::CountVirtualPorts() const {
  return seq_ != nullptr ? midi::DeviceDirectory(seq_).CountVirtualPorts() : 0;
}

DeviceChoices::DeviceChoices(const ControllerServices& services, MainView& view, MainFields& fields)
    : services_(services), view_(view), fields_(fields) {}

const char* DeviceChoices::Tr(const char* text) const { return services_.translator.TranslateString(text); }

void DeviceChoices::RefreshOutputs(bool firstFill, const std::function<void(int row)>& switchRowOff) {
  const std::vector<std::string> outputs = services_.devices.MidiOutDevices();
  for (int i = 0; i < kRows; ++i) {
    ChoiceList& choice = fields_.outputs[static_cast<std::size_t>(i)];
    const std::string remembered = choice.SelectedText();
    if (firstFill) choice.Add(Tr(std::string(kNotConnected).c_str()));
    const std::string ownPort = midi::VirtualPortName(i + 1);
    for (const std::string& name : outputs) {
      if (fields_.serverEnabled && fields_.clientPort == fields_.serverPort) {
        // This machine's server and client share a port: a row never plays a server port back
        // into the virtual port of the same number.
        const bool removedSelected = SyncComboEntry(choice, name, name != ownPort);
        if (removedSelected && fields_.clientPorts[static_cast<std::size_t>(i)]) switchRowOff(i);
      } else {
        SyncComboEntry(choice, name, true);
      }
    }
    if (!remembered.empty()) choice.SelectPrefix(remembered);
    if (choice.Selected() == ChoiceList::kNone) {
      choice.Select(0);
      if (!firstFill && fields_.clientPorts[static_cast<std::size_t>(i)] && fields_.clientEnabled) switchRowOff(i);
    }
  }
}

void DeviceChoices::RefillMidiIn() {
  ChoiceList& midiIn = fields_.midiIn;
  midiIn.Clear();
  midiIn.Add(Tr(std::string(kDisabled).c_str()));
  const std::vector<std::string> inputs = services_.devices.MidiInDevices();
  for (const std::string& name : inputs) midiIn.Add(name);
  if (!inputs.empty()) {
    // Never pick up a "Midi Through" port by default: it only echoes what programs write into it.
    std::string firstOrdinary = inputs.front();
    for (const std::string& name : inputs) {
      if (!StartsWithIgnoringCase(name, "Midi Through")) {
        firstOrdinary = name;
        break;
      }
    }
    if (StartsWithIgnoringCase(firstOrdinary, "Midi Through")) firstOrdinary = kDisabled;
    midiIn.SelectPrefix(services_.settings.ReadConfigText(config::kMidiInPort, firstOrdinary));
  }
  if (midiIn.Selected() == ChoiceList::kNone) midiIn.Select(0);

  ChoiceList& target = fields_.midiInTarget;
  target.Clear();
  for (int n = 1; n <= kRows; ++n) target.Add(midi::VirtualPortName(n));
  const std::string stored = services_.settings.ReadConfigText(config::kMidiInTarget);
  fields_.targetIndex = target.SelectPrefix(stored);
  if (fields_.targetIndex == ChoiceList::kNone) {
    // A target naming no port would send the device's events under port 0, which no client
    // plays: they go out under port 1 instead.
    view_.Notice(SettingNotice(config::kMidiInTarget.section, config::kMidiInTarget.name, stored,
                               " names no Kestrel port; using " + midi::VirtualPortName(1)));
    target.Select(0);
    fields_.targetIndex = 0;
  }
}

void DeviceChoices::FillIpList() {
  ChoiceList& list = fields_.ipList;
  list.Clear();
  const std::vector<std::string> addresses =
      services_.localAddresses ? services_.localAddresses() : LocalIpv4Addresses();
  for (const std::string& a : addresses) list.Add(a);
  if (fields_.localAddress != 0) {
    const std::string chosen = DottedAddress(fields_.localAddress);
    // A stored address the machine does not have now stays chosen, and the list says so.
    if (FindKey(list, chosen) == ChoiceList::kNone) list.Add(chosen + " - not on this machine");
    list.Select(FindKey(list, chosen));
  } else if (list.Count() > 0) {
    list.Select(0);
    fields_.localAddress = ParseAddress(EntryKey(list.At(0)));
  }
}

void DeviceChoices::FillInterfaceList() {
  ChoiceList& list = fields_.interfaces;
  list.Clear();
  list.Add("Automatic");
  for (const std::string& i : services_.localInterfaces ? services_.localInterfaces() : LocalInterfaces()) list.Add(i);
  const std::string chosen = services_.settings.ReadConfigText(config::kServerInterface);
  if (chosen.empty()) {
    list.Select(0);
    return;
  }
  if (FindKey(list, chosen) == ChoiceList::kNone) list.Add(chosen + " - not on this machine");
  list.Select(FindKey(list, chosen));
}

bool DeviceChoices::RefillAddressLists() {
  const std::vector<std::string> ips = fields_.ipList.Entries();
  const std::vector<std::string> interfaces = fields_.interfaces.Entries();
  FillIpList();
  FillInterfaceList();
  return fields_.ipList.Entries() != ips || fields_.interfaces.Entries() != interfaces;
}

void DeviceChoices::InitClientRows() {
  for (int n = 1; n <= kRows; ++n) {
    const auto i = static_cast<std::size_t>(n - 1);
    ChoiceList& choice = fields_.outputs[i];
    const std::int32_t probe =
        services_.settings.ReadConfigInt(config::kClient, config::kPortKeyNames[i], config::kMissingKeyProbe);
    const std::string fallback = n - 1 < choice.Count() ? choice.At(n - 1) : std::string();
    const std::string name = services_.settings.ReadConfigText(config::ClientDeviceKey(n), fallback);
    // First run: no row starts playing into one of this machine's own virtual ports.
    if (probe == config::kMissingKeyProbe && StartsWithIgnoringCase(name, midi::kVirtualPortPrefix)) {
      fields_.clientPorts[i] = false;
    }
    choice.SelectPrefix(name);
  }
}

} // namespace kestrel::controller
