// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The dump as text lines, for headless --dump: one line per row, tab-separated cells, and a note
// of how many rows the store dropped before they could be printed.

#include "core/event_decoder.hpp"

#include <cstdint>
#include <cstdio>

namespace kestrel {

class DumpStore;

// Follows one DumpStore and prints each of its rows once, oldest first. One thread (the one
// calling PrintNewRows); the store may grow on any thread meanwhile.
class DumpPrinter {
public:
  DumpPrinter(const DumpStore& dump, std::FILE* out) : dump_(dump), out_(out) {}

  // Prints the rows that arrived since the last call, as "dump TIME\tPORT\tHEX\tCODE" lines, and
  // "(N dump rows dropped)" for rows that went before they were printed. Flushes `out`.
  void PrintNewRows();

private:
  const DumpStore& dump_;
  std::FILE* out_;
  EventDecoder decoder_;
  std::uint64_t next_ = 0;
};

} // namespace kestrel
