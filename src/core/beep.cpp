// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/beep.hpp"

#include "core/tick_clock.hpp"

#include <atomic>
#include <cstdio>
#include <mutex>

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

void Beep(unsigned frequencyHz, unsigned durationMs, const char* cause) noexcept {
  if (!TakeTurn()) return;
  const std::uint32_t held = heldSinceRing.exchange(0);
  if (held == 0) {
    std::fprintf(stderr, "kestrel: beep %u Hz %u ms: %s\n", frequencyHz, durationMs, cause);
  } else {
    std::fprintf(stderr, "kestrel: beep %u Hz %u ms: %s (%u more held back since the last one)\n", frequencyHz,
                 durationMs, cause, held);
  }
  try {
    const std::lock_guard guard(BellLock());
    if (InstalledBell()) InstalledBell()();
  } catch (...) { // a bell that fails leaves the line above as the signal
  }
}

} // namespace kestrel
