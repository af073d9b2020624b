// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Test support: the real provider in a runtime and configuration folder of the test's own.

#include "driverctl/provider_files.hpp"
#include "midi/alsa_seq.hpp"
#include "support/child_process.hpp"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace kestrel::test {

class ProviderFolders {
public:
  ProviderFolders() {
    setenv("XDG_CONFIG_HOME", (dir_.Path() / "config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", dir_.Path().c_str(), 1);
  }
  void SetMaxDevs(const std::string& value) {
    std::filesystem::create_directories(driverctl::ProviderSettingsPath().parent_path());
    std::ofstream(driverctl::ProviderSettingsPath()) << "[Driver]\nMaxDevs=" << value << "\n";
  }
  [[nodiscard]] const std::filesystem::path& Path() const noexcept { return dir_.Path(); }

private:
  TempDir dir_;
};

// A program that plays a note into "Kestrel Port1" every 2 ms on a thread of its own, finding the
// port by name again whenever a write fails (the provider went away and came back), as programs
// that follow their ports do.
class FollowingPlayer {
public:
  FollowingPlayer() : thread_([this] { Play(); }) {}
  ~FollowingPlayer() {
    playing_ = false;
    thread_.join();
  }
  FollowingPlayer(const FollowingPlayer&) = delete;
  FollowingPlayer& operator=(const FollowingPlayer&) = delete;

private:
  void Play() {
    const midi::SeqHandle own = midi::OpenSequencer("Following player");
    const int out = snd_seq_create_simple_port(own.get(), "out", SND_SEQ_PORT_CAP_READ, SND_SEQ_PORT_TYPE_MIDI_GENERIC);
    snd_seq_nonblock(own.get(), 1);
    std::optional<midi::MidiPort> to;
    for (unsigned n = 0; playing_; ++n) {
      if (!to) to = midi::DeviceDirectory(own.get()).FindMidiOutDevice("Kestrel Port1");
      if (to) {
        snd_seq_event_t ev{};
        ev.type = SND_SEQ_EVENT_NOTEON;
        ev.data.note.note = static_cast<unsigned char>(n % 128);
        ev.data.note.velocity = 100;
        snd_seq_ev_set_source(&ev, static_cast<unsigned char>(out));
        snd_seq_ev_set_dest(&ev, static_cast<unsigned char>(to->client), static_cast<unsigned char>(to->port));
        snd_seq_ev_set_direct(&ev);
        if (snd_seq_event_output_direct(own.get(), &ev) < 0) to.reset();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  std::atomic<bool> playing_{true};
  std::thread thread_;
};

// Starts kestrel-ports and waits until it has announced its ports.
inline std::unique_ptr<ChildProcess> StartProvider() {
  auto provider = std::make_unique<ChildProcess>(std::vector<std::string>{KESTREL_PORTS_PROGRAM});
  WaitUntil([] { return driverctl::RunningProvider(driverctl::ProviderPidPath()).has_value(); });
  return provider;
}

} // namespace kestrel::test
