// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A Note Off that is lost leaves a note sounding until somebody notices. The server therefore sends
// every message that ends sound a second time, shortly after the first: Note Off, Note On with
// velocity 0, Sustain Off and All Notes Off. The repeat is an ordinary record, identical to the
// first, so any receiver takes it; a second Note Off is harmless.
//
// A repeat must never end a note that began after it was first sent. The repeats of a run of
// records therefore go out before the next run (they lead the next datagram), and a repeat is
// withdrawn when a later record of the same run turns that key on again (or, for All Notes Off,
// any key of that channel; for Sustain Off, the pedal).
//
// Fixed storage; one thread only (the server engine).

#include "core/event_record.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrel {

class NoteOffRepeater {
public:
  static constexpr std::size_t kMaxRepeats = 256; // beyond this in one run, the rest is not repeated

  // Notes the repeats a run of records about to be sent calls for (records as the send queue holds
  // them, whole). Call before the run is sent: sending may rewrite long records in place.
  void Collect(std::span<const std::byte> records) noexcept;

  [[nodiscard]] bool Pending() const noexcept { return count_ > 0; }
  // Repeats not made because the run held more than kMaxRepeats of them, since construction.
  [[nodiscard]] std::uint64_t Skipped() const noexcept { return skipped_; }

  // The pending repeats, whole records in their order, and forgets them. The bytes stay valid and
  // the caller's to rewrite until the next Collect.
  [[nodiscard]] std::span<std::byte> Take() noexcept;

  // Whether a short message (status in the lowest byte) ends sound and is repeated.
  [[nodiscard]] static bool EndsSound(std::uint32_t word) noexcept;

private:
  void Withdraw(std::int32_t port, std::uint32_t startingWord) noexcept;

  std::array<ShortRecord, kMaxRepeats> pending_{};
  std::array<bool, kMaxRepeats> withdrawn_{};
  std::size_t count_ = 0;
  std::array<std::byte, kMaxRepeats * kShortRecordSize> out_{};
  std::uint64_t skipped_ = 0;
};

// The receiving side: a Kestrel client plays a message that ends sound once, whether the first
// copy, the repeat or both arrive. A copy is known by its header (port, timestamp, capture time)
// and message, among the last kRemembered such messages played, unless its key was struck again
// in between. Another identical Note Off in the same millisecond is taken for a copy too, which is
// harmless: the note is already off.
// Fixed storage; one thread only (the client engine).
class RepeatFilter {
public:
  static constexpr std::size_t kRemembered = NoteOffRepeater::kMaxRepeats;

  // True when this short message is the second copy of one already played (skip it). Messages
  // that do not end sound are never copies. Every short message played goes through here.
  [[nodiscard]] bool IsCopy(const EventRecord& header, std::uint32_t word) noexcept;

  void Forget() noexcept { seen_.fill({}); }

private:
  struct Seen {
    std::int32_t port = 0; // 0: an empty entry (records of port 0 are never played)
    std::int32_t timestamp = 0;
    std::int32_t captureTime = 0;
    std::uint32_t word = 0;
  };
  std::array<Seen, kRemembered> seen_{};
  std::size_t next_ = 0;
};

} // namespace kestrel
