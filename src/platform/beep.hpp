// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The audible signal of a failure: a line on standard error naming the sound and its cause, and
// the desktop's bell where the program has one (set by the window). Any thread; failure paths only.
//
// A failure that repeats (a flood of broken datagrams from the LAN) rings and prints at most once
// a second: the next line carries how many beeps were held back meanwhile.
//
// The threads that carry MIDI hand their beeps over (HandBeepsOver) instead: a line to standard
// error blocks while a pipe nobody reads is full (a supervisor's), and the bell allocates and
// locks. The window's status tick rings what they handed over (RingHandedOverBeep). A line that
// would block is never written, wherever it comes from: it counts as held back.

#include <cstdint>
#include <functional>

namespace kestrel {

using BellFunction = std::function<void()>;

void Beep(unsigned frequencyHz, unsigned durationMs, const char* cause) noexcept;

// Installs the desktop's bell (empty: none) and starts the once-a-second limit afresh. The bell
// runs on the thread that beeps, so a window's bell hands the sound to the window's own thread.
// Once this returns, the bell it replaced is no longer running.
void SetBell(BellFunction bell);

// From now on the calling thread's beeps are handed over to RingHandedOverBeep rather than printed
// and rung on it; one at a time, and what comes while one waits is held back. For the engine
// threads, as they start.
void HandBeepsOver() noexcept;
// Prints and rings the beep an engine thread handed over, if one waits. The window's thread, on
// its status tick.
void RingHandedOverBeep() noexcept;

// Beeps held back by the limit since the program started.
[[nodiscard]] std::uint64_t BeepsHeldBack() noexcept;

} // namespace kestrel
