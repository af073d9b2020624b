#include "core/dump_printer.hpp"

#include "core/dump_store.hpp"

#include <array>

namespace kestrel {

void DumpPrinter::PrintNewRows() {
  const std::uint64_t dropped = dump_.DroppedRows();
  const std::size_t count = dump_.RowCount();
  const std::uint64_t end = dropped + count;
  if (next_ < dropped) {
    std::fprintf(out_, "(%llu dump rows dropped)\n", static_cast<unsigned long long>(dropped - next_));
    next_ = dropped;
  }
  for (; next_ < end; ++next_) {
    std::array<std::array<char, 300>, kDumpColumns> cells{};
    const bool present = dump_.WithRow(static_cast<std::size_t>(next_ - dropped), [&](const RecordView& row) {
      for (int c = 0; c < kDumpColumns; ++c) decoder_.CellText(cells[static_cast<std::size_t>(c)], row, c);
    });
    if (!present) break;
    std::fprintf(out_, "dump %s\t%s\t%s\t%s\n", cells[0].data(), cells[1].data(), cells[2].data(), cells[3].data());
  }
  std::fflush(out_);
}

} // namespace kestrel
