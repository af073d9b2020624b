// SPDX-License-Identifier: GPL-3.0-or-later
#include "net/path_copies.hpp"

#include "core/wire/raw_midi.hpp"

namespace kestrel::net {

bool PathCopies::IsCopy(Path path, in_addr_t sender, const EventRecord& header, std::span<const std::byte> payload,
                        Tick now) noexcept {
  if (path >= kMostPaths) return false;
  std::array<std::byte, 3> scratch{};
  const RawBytes raw = EncodeRawMidi(header, payload, scratch);
  if (raw.result != RawEncoding::Bytes) return false; // never sent on another path
  std::uint64_t key = 14695981039346656037ULL;        // FNV-1a
  for (const std::byte b : raw.bytes) key = (key ^ static_cast<std::uint8_t>(b)) * 1099511628211ULL;
  const auto bit = static_cast<std::uint8_t>(1U << path);
  while (count_ > 0 && TickElapsed(now, played_[head_].time) > kWindowMs) {
    head_ = (head_ + 1) % kRemembered;
    --count_;
  }
  for (std::size_t i = 0; i < count_; ++i) {
    Played& p = played_[(head_ + i) % kRemembered];
    if ((p.paths & bit) == 0 && p.key == key && p.sender == sender && p.port == header.port &&
        TickElapsed(now, p.time) <= kWindowMs) {
      p.paths |= bit; // the oldest first: each one stands for one copy
      return true;
    }
  }
  if (count_ == kRemembered) { // full: the oldest goes
    head_ = (head_ + 1) % kRemembered;
    --count_;
  }
  played_[(head_ + count_) % kRemembered] = Played{key, now, sender, header.port, bit};
  ++count_;
  return false;
}

} // namespace kestrel::net
