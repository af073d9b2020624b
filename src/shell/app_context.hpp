// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The objects that live as long as the program: settings, translation, the send queue, the dump,
// the sequencer and capture. The window (or the headless front end) is built on top of them and
// goes before them.

#include "config/settings.hpp"
#include "config/translation.hpp"
#include "controller/main_dlg.hpp"
#include "core/drop_counters.hpp"
#include "core/dump_store.hpp"
#include "core/send_queue.hpp"
#include "core/window_flags.hpp"
#include "midi/alsa_seq.hpp"
#include "midi/input_hub.hpp"
#include "net/server_engine.hpp"

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestrel::shell {

// Hands capture's reports to the window while one exists, and drops them otherwise. The capture
// thread may be inside a report while the window goes: SetTarget(nullptr) returns only once no
// report is running any more, so the window can be deleted right after it.
class CaptureRelay final : public midi::CaptureObserver {
public:
  void SetTarget(midi::CaptureObserver* target) noexcept;
  void LampTrigger(int port) noexcept override;
  void InputOpenFailed(int inputIndex) override;
  void VirtualPortsVanished(int found) override;
  void InputVanished(int inputIndex) noexcept override;

private:
  template <class Fn>
  void Relay(Fn&& fn) noexcept(noexcept(fn(std::declval<midi::CaptureObserver&>())));

  std::atomic<midi::CaptureObserver*> target_{nullptr};
  std::atomic<int> inside_{0}; // reports running now
};

class AppContext {
public:
  // Reads nothing but the language choice; `notice` hears what start-up could not do (no
  // sequencer, no provider), which the window says again. `startProvider` false leaves the
  // provider alone.
  AppContext(std::filesystem::path dataFile, const std::function<void(const std::string&)>& notice,
             bool startProvider = true);
  ~AppContext();
  AppContext(const AppContext&) = delete;
  AppContext& operator=(const AppContext&) = delete;

  // What a window built on this context works with.
  [[nodiscard]] controller::ControllerServices Services();
  // The window's controller exists (non-null) or has gone (null).
  void Attach(controller::CMainDlg* window) noexcept {
    relay_.SetTarget(window != nullptr ? &window->Inbox() : nullptr);
  }

  Settings settings;
  Translator translator;
  WindowFlags flags;
  DropCounters drops; // since the program started
  DumpStore dump{SystemClock(), flags};
  SendQueue queue{dump, flags, &drops};
  net::ServerLink serverLink;
  midi::SeqHandle seq; // empty when the machine has no sequencer
  std::vector<std::string> startupProblems;

private:
  CaptureRelay relay_;
  std::unique_ptr<midi::InputHub> inputs_;
  std::unique_ptr<controller::SequencerDevices> devices_;
};

} // namespace kestrel::shell
