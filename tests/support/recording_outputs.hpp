// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Test support: output slots that note what the client engine plays. "synth" opens, the
// "--Not Connected--" entry routes a slot to nothing, every other name fails. The engine's thread
// plays; the test reads through the copies below.

#include "core/midi_outputs.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrel::test {

class RecordingOutputs final : public MidiOutputs {
public:
  int OpenOutputByName(std::string_view name, int index) override {
    const std::lock_guard guard(lock_);
    const SlotState state = name == "synth"               ? SlotState::Open
                            : name == "--Not Connected--" ? SlotState::NotConnected
                                                          : SlotState::Empty;
    states_.at(static_cast<std::size_t>(index)) = state;
    return state == SlotState::Empty ? 0 : 1;
  }
  void CloseOutput(int index) override {
    const std::lock_guard guard(lock_);
    states_.at(static_cast<std::size_t>(index)) = SlotState::Empty;
  }
  void CloseAllOutputs() override {
    const std::lock_guard guard(lock_);
    states_.fill(SlotState::Empty);
  }
  [[nodiscard]] SlotState State(int index) const noexcept override {
    const std::lock_guard guard(lock_);
    return states_[static_cast<std::size_t>(index)];
  }
  void PlayShort(int index, std::uint32_t word) noexcept override {
    const std::lock_guard guard(lock_);
    shorts_.emplace_back(index, word);
  }
  void PlayLong(int index, std::span<const std::byte> bytes) override {
    const std::lock_guard guard(lock_);
    longs_.emplace_back(index, std::vector<std::byte>(bytes.begin(), bytes.end()));
  }
  void NotesOff(int slot) noexcept override {
    const std::lock_guard guard(lock_);
    notesOffSlots_.push_back(slot);
    ++notesOff_;
  }
  [[nodiscard]] std::vector<int> NotesOffSlots() const {
    const std::lock_guard guard(lock_);
    return notesOffSlots_;
  }

  [[nodiscard]] std::vector<std::pair<int, std::uint32_t>> Shorts() const {
    const std::lock_guard guard(lock_);
    return shorts_;
  }
  [[nodiscard]] std::vector<std::pair<int, std::vector<std::byte>>> Longs() const {
    const std::lock_guard guard(lock_);
    return longs_;
  }
  std::atomic<int> notesOff_{0};

private:
  mutable std::mutex lock_;
  std::array<SlotState, kSlots> states_{};
  std::vector<std::pair<int, std::uint32_t>> shorts_;
  std::vector<std::pair<int, std::vector<std::byte>>> longs_;
  std::vector<int> notesOffSlots_;
};

} // namespace kestrel::test
