// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Kestrel without a window: the same controller, driven by Qt's event loop without any widget.
// Settings come from Kestrel.dat, server and client run as stored, news and errors go to the
// standard streams, the dump too when asked.

#include <cstdio>

namespace kestrel::shell {

class AppContext;

struct HeadlessOptions {
  bool dump = false;    // print every dump row; both sides are logged for this run
  int statsSeconds = 0; // above 0: a line of the drop counters every this many seconds
};

// Runs until SIGINT, SIGTERM, a "cancel" request or a fatal error. Needs a QCoreApplication.
// Returns the exit code.
int RunHeadless(AppContext& context, const HeadlessOptions& options, std::FILE* out = stdout, std::FILE* err = stderr);

} // namespace kestrel::shell
