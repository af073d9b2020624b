// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The phrases more than one part of the controller says: a stored value that cannot be used, an
// input or output that went or came back, the multicast ports. Each is built here and only here.

#include <functional>
#include <string>
#include <string_view>

namespace kestrel::controller {

using NoticeFunction = std::function<void(const std::string&)>;

// `format` with its first "%d" replaced by `value`. Formats may come from a language file, so
// they never reach printf: a stray "%s" there shows as it is instead of reading random memory.
[[nodiscard]] std::string FormatNumber(std::string_view format, long long value);

// Capture's input `inputIndex` (a virtual port 0..7, or InputHub::kMidiInSlot) went away.
[[nodiscard]] std::string InputGoneNotice(int inputIndex);
// It is back; `midiInDevice` names the MIDI In device.
[[nodiscard]] std::string InputBackNotice(int inputIndex, const std::string& midiInDevice);
// "MIDI output \"Synth A\" for port 3": how every notice about a client row's output names it.
[[nodiscard]] std::string OutputPhrase(const std::string& device, int row);
// "225.0.0.37, UDP ports 21928-21935": the raw MIDI of the multicast convention, one port a row.
[[nodiscard]] std::string MulticastPortsText();

// The box a window without a sequencer shows: what is missing and how to get it.
inline constexpr std::string_view kNoSequencerHelp =
    "Kestrel found no MIDI sequencer on this computer: it can neither capture nor play MIDI.\n\n"
    "Load the sequencer's kernel module:\n    sudo modprobe snd-seq\n"
    "and to load it at every start:\n    echo snd-seq | sudo tee /etc/modules-load.d/snd-seq.conf\n\n"
    "If there is no such module, install your kernel's sound modules (on Ubuntu the package "
    "linux-modules-extra-$(uname -r)), then start Kestrel again.";

} // namespace kestrel::controller
