// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The ALSA sequencer handle as an RAII object, and the device list every part of Kestrel sees:
// the readable (MIDI In) and writable (MIDI Out) ports of every other client, named as users know
// them, in client then port order.

#include <alsa/asoundlib.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::midi {

struct SeqCloser {
  void operator()(snd_seq_t* seq) const noexcept { snd_seq_close(seq); }
};
using SeqHandle = std::unique_ptr<snd_seq_t, SeqCloser>;

// Opens a duplex sequencer client with this name. Returns an empty handle, with the reason in
// *error when given, when the machine has no sequencer.
[[nodiscard]] SeqHandle OpenSequencer(const char* clientName, std::string* error = nullptr);

enum class Direction { In, Out };

struct MidiPort {
  int client = -1;
  int port = -1;
  std::string name; // as lists show it, see DeviceName
  friend bool operator==(const MidiPort&, const MidiPort&) = default;
};

// The sequencer's address of a port.
[[nodiscard]] inline snd_seq_addr_t Address(const MidiPort& port) noexcept {
  return {static_cast<unsigned char>(port.client), static_cast<unsigned char>(port.port)};
}

// A port's name as lists show it: the port's own name when it begins with its client's name
// ("Kestrel Port1", "Midi Through Port-0"), else client name, ':' and port name ("VMPK Output:out").
[[nodiscard]] std::string DeviceName(std::string_view clientName, std::string_view portName);

// Every port of every other client that can be read from (In: READ + SUBS_READ) or written to
// (Out: WRITE + SUBS_WRITE), leaving out the System client and the caller's own client, in client
// then port order. Any thread; no state kept.
[[nodiscard]] std::vector<MidiPort> ListPorts(snd_seq_t* seq, Direction direction);

// Prefix of the virtual ports' names ("Kestrel Port1".."Kestrel Port8").
inline constexpr std::string_view kVirtualPortPrefix = "Kestrel Port";
[[nodiscard]] std::string VirtualPortName(int n);

// Name lookups and the virtual port count, on one sequencer handle. Nothing is cached: ports
// come and go, so every call reads the sequencer's lists anew. Any thread.
class DeviceDirectory {
public:
  explicit DeviceDirectory(snd_seq_t* seq) noexcept : seq_(seq) {}

  // The first port with exactly this name (case counts), or nullopt.
  [[nodiscard]] std::optional<MidiPort> FindMidiInDevice(std::string_view name) const;
  [[nodiscard]] std::optional<MidiPort> FindMidiOutDevice(std::string_view name) const;

  // Virtual ports present both as input and output, counted from 1 up to the first gap (0..8).
  [[nodiscard]] int CountVirtualPorts() const;

  // Fills `list` with the device names in order and returns how many ports were read. The input
  // list leaves out every name beginning with "Kestrel Port" (any case).
  int ListMidiInDevices(std::vector<std::string>& list) const;
  int ListMidiOutDevices(std::vector<std::string>& list) const;

private:
  snd_seq_t* seq_;
};

} // namespace kestrel::midi
