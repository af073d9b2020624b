// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The audible signal of a failure: a line on standard error naming the sound and its cause, and
// the desktop's bell where the program has one (set by the window). Any thread; failure paths only.
//
// A failure that repeats (a flood of broken datagrams from the LAN) rings and prints at most once
// a second: the next line carries how many beeps were held back meanwhile.

#include <cstdint>
#include <functional>

namespace kestrel {

using BellFunction = std::function<void()>;

void Beep(unsigned frequencyHz, unsigned durationMs, const char* cause) noexcept;

// Installs the desktop's bell (empty: none) and starts the once-a-second limit afresh. The bell
// runs on the thread that beeps, so a window's bell hands the sound to the window's own thread.
// Once this returns, the bell it replaced is no longer running.
void SetBell(BellFunction bell);

// Beeps held back by the limit since the program started.
[[nodiscard]] std::uint64_t BeepsHeldBack() noexcept;

} // namespace kestrel
