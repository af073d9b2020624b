// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The activity lamps of the server panel and the connection display of the client panel, as
// state. The window paints them; these decide when.

#include <atomic>

namespace kestrel::controller {

// One port's lamp. LampTrigger runs on the capture thread for every queued event (and on the
// window's thread for a test note); LampTick runs on the window's 30 ms tick. Each field is one
// 32-bit value written whole, so a trigger racing a tick at most delays a repaint by one tick.
class CBin {
public:
  static constexpr int kHoldTicks = 3;

  void SetPort(int port) noexcept { port_ = port; }
  [[nodiscard]] int Port() const noexcept { return port_; }

  void LampTrigger() noexcept {
    hold_.store(kHoldTicks, std::memory_order_relaxed);
    if (lit_.exchange(1, std::memory_order_relaxed) != 1) dirty_.store(1, std::memory_order_relaxed);
  }

  // Returns true when the lamp must be repainted now.
  bool LampTick() noexcept {
    const int hold = hold_.load(std::memory_order_relaxed);
    if (hold > 0) {
      hold_.store(hold - 1, std::memory_order_relaxed);
      if (hold == 1) {
        lit_.store(0, std::memory_order_relaxed);
        dirty_.store(1, std::memory_order_relaxed);
      }
    }
    return dirty_.exchange(0, std::memory_order_relaxed) != 0;
  }

  [[nodiscard]] bool Lit() const noexcept { return lit_.load(std::memory_order_relaxed) != 0; }

private:
  std::atomic<int> lit_{0};
  std::atomic<int> dirty_{0};
  std::atomic<int> hold_{0};
  int port_ = 0;
};

// The connection display: 1 Connected, 2 Connecting, anything else Disconnected.
class CBtStat {
public:
  enum class Picture { Connected, Connecting, Disconnected };

  // True when the state changed and the display must be repainted.
  bool SetState(int state) noexcept {
    if (state == state_) return false;
    state_ = state;
    return true;
  }
  [[nodiscard]] int State() const noexcept { return state_; }
  [[nodiscard]] Picture Shown() const noexcept {
    return state_ == 1 ? Picture::Connected : state_ == 2 ? Picture::Connecting : Picture::Disconnected;
  }

private:
  int state_ = 0;
};

} // namespace kestrel::controller
