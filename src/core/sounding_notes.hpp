// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Which notes are sounding on which output, as the client turned them on: a Note On with a
// velocity sets its key, a Note Off (or a Note On with velocity 0) and All Notes Off clear it. When
// a connection ends, exactly those keys get their Note Off, for synthesizers that ignore All Notes
// Off. A fixed table, so the MIDI path allocates nothing. One thread only (the client engine).

#include <array>
#include <bitset>
#include <cstdint>

namespace kestrel {

class SoundingNotes {
public:
  static constexpr int kSlots = 16;
  static constexpr int kChannels = 16;

  // Follows one short message (status in the lowest byte) played on `slot`.
  void Note(int slot, std::uint32_t word) noexcept {
    if (slot < 0 || slot >= kSlots) return;
    const auto status = static_cast<std::uint8_t>(word);
    const auto key = static_cast<std::uint8_t>(word >> 8U) & 0x7FU;
    const auto value = static_cast<std::uint8_t>(word >> 16U) & 0x7FU;
    std::bitset<128>& keys = keys_[Index(slot, status & 0x0FU)];
    switch (status & 0xF0U) {
    case 0x90:
      if (value != 0) {
        keys.set(key);
        any_ = true;
      } else {
        keys.reset(key);
      }
      return;
    case 0x80: keys.reset(key); return;
    case 0xB0:
      if (key == 123) keys.reset(); // All Notes Off
      return;
    default: return;
    }
  }

  // Calls fn(slot, noteOffWord) for every sounding note, then forgets them all.
  template <class Fn>
  void SilenceEach(Fn&& fn) {
    if (!any_) return;
    for (int slot = 0; slot < kSlots; ++slot) {
      for (int channel = 0; channel < kChannels; ++channel) {
        std::bitset<128>& keys = keys_[Index(slot, static_cast<unsigned>(channel))];
        if (keys.none()) continue;
        for (unsigned key = 0; key < 128; ++key) {
          if (keys.test(key)) fn(slot, (0x80U | static_cast<unsigned>(channel)) | (key << 8U));
        }
        keys.reset();
      }
    }
    any_ = false;
  }

  // Calls fn(noteOffWord) for every note sounding on `slot`, then forgets them.
  template <class Fn>
  void SilenceSlot(int slot, Fn&& fn) {
    if (slot < 0 || slot >= kSlots) return;
    for (unsigned channel = 0; channel < kChannels; ++channel) {
      std::bitset<128>& keys = keys_[Index(slot, channel)];
      for (unsigned key = 0; key < 128 && keys.any(); ++key) {
        if (keys.test(key)) fn((0x80U | channel) | (key << 8U));
      }
      keys.reset();
    }
  }

  // Forgets the notes of one slot (its output was closed or changed).
  void Forget(int slot) noexcept {
    if (slot < 0 || slot >= kSlots) return;
    for (unsigned channel = 0; channel < kChannels; ++channel) keys_[Index(slot, channel)].reset();
  }

private:
  static std::size_t Index(int slot, unsigned channel) noexcept {
    return static_cast<std::size_t>(slot) * kChannels + channel;
  }

  std::array<std::bitset<128>, static_cast<std::size_t>(kSlots) * kChannels> keys_{};
  bool any_ = false; // a quick no when nothing was ever turned on since the last silence
};

} // namespace kestrel
