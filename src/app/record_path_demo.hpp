#pragma once

#include <cstdio>

namespace kestrel {

// Sends a short performance (notes, a controller, a clock tick, a long system-exclusive dump)
// through the whole record path in memory: queue, datagrams, reader, fragment gathering and the
// dump, and prints what each stage sees. Returns the process exit code.
int RunRecordPathDemo(std::FILE* out);

} // namespace kestrel
