// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/wire/wire_protocol.hpp"

#include <algorithm>
#include <cstring>

namespace kestrel {

bool PlausibleLength(std::int32_t type, std::int32_t dataLength) noexcept {
  switch (static_cast<RecordType>(type)) {
  case RecordType::KeepAlive:
  case RecordType::MIM_OPEN:
  case RecordType::MIM_CLOSE:
  case RecordType::MIM_DATA: return dataLength == 4;
  case RecordType::MIM_LONGDATA: return dataLength >= 1 && dataLength <= static_cast<std::int32_t>(kMaxLongMessage);
  case RecordType::Fragment:
  case RecordType::LastFragment: return dataLength >= 1 && dataLength <= static_cast<std::int32_t>(kFragmentPayload);
  }
  return false;
}

bool RecordReader::Next(RecordView& out) noexcept {
  if (malformed_ || offset_ >= data_.size()) { return false; }
  const std::size_t left = data_.size() - offset_;
  if (left < kHeaderSize) {
    malformed_ = true;
    return false;
  }
  const std::byte* p = data_.data() + offset_;
  const EventRecord h = LoadHeader(p);
  if (!PlausibleLength(h.type, h.dataLength) || static_cast<std::size_t>(h.dataLength) > left - kHeaderSize) {
    malformed_ = true;
    return false;
  }
  const std::size_t length = kHeaderSize + static_cast<std::size_t>(h.dataLength);
  out.header = h;
  out.bytes = data_.subspan(offset_, length);
  out.payload = out.bytes.subspan(kHeaderSize);
  offset_ += length;
  return true;
}

// ---- FragmentGatherer ------------------------------------------------------------------------

FragmentGatherer::FragmentGatherer(GatherLimits limits) : limits_(limits) {
  slots_.resize(std::max<std::size_t>(limits_.maxPending, 1));
}

std::size_t FragmentGatherer::PendingCount() const noexcept {
  return static_cast<std::size_t>(std::count_if(slots_.begin(), slots_.end(), [](const Slot& s) { return s.used; }));
}

FragmentGatherer::Slot* FragmentGatherer::Find(std::int32_t messageId) noexcept {
  for (Slot& s : slots_) {
    if (s.used && s.messageId == messageId) { return &s; }
  }
  return nullptr;
}

void FragmentGatherer::Expire(Tick now) noexcept {
  for (Slot& s : slots_) {
    if (s.used && TickDiff(now, s.lastActivity) > limits_.maxAgeMs) {
      s.used = false;
      ++abandoned_;
    }
  }
}

FragmentGatherer::Slot& FragmentGatherer::FreeSlot(Tick now) {
  Slot* stalest = &slots_.front();
  for (Slot& s : slots_) {
    if (!s.used) {
      stalest = &s;
      break;
    }
    if (TickDiff(now, s.lastActivity) > TickDiff(now, stalest->lastActivity)) { stalest = &s; }
  }
  if (stalest->used) ++abandoned_;
  stalest->used = false;
  if (!stalest->buffer) { stalest->buffer = std::make_unique<std::byte[]>(kMaxRecordSize); }
  return *stalest;
}

FragmentGatherer::Result FragmentGatherer::Add(const RecordView& fragment, Tick now) {
  completed_ = {};
  Expire(now);
  const EventRecord& h = fragment.header;
  const bool last = h.Is(RecordType::LastFragment);
  if (!last && !h.Is(RecordType::Fragment)) return Result::Ignored;
  const auto length = static_cast<std::int32_t>(fragment.payload.size());

  if (!last && h.sequence == 0) {
    // A new first fragment replaces whatever was pending under the same identifier.
    if (Slot* old = Find(h.messageId)) { old->used = false; }
    if (h.totalLength < 1 || h.totalLength > static_cast<std::int32_t>(kMaxLongMessage) || length > h.totalLength) {
      return Result::Refused;
    }
    Slot& s = FreeSlot(now);
    s.used = true;
    s.messageId = h.messageId;
    s.sequence = 0;
    s.totalLength = h.totalLength;
    s.gathered = length;
    s.lastActivity = now;
    EventRecord whole = h;
    whole.type = static_cast<std::int32_t>(RecordType::MIM_LONGDATA);
    whole.dataLength = h.totalLength;
    whole.totalLength = 0;
    whole.messageId = 0;
    whole.sequence = 0;
    StoreHeader(s.buffer.get(), whole);
    std::memcpy(s.buffer.get() + kHeaderSize, fragment.payload.data(), fragment.payload.size());
    return Result::Started;
  }

  Slot* s = Find(h.messageId);
  if (s == nullptr) { return Result::Ignored; }
  if (s->sequence + 1 != h.sequence) { return Result::SequenceBreak; }
  if (length > s->totalLength - s->gathered) {
    s->used = false;
    return Result::Refused;
  }
  std::memcpy(s->buffer.get() + kHeaderSize + s->gathered, fragment.payload.data(), fragment.payload.size());
  s->gathered += length;
  s->sequence = h.sequence;
  s->lastActivity = now;
  if (!last) { return Result::Continued; }

  s->used = false;
  if (s->gathered != s->totalLength) { return Result::Discarded; }
  const auto size = kHeaderSize + static_cast<std::size_t>(s->totalLength);
  completed_.bytes = std::span<const std::byte>(s->buffer.get(), size);
  completed_.payload = completed_.bytes.subspan(kHeaderSize);
  completed_.header = LoadHeader(s->buffer.get());
  return Result::Complete;
}

// ---- Keep-alive ------------------------------------------------------------------------------

bool KeepAliveDue(Tick now, KeepAliveTimes& times) noexcept {
  bool due = false;
  // The engine stores lastSendTime while the window reads `now`: a send just after is no idleness.
  if (TickElapsed(now, times.lastSendTime) > kKeepAliveIdleMs) {
    times.lastSendTime = now;
    due = true;
  }
  if (TickDiff(now, times.lastKeepAliveTime) > kKeepAliveMaxGapMs) { due = true; }
  if (due) { times.lastKeepAliveTime = now; }
  return due;
}

} // namespace kestrel
