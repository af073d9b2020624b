// SPDX-License-Identifier: GPL-3.0-or-later
#include "midi/alsa_seq.hpp"

#include "base/ini_file.hpp"
#include "base/text.hpp"
#include "core/event_record.hpp"

namespace kestrel::midi {

SeqHandle OpenSequencer(const char* clientName, std::string* error) {
  snd_seq_t* seq = nullptr;
  const int err = snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0);
  if (err < 0) {
    if (error != nullptr) { *error = std::string("no ALSA sequencer: ") + snd_strerror(err); }
    return {};
  }
  SeqHandle handle(seq);
  snd_seq_set_client_name(seq, clientName);
  return handle;
}

std::string DeviceName(std::string_view clientName, std::string_view portName) {
  if (portName.starts_with(clientName)) { return std::string(portName); }
  std::string name(clientName);
  name += ':';
  name += portName;
  return name;
}

std::string VirtualPortName(int n) { return std::string(kVirtualPortPrefix) + std::to_string(n); }

std::vector<MidiPort> ListPorts(snd_seq_t* seq, Direction direction) {
  std::vector<MidiPort> ports;
  if (seq == nullptr) { return ports; }
  const unsigned wanted = direction == Direction::In ? (SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ)
                                                     : (SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE);
  const int self = snd_seq_client_id(seq);
  snd_seq_client_info_t* client = nullptr;
  snd_seq_port_info_t* port = nullptr;
  snd_seq_client_info_alloca(&client);
  snd_seq_port_info_alloca(&port);
  snd_seq_client_info_set_client(client, -1);
  while (snd_seq_query_next_client(seq, client) >= 0) {
    const int id = snd_seq_client_info_get_client(client);
    if (id == SND_SEQ_CLIENT_SYSTEM || id == self) { continue; }
    const char* clientName = snd_seq_client_info_get_name(client);
    snd_seq_port_info_set_client(port, id);
    snd_seq_port_info_set_port(port, -1);
    while (snd_seq_query_next_port(seq, port) >= 0) {
      if ((snd_seq_port_info_get_capability(port) & wanted) != wanted) { continue; }
      ports.push_back({id, snd_seq_port_info_get_port(port), DeviceName(clientName, snd_seq_port_info_get_name(port))});
    }
  }
  return ports;
}

namespace {
std::optional<MidiPort> FindByName(snd_seq_t* seq, Direction direction, std::string_view name) {
  for (MidiPort& p : ListPorts(seq, direction)) {
    if (p.name == name) { return std::move(p); }
  }
  return std::nullopt;
}
} // namespace

std::optional<MidiPort> DeviceDirectory::FindMidiInDevice(std::string_view name) const {
  return FindByName(seq_, Direction::In, name);
}

std::optional<MidiPort> DeviceDirectory::FindMidiOutDevice(std::string_view name) const {
  return FindByName(seq_, Direction::Out, name);
}

int DeviceDirectory::CountVirtualPorts() const {
  const std::vector<MidiPort> in = ListPorts(seq_, Direction::In);
  const std::vector<MidiPort> out = ListPorts(seq_, Direction::Out);
  const auto has = [](const std::vector<MidiPort>& ports, const std::string& name) {
    for (const MidiPort& p : ports) {
      if (p.name == name) { return true; }
    }
    return false;
  };
  for (int n = 1; n <= kVirtualPorts; ++n) {
    const std::string name = VirtualPortName(n);
    if (!has(in, name) || !has(out, name)) { return n - 1; }
  }
  return kVirtualPorts;
}

int DeviceDirectory::ListMidiInDevices(std::vector<std::string>& list) const {
  list.clear();
  const std::vector<MidiPort> ports = ListPorts(seq_, Direction::In);
  for (const MidiPort& p : ports) {
    if (!StartsWithIgnoringCase(p.name, kVirtualPortPrefix)) { list.push_back(p.name); }
  }
  return static_cast<int>(ports.size());
}

int DeviceDirectory::ListMidiOutDevices(std::vector<std::string>& list) const {
  list.clear();
  const std::vector<MidiPort> ports = ListPorts(seq_, Direction::Out);
  for (const MidiPort& p : ports) { list.push_back(p.name); }
  return static_cast<int>(ports.size());
}

} // namespace kestrel::midi
