// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A Note Off that is lost leaves a note sounding until somebody notices. The server therefore sends
// every message that ends sound a second time, shortly after the first: Note Off, Note On with
// velocity 0, Sustain Off and All Notes Off. The repeat is an ordinary record, identical to the
// first, so any receiver takes it; a second Note Off is harmless. Where a key's last Note Off (or a
// channel's last Sustain Off) is followed by nothing more for that key (pedal), it is sent again
// kLateRepeatMs later, twice, so that a note does not stick when both early copies are lost.
//
// A repeat must never end a note that began after it was first sent. The repeats of a run of
// records therefore go out before the next run (they lead the next datagram), and a repeat is
// withdrawn when a later record turns that key on again (or, for All Notes Off, any key of that
// channel; for Sustain Off, the pedal). A later message of the same key (pedal) that ends sound
// too takes the earlier one's place: only the last value is repeated, never one it replaced.
//
// Fixed storage; one thread only (the server engine).

#include "base/tick_clock.hpp"
#include "core/event_record.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrel {

class NoteOffRepeater {
public:
  static constexpr std::size_t kMaxRepeats = 256; // beyond this in one run, the rest is not repeated

  // After the first copy: the late ones, as long as nothing more came for the key (pedal).
  static constexpr std::array<Tick, 2> kLateRepeatMs{100, 1000};
  static constexpr std::size_t kMaxLate = 256; // keys (pedals) awaiting late copies; the oldest give way

  // Notes the repeats a run of records about to be sent at `now` calls for (records as the send
  // queue holds them, whole). Call before the run is sent: sending may rewrite long records in place.
  void Collect(std::span<const std::byte> records, Tick now = 0) noexcept;

  [[nodiscard]] bool Pending() const noexcept { return count_ > 0; }
  // Repeats not made because the run held more than kMaxRepeats of them, since construction.
  [[nodiscard]] std::uint64_t Skipped() const noexcept { return skipped_; }

  // The pending repeats, whole records in their order, and forgets them. The bytes stay valid and
  // the caller's to rewrite until the next Collect.
  [[nodiscard]] std::span<std::byte> Take() noexcept;

  // The late copies due at `now`, whole records, and notes them as sent. The bytes stay valid and
  // the caller's to rewrite until the next call.
  [[nodiscard]] std::span<std::byte> TakeLate(Tick now) noexcept;
  // Milliseconds from `now` until the next late copy is due (0: due now); -1: none waits.
  [[nodiscard]] long LateDueIn(Tick now) const noexcept;

  // Whether a short message (status in the lowest byte) ends sound and is repeated.
  [[nodiscard]] static bool EndsSound(std::uint32_t word) noexcept;
  // Whether `later` on the same port makes a copy of `earlier` (a message that ends sound) wrong
  // or needless: a Note On of its key (of any key, for All Notes Off and All Sound Off), the pedal
  // for Sustain Off, or another message of the same key, pedal or channel-wide controller.
  [[nodiscard]] static bool Supersedes(std::uint32_t later, std::uint32_t earlier) noexcept;

private:
  void Withdraw(std::int32_t port, std::uint32_t word) noexcept;

  struct Late {
    ShortRecord record{};
    Tick first = 0; // when the first copy left
    // Late copies sent so far; kLateRepeatMs.size(): none left (a free entry).
    std::size_t sent = kLateRepeatMs.size();
  };

  std::array<ShortRecord, kMaxRepeats> pending_{};
  std::array<bool, kMaxRepeats> withdrawn_{};
  std::size_t count_ = 0;
  std::array<std::byte, kMaxRepeats * kShortRecordSize> out_{};
  std::array<Late, kMaxLate> late_{};
  std::array<std::byte, kMaxLate * kShortRecordSize> lateOut_{};
  std::uint64_t skipped_ = 0;
};

// The receiving side: a Kestrel client plays a message that ends sound once, whether the first
// copy, the repeats or some of them arrive. A copy is what the server could have sent as one: the
// same record (port, timestamp, capture time and message) within kWindowMs of the first, with
// nothing between that supersedes it (NoteOffRepeater::Supersedes: the key struck again, another
// value of the pedal). Servers that leave the time fields at 0 depend on the last rule: their
// half-pedal 40, 20, 40 is three messages. What is still taken for a copy from them (the same Note
// Off twice, nothing for its key between) changes nothing at the synthesizer.
// Fixed storage; one thread only (the client engine).
class RepeatFilter {
public:
  static constexpr std::size_t kRemembered = 2 * NoteOffRepeater::kMaxRepeats;
  // The last late copy's delay, and room for the way.
  static constexpr Tick kWindowMs = NoteOffRepeater::kLateRepeatMs.back() + 500;

  // True when this short message, arriving at `now`, is a copy of one already played (skip it).
  // Messages that do not end sound are never copies. Every short message played goes through here.
  [[nodiscard]] bool IsCopy(const EventRecord& header, std::uint32_t word, Tick now) noexcept;

  void Forget() noexcept { seen_.fill({}); }

private:
  struct Seen {
    std::int32_t port = 0; // 0: an empty entry (records of port 0 are never played)
    std::int32_t timestamp = 0;
    std::int32_t captureTime = 0;
    std::uint32_t word = 0;
    Tick first = 0; // when the first copy arrived
  };
  std::array<Seen, kRemembered> seen_{};
  std::size_t next_ = 0;
};

} // namespace kestrel
