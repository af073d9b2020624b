// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What every fuzz target's oracle uses: a check that stops the run where it fails, and a copy of
// the input that AddressSanitizer guards byte for byte.

#include <algorithm>
#include <cstddef>
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

} // namespace kestrel::fuzz
