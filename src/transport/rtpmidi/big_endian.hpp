// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Network byte order at any alignment, for the session packets and the RTP header.

#include <cstddef>
#include <cstdint>

namespace kestrel::net::rtpmidi {

[[nodiscard]] inline std::uint16_t LoadBE16(const std::byte* p) noexcept {
  return static_cast<std::uint16_t>((std::to_integer<unsigned>(p[0]) << 8U) | std::to_integer<unsigned>(p[1]));
}

[[nodiscard]] inline std::uint32_t LoadBE32(const std::byte* p) noexcept {
  return (static_cast<std::uint32_t>(LoadBE16(p)) << 16U) | LoadBE16(p + 2);
}

[[nodiscard]] inline std::uint64_t LoadBE64(const std::byte* p) noexcept {
  return (static_cast<std::uint64_t>(LoadBE32(p)) << 32U) | LoadBE32(p + 4);
}

inline void StoreBE16(std::byte* p, std::uint16_t v) noexcept {
  p[0] = static_cast<std::byte>(v >> 8U);
  p[1] = static_cast<std::byte>(v & 0xFFU);
}

inline void StoreBE32(std::byte* p, std::uint32_t v) noexcept {
  StoreBE16(p, static_cast<std::uint16_t>(v >> 16U));
  StoreBE16(p + 2, static_cast<std::uint16_t>(v & 0xFFFFU));
}

inline void StoreBE64(std::byte* p, std::uint64_t v) noexcept {
  StoreBE32(p, static_cast<std::uint32_t>(v >> 32U));
  StoreBE32(p + 4, static_cast<std::uint32_t>(v & 0xFFFFFFFFU));
}

} // namespace kestrel::net::rtpmidi
