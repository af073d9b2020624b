// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Where the running program is, and the folders Kestrel keeps its files in: the configuration
// home and the private runtime folder of the instance lock, the socket and the provider's files.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace kestrel {

// The folder holding the running program.
[[nodiscard]] std::filesystem::path ProgramDirectory();
[[nodiscard]] std::filesystem::path ProgramPath(); // empty without /proc
// Deletes the program file at `program`, the running program's own path from ProgramPath(). False,
// with the reason, when that path is unknown (empty, or not absolute: it would name a file in the
// working folder) or the file cannot be deleted.
bool DeleteProgramFile(const std::filesystem::path& program, std::string* error = nullptr);
// $XDG_CONFIG_HOME, else $HOME/.config.
[[nodiscard]] std::filesystem::path ConfigHome();
// The folder of the instance lock and socket and of the provider's pid file and log:
// $XDG_RUNTIME_DIR (the session's own, private folder) when set, else
// PrivateRuntimeDirectory("/tmp", getuid()). nullopt, with the reason, when there is none safe to use.
[[nodiscard]] std::optional<std::filesystem::path> RuntimeDirectory(std::string* error = nullptr);
// <base>/kestrel-<uid>, made when missing. Refused unless it is a real folder (not a link), owned
// by `uid` and of mode 0700: in a folder another user made first, or may write to, that user can
// plant links through which our files would overwrite theirs, or hold our locks.
[[nodiscard]] std::optional<std::filesystem::path> PrivateRuntimeDirectory(const std::filesystem::path& base, uid_t uid,
                                                                           std::string* error = nullptr);
// <runtime folder>/<name>; empty, which opens nothing, when RuntimeDirectory() refuses. Programs
// check RuntimeDirectory() first, to say why and end.
[[nodiscard]] std::filesystem::path RuntimeFilePath(std::string_view name);

} // namespace kestrel
