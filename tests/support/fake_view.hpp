// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Test support: the main window's view without any widget. Queued calls wait in a list until the
// test runs them (RunPosted).

#include "controller/main_view.hpp"

#include <algorithm>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::test {

using controller::ControlValues;
using controller::MainView;

class FakeView final : public MainView {
public:
  std::optional<ControlValues> controls; // what the user changed in the controls; none: as shown
  std::vector<std::string> messages;
  std::vector<std::string> notices;
  std::deque<std::function<void()>> posted;
  std::mutex postLock;
  bool shown = true;
  bool applyTimerRunning = false;
  int writes = 0;
  bool quit = false;
  // Boxes and the busy notice run the queued calls, as the window's do (they handle its events).
  bool boxesRunPosted = false;

  void ReadControls(ControlValues& values) override {
    if (controls) values = *controls;
  }
  void WriteControls() override { ++writes; }
  void ShowMessage(const std::string& text) override { Box(text); }
  void ShowError(const std::string& text) override { Box("Error: " + text); }
  void ShowErrorMessage(const std::string& text) override { Box(text); }
  void ShowBusyNotice(const std::string& text) override {
    notices.push_back("busy: " + text);
    if (boxesRunPosted) RunPosted();
  }
  void HideBusyNotice() override { notices.emplace_back("idle"); }
  void ShowMainWindow(bool show) override { shown = show; }
  void RepaintLamp(int /*index*/) override {}
  void StartApplyTimer() override { applyTimerRunning = true; }
  void StopApplyTimer() override { applyTimerRunning = false; }
  void Post(std::function<void()> fn) override {
    const std::lock_guard g(postLock);
    posted.push_back(std::move(fn));
  }
  void Notice(const std::string& text) override { notices.push_back(text); }
  void Quit() override { quit = true; }

  void RunPosted() {
    for (;;) {
      std::function<void()> fn;
      {
        const std::lock_guard g(postLock);
        if (posted.empty()) return;
        fn = std::move(posted.front());
        posted.pop_front();
      }
      fn();
    }
  }
  void Box(const std::string& text) {
    messages.push_back(text);
    if (boxesRunPosted) RunPosted();
  }
  [[nodiscard]] bool Noticed(std::string_view part) const {
    return std::any_of(notices.begin(), notices.end(),
                       [&](const std::string& n) { return n.find(part) != std::string::npos; });
  }
};

} // namespace kestrel::test
