// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Test support: a standard MIDI file (format 0) written from raw track events, for aplaymidi.

#include <cstdint>
#include <filesystem>
#include <vector>

namespace kestrel::test {

struct TrackEvent {
  std::uint32_t delta = 0;         // ticks since the previous event
  std::vector<std::uint8_t> bytes; // as they stand in the track (running status allowed)
};

// Writes a format 0 file with 96 ticks per quarter note and the given events, ending the track.
void WriteMidiFile(const std::filesystem::path& file, const std::vector<TrackEvent>& events);

} // namespace kestrel::test
