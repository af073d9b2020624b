// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The one hand-over point between everything that produces server-side events (MIDI capture,
// keep-alives, test notes) and the server engine thread that broadcasts them.

#include "base/auto_reset_event.hpp"
#include "core/drop_counters.hpp"
#include "core/event_record.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

namespace kestrel {

class DumpStore;
struct WindowFlags;

class SendQueue {
public:
  static constexpr std::size_t kCapacity = 164000;     // bytes; at most kCapacity - 1 are ever queued
  static constexpr std::size_t kYieldThreshold = 1000; // producers of short messages yield above this

  // `dump` and `flags` must outlive the queue and every producer. `drops`, when given, outlives
  // them too: the server side (the queue, capture, the server engine) counts what it drops there.
  SendQueue(DumpStore& dump, const WindowFlags& flags, DropCounters* drops = nullptr);
  SendQueue(const SendQueue&) = delete;
  SendQueue& operator=(const SendQueue&) = delete;

  // Queues one whole record (header + dataLength bytes, wire layout). Any thread; holds the queue
  // lock only for the copy; never allocates, never waits on the network.
  // Returns 1 when the record was taken or dropped because the queue was full, and 0 when a
  // filter refused it (Timing Clock or Active Sensing while the window's filters are on) or it is
  // not a record a receiver would take (wrong length, unknown type, a fragment). Taken records are then noted in the
  // dump store (lag statistics, and the dump itself when the server's log flag is on) while the window exists.
  int Append(std::span<const std::byte> record);

  // Bytes queued now, read without the lock (may be stale): for the producers' yield rule.
  [[nodiscard]] std::size_t Count() const noexcept { return count_.load(std::memory_order_relaxed); }

  // Records dropped because the queue was full, since construction.
  [[nodiscard]] std::uint64_t DroppedCount() const noexcept { return dropped_.load(std::memory_order_relaxed); }

  // Where the server side counts its drops; null when the queue was made without. Any thread.
  [[nodiscard]] DropCounters* Drops() const noexcept { return drops_; }

  // Signalled at least once after every change from empty to non-empty. The server engine alone
  // waits on it; its stop sequence sets it too.
  AutoResetEvent& WakeEvent() noexcept { return wakeEvent_; }

  // Consumer side, server engine thread only: takes every record queued so far, in order, and
  // leaves the queue empty. The returned bytes belong to the consumer until its next Take(); it
  // may rewrite them (fragmenting in place). Producers are held up only for the swap, never while
  // the consumer sends.
  [[nodiscard]] std::span<std::byte> Take() noexcept;

private:
  DumpStore& dump_;
  const WindowFlags& flags_;
  DropCounters* drops_;
  std::mutex lock_;
  std::unique_ptr<std::byte[]> active_; // producers append here (under lock_)
  std::unique_ptr<std::byte[]> spare_;  // the consumer's, between two Take() calls
  std::atomic<std::size_t> count_{0};   // bytes in active_; written under lock_
  std::atomic<std::uint64_t> dropped_{0};
  AutoResetEvent wakeEvent_;
};

} // namespace kestrel
