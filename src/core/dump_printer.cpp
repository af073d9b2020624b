// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/dump_printer.hpp"

#include "core/dump_store.hpp"

#include <array>

namespace kestrel {

void DumpPrinter::PrintNewRows() {
  // Rows are addressed by absolute number: the store may drop rows from its front between any
  // two of these calls, which moves every relative position.
  const DumpExtent extent = dump_.Extent();
  if (next_ < extent.first) {
    std::fprintf(out_, "(%llu dump rows dropped)\n", static_cast<unsigned long long>(extent.first - next_));
    next_ = extent.first;
  }
  for (; next_ < extent.end; ++next_) {
    std::array<std::array<char, 300>, kDumpColumns> cells{};
    const bool present = dump_.WithAbsoluteRow(next_, [&](const RecordView& row) {
      for (int c = 0; c < kDumpColumns; ++c) decoder_.CellText(cells[static_cast<std::size_t>(c)], row, c);
    });
    // Dropped since the extent was read: the next call says so.
    if (!present) break;
    std::fprintf(out_, "dump %s\t%s\t%s\t%s\n", cells[0].data(), cells[1].data(), cells[2].data(), cells[3].data());
  }
  std::fflush(out_);
}

} // namespace kestrel
