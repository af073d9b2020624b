// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <cstdint>

namespace kestrel {

// Milliseconds of a monotonic clock, wrapping at 2^32. Differences between two ticks are always
// taken as unsigned 32-bit values (TickDiff), so they stay right across the wrap.
using Tick = std::uint32_t;

[[nodiscard]] constexpr Tick TickDiff(Tick later, Tick earlier) noexcept { return later - earlier; }

// Milliseconds from `earlier` to `now`, for a time another thread stores: 0 when it is later than
// `now` (stored after `now` was read), which TickDiff would take for a difference of 49 days.
[[nodiscard]] constexpr Tick TickElapsed(Tick now, Tick earlier) noexcept {
  const auto d = static_cast<std::int32_t>(now - earlier);
  return d > 0 ? static_cast<Tick>(d) : 0U;
}

// The system's monotonic millisecond tick. It moves in steps of the kernel's timer tick (1 to
// 4 ms), and reading it never touches the clock hardware: the capture thread takes it for every
// event, and where the hardware clock cannot be read from user space (virtual machines often)
// the precise clock would cost a system call each time. Any thread; never blocks.
[[nodiscard]] Tick TickCount() noexcept;

// Low 32 bits of the monotonic nanosecond counter: a cheap, quickly changing number used to
// tell long messages apart on the wire. Any thread; never blocks.
[[nodiscard]] std::uint32_t HighResolutionCounter() noexcept;

// Where the time comes from. Production code uses SystemClock(); tests drive a ManualClock.
class TickClock {
public:
  virtual ~TickClock() = default;
  // Any thread; never blocks.
  [[nodiscard]] virtual Tick Now() const noexcept = 0;
};

[[nodiscard]] const TickClock& SystemClock() noexcept;

// A clock that only moves when told to. Safe to read and move from any thread.
class ManualClock final : public TickClock {
public:
  explicit ManualClock(Tick start = 0) noexcept : now_(start) {}
  [[nodiscard]] Tick Now() const noexcept override { return now_.load(std::memory_order_relaxed); }
  void Set(Tick now) noexcept { now_.store(now, std::memory_order_relaxed); }
  void Advance(Tick ms) noexcept { now_.fetch_add(ms, std::memory_order_relaxed); }

private:
  std::atomic<Tick> now_;
};

} // namespace kestrel
