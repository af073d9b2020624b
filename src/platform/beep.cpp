// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/beep.hpp"

#include "base/tick_clock.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <unistd.h>

namespace kestrel {

namespace {

constexpr Tick kBeepIntervalMs = 1000;

// Rings are rare (once a second at most), so one lock serves them all; it also keeps a bell from
// being replaced while it runs.
std::mutex& BellLock() {
  static std::mutex lock;
  return lock;
}
BellFunction& InstalledBell() {
  static BellFunction bell;
  return bell;
}

// A beep handed over by an engine thread: its fields belong to the engine while `handOver` is
// kWriting, and to the ringing thread while it is kWaiting.
constexpr int kEmpty = 0;
constexpr int kWriting = 1;
constexpr int kWaiting = 2;
std::atomic<int> handOver{kEmpty};
unsigned handedFrequency = 0;
unsigned handedDuration = 0;
std::array<char, 160> handedCause{};
thread_local bool handsBeepsOver = false;

std::atomic<bool> rangOnce{false};
std::atomic<Tick> lastRing{0};
std::atomic<std::uint32_t> heldSinceRing{0};
std::atomic<std::uint64_t> heldTotal{0};

// True for the one caller that may ring now; the others count themselves held back.
bool TakeTurn() noexcept {
  const Tick now = TickCount();
  Tick last = lastRing.load();
  const bool due = !rangOnce.load() || TickDiff(now, last) >= kBeepIntervalMs;
  if (due && lastRing.compare_exchange_strong(last, now)) {
    rangOnce = true;
    return true;
  }
  heldSinceRing.fetch_add(1);
  heldTotal.fetch_add(1);
  return false;
}

} // namespace

void SetBell(BellFunction bell) {
  const std::lock_guard guard(BellLock());
  InstalledBell() = std::move(bell);
  rangOnce = false;
  heldSinceRing = 0;
}

std::uint64_t BeepsHeldBack() noexcept { return heldTotal.load(); }

void HandBeepsOver() noexcept { handsBeepsOver = true; }

namespace {

void HoldBack() noexcept {
  heldSinceRing.fetch_add(1);
  heldTotal.fetch_add(1);
}

// True when a short line to standard error goes without waiting: a pipe with room, a file, a
// terminal. A pipe that nobody reads would hold the caller until someone does.
bool ErrorsTakeALine() noexcept {
  pollfd err{STDERR_FILENO, POLLOUT, 0};
  return poll(&err, 1, 0) == 1 && (err.revents & POLLOUT) != 0;
}

void Ring(unsigned frequencyHz, unsigned durationMs, const char* cause) noexcept {
  if (ErrorsTakeALine()) {
    const std::uint32_t held = heldSinceRing.exchange(0);
    if (held == 0) {
      std::fprintf(stderr, "kestrel: beep %u Hz %u ms: %s\n", frequencyHz, durationMs, cause);
    } else {
      std::fprintf(stderr, "kestrel: beep %u Hz %u ms: %s (%u more held back since the last one)\n", frequencyHz,
                   durationMs, cause, held);
    }
  } else {
    HoldBack();
  }
  try {
    const std::lock_guard guard(BellLock());
    if (InstalledBell()) InstalledBell()();
  } catch (...) { // a bell that fails leaves the line above as the signal
  }
}

} // namespace

void Beep(unsigned frequencyHz, unsigned durationMs, const char* cause) noexcept {
  if (!TakeTurn()) return;
  if (!handsBeepsOver) {
    Ring(frequencyHz, durationMs, cause);
    return;
  }
  int empty = kEmpty;
  if (!handOver.compare_exchange_strong(empty, kWriting, std::memory_order_acquire)) {
    HoldBack(); // the last one still waits for the window's tick
    return;
  }
  handedFrequency = frequencyHz;
  handedDuration = durationMs;
  const std::size_t length = std::min(std::strlen(cause), handedCause.size() - 1);
  std::memcpy(handedCause.data(), cause, length);
  handedCause[length] = '\0';
  handOver.store(kWaiting, std::memory_order_release);
}

void RingHandedOverBeep() noexcept {
  if (handOver.load(std::memory_order_acquire) != kWaiting) return;
  const unsigned frequency = handedFrequency;
  const unsigned duration = handedDuration;
  std::array<char, 160> cause = handedCause;
  handOver.store(kEmpty, std::memory_order_release);
  Ring(frequency, duration, cause.data());
}

} // namespace kestrel
