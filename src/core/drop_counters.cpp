// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/drop_counters.hpp"

namespace kestrel {

DropCounts DropCounters::Snapshot() const noexcept {
  DropCounts out{};
  for (std::size_t i = 0; i < kDropKinds; ++i) out[i] = counts_[i].load(std::memory_order_relaxed);
  return out;
}

std::string DropStatsLine(const DropCounts& now, const DropCounts& before) {
  std::string line = "stats:";
  std::string changed;
  for (std::size_t i = 0; i < kDropKinds; ++i) {
    line += ' ';
    line += kDropNames[i].key;
    line += '=';
    line += std::to_string(now[i]);
    if (now[i] != before[i]) {
      changed += ' ';
      changed += kDropNames[i].key;
      changed += '+';
      changed += std::to_string(now[i] - before[i]);
    }
  }
  line += " | changed:";
  line += changed.empty() ? std::string(" none") : changed;
  return line;
}

} // namespace kestrel
