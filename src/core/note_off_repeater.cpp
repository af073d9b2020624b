// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/note_off_repeater.hpp"

#include <cstring>

namespace kestrel {

namespace {

constexpr std::uint8_t kSustain = 64;
constexpr std::uint8_t kAllSoundOff = 120;
constexpr std::uint8_t kAllNotesOff = 123;

constexpr std::uint8_t Status(std::uint32_t word) noexcept { return static_cast<std::uint8_t>(word); }
constexpr std::uint8_t Data1(std::uint32_t word) noexcept { return static_cast<std::uint8_t>(word >> 8U) & 0x7FU; }
constexpr std::uint8_t Data2(std::uint32_t word) noexcept { return static_cast<std::uint8_t>(word >> 16U) & 0x7FU; }
constexpr std::uint8_t Kind(std::uint32_t word) noexcept { return Status(word) & 0xF0U; }
constexpr std::uint8_t Channel(std::uint32_t word) noexcept { return Status(word) & 0x0FU; }

} // namespace

bool NoteOffRepeater::EndsSound(std::uint32_t word) noexcept {
  switch (Kind(word)) {
  case 0x80: return true;
  case 0x90: return Data2(word) == 0;
  case 0xB0:
    return (Data1(word) == kSustain && Data2(word) < 64) || Data1(word) == kAllNotesOff || Data1(word) == kAllSoundOff;
  default: return false;
  }
}

bool NoteOffRepeater::Supersedes(std::uint32_t later, std::uint32_t earlier) noexcept {
  if (Channel(later) != Channel(earlier)) return false;
  const bool laterNote = Kind(later) == 0x80 || Kind(later) == 0x90;
  if (Kind(earlier) != 0xB0) return laterNote && Data1(later) == Data1(earlier); // a Note Off
  if (Data1(earlier) == kSustain) return Kind(later) == 0xB0 && Data1(later) == kSustain;
  // All Notes Off, All Sound Off
  return (Kind(later) == 0x90 && Data2(later) != 0) || (Kind(later) == 0xB0 && Data1(later) == Data1(earlier));
}

namespace {

// Late copies are made of a key's Note Off and of the pedal's Sustain Off.
bool RepeatedLate(std::uint32_t word) noexcept {
  return Kind(word) == 0x80 || (Kind(word) == 0x90 && Data2(word) == 0) ||
         (Kind(word) == 0xB0 && Data1(word) == kSustain && Data2(word) < 64);
}

std::uint32_t WordOf(const ShortRecord& r) noexcept {
  return static_cast<std::uint32_t>(LoadLE32(r.data() + kHeaderSize));
}

} // namespace

void NoteOffRepeater::Withdraw(std::int32_t port, std::uint32_t word) noexcept {
  for (std::size_t i = 0; i < count_; ++i) {
    if (!withdrawn_[i] && LoadLE32(pending_[i].data() + field::kPort) == port &&
        Supersedes(word, WordOf(pending_[i]))) {
      withdrawn_[i] = true;
    }
  }
  for (Late& l : late_) {
    if (l.sent < kLateRepeatMs.size() && LoadLE32(l.record.data() + field::kPort) == port &&
        Supersedes(word, WordOf(l.record))) {
      l.sent = kLateRepeatMs.size();
    }
  }
}

void NoteOffRepeater::Collect(std::span<const std::byte> records, Tick now) noexcept {
  std::size_t p = 0;
  while (p + kHeaderSize <= records.size()) {
    const std::int32_t dataLength = LoadLE32(records.data() + p + field::kDataLength);
    if (dataLength < 0 || static_cast<std::size_t>(dataLength) > records.size() - p - kHeaderSize) return;
    const std::size_t length = kHeaderSize + static_cast<std::size_t>(dataLength);
    const std::int32_t type = LoadLE32(records.data() + p + field::kType);
    if (type == static_cast<std::int32_t>(RecordType::MIM_DATA) && length == kShortRecordSize) {
      const auto word = static_cast<std::uint32_t>(LoadLE32(records.data() + p + kHeaderSize));
      const std::int32_t port = LoadLE32(records.data() + p + field::kPort);
      if (Kind(word) == 0x80 || Kind(word) == 0x90 || Kind(word) == 0xB0) Withdraw(port, word);
      if (EndsSound(word)) {
        if (count_ < kMaxRepeats) {
          std::memcpy(pending_[count_].data(), records.data() + p, kShortRecordSize);
          withdrawn_[count_] = false;
          ++count_;
        } else {
          ++skipped_;
        }
      }
      if (RepeatedLate(word)) {
        // A free entry, else the one whose first copy is oldest.
        Late* slot = &late_[0];
        for (Late& l : late_) {
          if (l.sent >= kLateRepeatMs.size()) {
            slot = &l;
            break;
          }
          if (TickElapsed(now, l.first) > TickElapsed(now, slot->first)) slot = &l;
        }
        std::memcpy(slot->record.data(), records.data() + p, kShortRecordSize);
        slot->first = now;
        slot->sent = 0;
      }
    }
    p += length;
  }
}

std::span<std::byte> NoteOffRepeater::Take() noexcept {
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < count_; ++i) {
    if (withdrawn_[i]) continue;
    std::memcpy(out_.data() + bytes, pending_[i].data(), kShortRecordSize);
    bytes += kShortRecordSize;
  }
  count_ = 0;
  return {out_.data(), bytes};
}

std::span<std::byte> NoteOffRepeater::TakeLate(Tick now) noexcept {
  std::size_t bytes = 0;
  for (Late& l : late_) {
    if (l.sent >= kLateRepeatMs.size() || TickElapsed(now, l.first) < kLateRepeatMs[l.sent]) continue;
    // Late enough for more than one (a busy engine): sent once.
    while (l.sent < kLateRepeatMs.size() && TickElapsed(now, l.first) >= kLateRepeatMs[l.sent]) ++l.sent;
    std::memcpy(lateOut_.data() + bytes, l.record.data(), kShortRecordSize);
    bytes += kShortRecordSize;
  }
  return {lateOut_.data(), bytes};
}

long NoteOffRepeater::LateDueIn(Tick now) const noexcept {
  long due = -1;
  for (const Late& l : late_) {
    if (l.sent >= kLateRepeatMs.size()) continue;
    const Tick elapsed = TickElapsed(now, l.first);
    const long left = elapsed >= kLateRepeatMs[l.sent] ? 0 : static_cast<long>(kLateRepeatMs[l.sent] - elapsed);
    if (due < 0 || left < due) due = left;
  }
  return due;
}

bool RepeatFilter::IsCopy(const EventRecord& header, std::uint32_t word, Tick now) noexcept {
  const bool endsSound = NoteOffRepeater::EndsSound(word);
  if (!endsSound && Kind(word) != 0x80 && Kind(word) != 0x90 && Kind(word) != 0xB0) return false;
  if (endsSound) {
    for (const Seen& s : seen_) {
      if (s.port == header.port && s.word == word && s.timestamp == header.timestamp &&
          s.captureTime == header.captureTime && TickElapsed(now, s.first) <= kWindowMs) {
        return true; // kept: the late copies follow
      }
    }
  }
  // The key struck again, another pedal value, another message of the same key: whatever copy of
  // an earlier message comes after this is no copy the server sent.
  for (Seen& s : seen_) {
    if (s.port == header.port && NoteOffRepeater::Supersedes(word, s.word)) s = Seen{};
  }
  if (!endsSound) return false;
  seen_[next_] = Seen{header.port, header.timestamp, header.captureTime, word, now};
  next_ = (next_ + 1) % kRemembered;
  return false;
}

} // namespace kestrel
