// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/midi_file.hpp"

#include <fstream>

namespace kestrel::test {

namespace {
void VarLength(std::vector<std::uint8_t>& out, std::uint32_t value) {
  std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(value & 0x7F)};
  while ((value >>= 7) != 0) bytes.insert(bytes.begin(), static_cast<std::uint8_t>(0x80 | (value & 0x7F)));
  out.insert(out.end(), bytes.begin(), bytes.end());
}
void Be32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}
} // namespace

void WriteMidiFile(const std::filesystem::path& file, const std::vector<TrackEvent>& events) {
  std::vector<std::uint8_t> track;
  for (const TrackEvent& e : events) {
    VarLength(track, e.delta);
    track.insert(track.end(), e.bytes.begin(), e.bytes.end());
  }
  track.insert(track.end(), {0x00, 0xFF, 0x2F, 0x00});
  std::vector<std::uint8_t> data{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96, 'M', 'T', 'r', 'k'};
  Be32(data, static_cast<std::uint32_t>(track.size()));
  data.insert(data.end(), track.begin(), track.end());
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

} // namespace kestrel::test
