// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The window's fields and its controls' values both ways, which controls are enabled, and the
// flags the other threads read of them. Window thread.

#include "controller/main_fields.hpp"
#include "controller/main_view.hpp"

namespace kestrel {
struct WindowFlags;
}

namespace kestrel::controller {

// The fields as the controls show them.
[[nodiscard]] ControlValues ValuesOf(const MainFields& fields);
// Copies the controls' values into the fields in the window's binding order. A port edit without
// a usable number stops the copy there and returns the message to show (in English, to be
// translated); the fields after it keep their values. Null when all were taken.
[[nodiscard]] const char* TakeValues(const ControlValues& values, MainFields& fields);
// Which controls are enabled while the server and the client run or not.
[[nodiscard]] ControlStates StatesOf(const MainFields& fields, bool serverRunning, bool clientRunning);
// The flags other threads read: the dump's filters and sides, the MIDI In's target.
void ApplyFlags(const MainFields& fields, WindowFlags& flags);

} // namespace kestrel::controller
