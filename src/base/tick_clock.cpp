// SPDX-License-Identifier: GPL-3.0-or-later
#include "base/tick_clock.hpp"

#include <ctime>

namespace kestrel {

namespace {

std::uint64_t Nanoseconds(clockid_t clock) noexcept {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000U + static_cast<std::uint64_t>(ts.tv_nsec);
}

class SystemTickClock final : public TickClock {
public:
  [[nodiscard]] Tick Now() const noexcept override { return TickCount(); }
};

} // namespace

Tick TickCount() noexcept { return static_cast<Tick>(Nanoseconds(CLOCK_MONOTONIC_COARSE) / 1'000'000U); }

std::uint32_t HighResolutionCounter() noexcept { return static_cast<std::uint32_t>(Nanoseconds(CLOCK_MONOTONIC)); }

const TickClock& SystemClock() noexcept {
  static const SystemTickClock kClock;
  return kClock;
}

} // namespace kestrel
