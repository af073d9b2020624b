// SPDX-License-Identifier: GPL-3.0-or-later
#include "controller/notices.hpp"

#include "controller/main_view.hpp"
#include "core/wire/raw_midi.hpp"
#include "midi/alsa_seq.hpp"
#include "midi/input_hub.hpp"

namespace kestrel::controller {

std::string FormatNumber(std::string_view format, long long value) {
  std::string out;
  out.reserve(format.size() + 20);
  bool done = false;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size()) {
      const char next = format[i + 1];
      if (next == '%') {
        out += '%';
        ++i;
        continue;
      }
      if (!done && (next == 'd' || next == 'i' || next == 'u')) {
        out += std::to_string(value);
        done = true;
        ++i;
        continue;
      }
    }
    out += format[i];
  }
  return out;
}

std::string InputGoneNotice(int inputIndex) {
  return inputIndex == midi::InputHub::kMidiInSlot ? std::string("The MIDI In device went away")
                                                   : midi::VirtualPortName(inputIndex + 1) + " went away";
}

std::string InputBackNotice(int inputIndex, const std::string& midiInDevice) {
  return inputIndex == midi::InputHub::kMidiInSlot ? "The MIDI In device \"" + midiInDevice + "\" is back"
                                                   : midi::VirtualPortName(inputIndex + 1) + " is back";
}

std::string OutputPhrase(const std::string& device, int row) {
  return "MIDI output \"" + device + "\" for port " + std::to_string(row + 1);
}

std::string MulticastPortsText() {
  return std::string(kMulticastGroup) + ", UDP ports " + std::to_string(MulticastPortOf(1)) + "-" +
         std::to_string(MulticastPortOf(kRows));
}

} // namespace kestrel::controller
