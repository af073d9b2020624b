// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Test support: a device list and output slots for the window's controller where no sequencer
// runs. Each test says which devices exist and which of them open.

#include "controller/main_dlg.hpp"
#include "core/midi_outputs.hpp"

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace kestrel::test {

class FakeDevices final : public controller::DeviceSource {
public:
  std::vector<std::string> in;
  std::vector<std::string> out;
  int virtualPorts = 8; // what the provider offers now
  [[nodiscard]] std::vector<std::string> MidiInDevices() const override { return in; }
  [[nodiscard]] std::vector<std::string> MidiOutDevices() const override { return out; }
  [[nodiscard]] int CountVirtualPorts() const override { return virtualPorts; }
};

// What the fake outputs were asked to do; the client engine's thread writes it, the test reads
// it after a command has returned.
struct OutputLog {
  std::mutex lock;
  std::set<std::string> known{"--Not Connected--"}; // the names that open
  std::map<int, std::string> open;
  int notesOff = 0;
  int played = 0;
  std::uint32_t droppedOnRow5 = 0; // what the fifth row's device refused

  [[nodiscard]] std::string OpenAt(int slot) {
    const std::lock_guard g(lock);
    const auto it = open.find(slot);
    return it == open.end() ? std::string() : it->second;
  }
  [[nodiscard]] int PlayedCount() {
    const std::lock_guard g(lock);
    return played;
  }
  [[nodiscard]] int NotesOffCount() {
    const std::lock_guard g(lock);
    return notesOff;
  }
};

class FakeOutputs final : public MidiOutputs {
public:
  explicit FakeOutputs(OutputLog& log) : log_(log) {}
  int OpenOutputByName(std::string_view name, int index) override {
    const std::lock_guard g(log_.lock);
    if (log_.known.count(std::string(name)) == 0) return 0;
    log_.open[index] = std::string(name);
    return 1;
  }
  void CloseOutput(int index) override {
    const std::lock_guard g(log_.lock);
    log_.open.erase(index);
  }
  void CloseAllOutputs() override {
    const std::lock_guard g(log_.lock);
    log_.open.clear();
  }
  [[nodiscard]] SlotState State(int index) const noexcept override {
    const std::lock_guard g(log_.lock);
    const auto it = log_.open.find(index);
    if (it == log_.open.end()) return SlotState::Empty;
    return it->second == "--Not Connected--" ? SlotState::NotConnected : SlotState::Open;
  }
  void PlayShort(int /*index*/, std::uint32_t /*word*/) noexcept override {
    const std::lock_guard g(log_.lock);
    ++log_.played;
  }
  [[nodiscard]] std::uint32_t DroppedMessages(int index) const noexcept override {
    const std::lock_guard g(log_.lock);
    return index == 4 ? log_.droppedOnRow5 : 0;
  }
  void PlayLong(int /*index*/, std::span<const std::byte> /*bytes*/) override {}
  void NotesOff(int /*slot*/) noexcept override {
    const std::lock_guard g(log_.lock);
    ++log_.notesOff;
  }

private:
  OutputLog& log_;
};

} // namespace kestrel::test
