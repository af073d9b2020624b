#pragma once

// The audible signal of a failure: a line on standard error naming the sound and its cause, and
// the desktop's bell where the program has one (set by the window). Any thread; failure paths only.

namespace kestrel {

using BellFunction = void (*)();

void Beep(unsigned frequencyHz, unsigned durationMs, const char* cause) noexcept;

// Installs the desktop's bell (nullptr: none). Called once by the window at start-up.
void SetBell(BellFunction bell) noexcept;

} // namespace kestrel
