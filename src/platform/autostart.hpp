// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Autostart: an XDG autostart entry that starts the program hidden ("/m") at log-in, and the
// quoting a program path needs in a desktop entry's or a systemd unit's command.

#include <filesystem>
#include <optional>
#include <string>

namespace kestrel {

// <configHome>/autostart/kestrel.desktop
[[nodiscard]] std::filesystem::path AutostartEntryPath(const std::filesystem::path& configHome);

// On when the entry exists, is a desktop entry with a command, and is not switched off
// (Hidden=true or X-GNOME-Autostart-enabled=false).
[[nodiscard]] bool ReadAutostart(const std::filesystem::path& entry);

// On: writes the entry, whose command is `program` followed by " /m". Off: removes it. A program
// whose path holds a control character is refused, and nothing is written.
bool WriteAutostart(const std::filesystem::path& entry, bool on, const std::filesystem::path& program,
                    std::string* error = nullptr);

// A program path as the Exec key of a desktop entry needs it: quoted and escaped when it holds
// reserved characters. nullopt, with the reason, when it holds a control character: the key's
// value would end at a line break, and a launcher's reading of the others is anyone's guess.
[[nodiscard]] std::optional<std::string> DesktopExecArgument(const std::filesystem::path& program,
                                                             std::string* error = nullptr);
// The autostart entry's command: the program followed by " /m".
[[nodiscard]] std::optional<std::string> AutostartCommand(const std::filesystem::path& program,
                                                          std::string* error = nullptr);
// A program path as the ExecStart= of a systemd unit needs it: in double quotes, % doubled (it
// starts a specifier). $ stays as it is: systemd substitutes no variables in the program's own
// path. nullopt, with the reason, for a path systemd refuses to start whatever the quoting: one
// holding a backslash, a quote, an apostrophe or a control character, or not UTF-8.
[[nodiscard]] std::optional<std::string> UnitExecArgument(const std::filesystem::path& program,
                                                          std::string* error = nullptr);

} // namespace kestrel
