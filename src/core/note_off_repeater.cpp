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

void NoteOffRepeater::Withdraw(std::int32_t port, std::uint32_t startingWord) noexcept {
  const bool pedal = Kind(startingWord) == 0xB0;
  for (std::size_t i = 0; i < count_; ++i) {
    if (withdrawn_[i]) continue;
    const ShortRecord& r = pending_[i];
    if (LoadLE32(r.data() + field::kPort) != port) continue;
    const auto word = static_cast<std::uint32_t>(LoadLE32(r.data() + kHeaderSize));
    if (Channel(word) != Channel(startingWord)) continue;
    const bool sustainOff = Kind(word) == 0xB0 && Data1(word) == kSustain;
    const bool channelWide = Kind(word) == 0xB0 && !sustainOff;
    // Sustain On withdraws Sustain Off; a Note On withdraws its key's Note Off and the channel's
    // All Notes Off and All Sound Off.
    if (pedal ? sustainOff : channelWide || (!sustainOff && Data1(word) == Data1(startingWord))) withdrawn_[i] = true;
  }
}

void NoteOffRepeater::Collect(std::span<const std::byte> records) noexcept {
  std::size_t p = 0;
  while (p + kHeaderSize <= records.size()) {
    const std::int32_t dataLength = LoadLE32(records.data() + p + field::kDataLength);
    if (dataLength < 0 || static_cast<std::size_t>(dataLength) > records.size() - p - kHeaderSize) return;
    const std::size_t length = kHeaderSize + static_cast<std::size_t>(dataLength);
    const std::int32_t type = LoadLE32(records.data() + p + field::kType);
    if (type == static_cast<std::int32_t>(RecordType::MIM_DATA) && length == kShortRecordSize) {
      const auto word = static_cast<std::uint32_t>(LoadLE32(records.data() + p + kHeaderSize));
      const std::int32_t port = LoadLE32(records.data() + p + field::kPort);
      if (EndsSound(word)) {
        if (count_ < kMaxRepeats) {
          std::memcpy(pending_[count_].data(), records.data() + p, kShortRecordSize);
          withdrawn_[count_] = false;
          ++count_;
        } else {
          ++skipped_;
        }
      } else if (count_ > 0 &&
                 ((Kind(word) == 0x90 && Data2(word) != 0) || (Kind(word) == 0xB0 && Data1(word) == kSustain))) {
        Withdraw(port, word);
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

bool RepeatFilter::IsCopy(const EventRecord& header, std::uint32_t word) noexcept {
  if (!NoteOffRepeater::EndsSound(word)) {
    // A key struck again (or the pedal pressed again) makes its next Note Off (Sustain Off) a new
    // one, however alike its header: a server sends no copy behind it. Servers that leave the
    // time fields at 0 depend on this.
    const bool noteOn = Kind(word) == 0x90;
    const bool pedalDown = Kind(word) == 0xB0 && Data1(word) == kSustain;
    if (!noteOn && !pedalDown) return false;
    for (Seen& s : seen_) {
      if (s.port != header.port || Channel(s.word) != Channel(word)) continue;
      const bool sustainOff = Kind(s.word) == 0xB0 && Data1(s.word) == kSustain;
      const bool channelWide = Kind(s.word) == 0xB0 && !sustainOff;
      if (pedalDown ? sustainOff : channelWide || (!sustainOff && Data1(s.word) == Data1(word))) s = Seen{};
    }
    return false;
  }
  for (Seen& s : seen_) {
    if (s.port == header.port && s.word == word && s.timestamp == header.timestamp &&
        s.captureTime == header.captureTime) {
      s = Seen{}; // one copy each: a third one is played again
      return true;
    }
  }
  seen_[next_] = Seen{header.port, header.timestamp, header.captureTime, word};
  next_ = (next_ + 1) % kRemembered;
  return false;
}

} // namespace kestrel
