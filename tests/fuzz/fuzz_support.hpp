// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What every fuzz target's oracle uses: a check that stops the run where it fails, a copy of the
// input that AddressSanitizer guards byte for byte, and what a short message played must be.

#include "core/wire/raw_midi.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace kestrel::fuzz {

inline void Check(bool holds) {
  if (!holds) { __builtin_trap(); }
}

// A copy of exactly the bytes' size on the heap, so that AddressSanitizer sees any read past it.
struct ExactCopy {
  explicit ExactCopy(std::span<const std::byte> bytes)
      : data(std::make_unique<std::byte[]>(bytes.size())), span(data.get(), bytes.size()) {
    std::copy(bytes.begin(), bytes.end(), data.get());
  }
  std::unique_ptr<std::byte[]> data;
  std::span<const std::byte> span;
};

// A short message as PackShortMessage packs it: a status, as many data bytes as it takes (each
// below 0x80), zeros above.
inline void CheckShortMessage(std::uint32_t word) {
  const auto status = static_cast<std::uint8_t>(word & 0xFFU);
  const std::size_t n = RawMessageLength(status);
  Check(n >= 1 && n <= 3);
  Check((word >> 24U) == 0);
  Check(n >= 2 || ((word >> 8U) & 0xFFU) == 0);
  Check(n >= 3 || ((word >> 16U) & 0xFFU) == 0);
  Check(((word >> 8U) & 0x80U) == 0 && ((word >> 16U) & 0x80U) == 0);
}

} // namespace kestrel::fuzz
