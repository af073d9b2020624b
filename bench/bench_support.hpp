// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the benchmark programs share: percentiles of a sample, numbered short messages, and client
// reports that go nowhere.

#include "core/event_record.hpp"
#include "net/client_engine.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kestrel::bench {

// The value below which a share `p` (0..1) of the sample lies; 0 for an empty sample.
inline double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// Event i as a Note Off whose channel and data bytes carry its number (17 bits), and back.
inline std::uint32_t Numbered(std::size_t i) {
  return PackShortMessage(static_cast<std::uint8_t>(0x80U | ((i >> 14U) & 0x7U) << 4U),
                          static_cast<std::uint8_t>(i & 0x7FU), static_cast<std::uint8_t>((i >> 7U) & 0x7FU));
}
inline std::size_t NumberOf(std::uint32_t word) {
  return ((word >> 8U) & 0x7FU) | (((word >> 16U) & 0x7FU) << 7U) | (((word >> 4U) & 0x7U) << 14U);
}

// A client engine's reports: always connected; a fatal error is printed.
struct QuietReports final : net::ClientReports {
  void ReportConnectionState(net::ConnectionState) override {}
  void ReportServerAddress(in_addr_t) override {}
  void ReportFatalError(const std::string& text) override { std::fprintf(stderr, "error: %s\n", text.c_str()); }
  [[nodiscard]] net::ConnectionState CurrentState() const noexcept override { return net::ConnectionState::Connected; }
};

} // namespace kestrel::bench
