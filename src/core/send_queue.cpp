// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/send_queue.hpp"

#include "core/dump_store.hpp"
#include "core/window_flags.hpp"
#include "core/wire/wire_protocol.hpp"

#include <cstring>
#include <utility>

namespace kestrel {

SendQueue::SendQueue(DumpStore& dump, const WindowFlags& flags, DropCounters* drops)
    : dump_(dump), flags_(flags), drops_(drops), active_(std::make_unique<std::byte[]>(kCapacity)),
      spare_(std::make_unique<std::byte[]>(kCapacity)) {}

int SendQueue::Append(std::span<const std::byte> record) {
  if (record.size() < kHeaderSize || record.size() > kMaxRecordSize) { return 0; }
  EventRecord header = LoadHeader(record.data());
  if (header.dataLength < 0 || static_cast<std::size_t>(header.dataLength) != record.size() - kHeaderSize) { return 0; }
  // Only what a receiver will read: a record it takes for malformed would cost every record
  // behind it in the same datagram. Fragments are made by the sender alone.
  if (header.Is(RecordType::Fragment) || header.Is(RecordType::LastFragment) ||
      !PlausibleLength(header.type, header.dataLength)) {
    return 0;
  }
  const std::span<const std::byte> payload = record.subspan(kHeaderSize);

  const bool windowPresent = flags_.present.load(std::memory_order_acquire);
  if (windowPresent && !payload.empty()) {
    const auto first = std::to_integer<std::uint8_t>(payload[0]);
    if (first == 0xF8 && flags_.filterTimingClock.load(std::memory_order_relaxed)) { return 0; }
    if (first == 0xFE && flags_.filterActiveSensing.load(std::memory_order_relaxed)) { return 0; }
  }

  std::size_t old = 0;
  {
    const std::lock_guard guard(lock_);
    old = count_.load(std::memory_order_relaxed);
    if (old + record.size() >= kCapacity) {
      dropped_.fetch_add(1, std::memory_order_relaxed);
      CountDrop(drops_, Drop::QueueFull);
      return 1;
    }
    std::memcpy(active_.get() + old, record.data(), record.size());
    count_.store(old + record.size(), std::memory_order_relaxed);
  }
  // Set after unlocking: the consumer may already have taken the record, in which case it only
  // wakes once more and finds the queue empty.
  if (old == 0) { wakeEvent_.Set(); }

  if (windowPresent) {
    dump_.NoteArrival(header);
    if (flags_.serverLog.load(std::memory_order_relaxed)) { dump_.AppendToDump(header, payload); }
  }
  return 1;
}

std::span<std::byte> SendQueue::Take() noexcept {
  const std::lock_guard guard(lock_);
  const std::size_t n = count_.load(std::memory_order_relaxed);
  std::swap(active_, spare_);
  count_.store(0, std::memory_order_relaxed);
  return {spare_.get(), n};
}

} // namespace kestrel
