// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Kestrel.dat: where it lives, and the four key-by-key read and write operations. Nothing is
// cached: every read goes to the file, every change is written at once. Used by the user
// interface thread only.

#include "core/config_keys.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace kestrel {

inline constexpr std::string_view kDataFileName = "Kestrel.dat";

// What the location of Kestrel.dat depends on, gathered so that tests can set it.
struct DataPathInputs {
  std::filesystem::path workingDir; // the current directory
  std::filesystem::path programDir; // the folder of the running program
  std::filesystem::path configHome; // $XDG_CONFIG_HOME, else ~/.config

  // From the process: cwd, /proc/self/exe, $XDG_CONFIG_HOME and $HOME.
  [[nodiscard]] static DataPathInputs FromProcess();
};

// ./Kestrel.dat if it exists, else Kestrel.dat beside the program if it exists, else
// <configHome>/kestrel/Kestrel.dat (created by the first write).
[[nodiscard]] std::filesystem::path ResolveDataFilePath(const DataPathInputs& inputs);

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

class Settings {
public:
  static constexpr std::size_t kMaxTextLength = 259; // longer values are cut

  explicit Settings(std::filesystem::path dataFilePath) : path_(std::move(dataFilePath)) {}

  [[nodiscard]] const std::filesystem::path& DataFilePath() const noexcept { return path_; }

  // A missing file or key gives the default; otherwise the value's leading decimal number.
  [[nodiscard]] std::int32_t ReadConfigInt(std::string_view section, std::string_view key,
                                           std::int32_t defaultValue) const;
  [[nodiscard]] std::int32_t ReadConfigInt(const config::IntKey& key) const {
    return ReadConfigInt(key.section, key.name, key.defaultValue);
  }

  // A missing key gives the default text (the key's own, or `computedDefault` for keys whose
  // default the reader supplies); a value in a pair of quotes comes back without them.
  [[nodiscard]] std::string ReadConfigText(const config::ConfigKey& key) const;
  [[nodiscard]] std::string ReadConfigText(const config::ConfigKey& key, std::string_view computedDefault) const;

  // Writes one key; every other key and section of the file stays as it was. When the file
  // cannot be written, returns false and keeps the reason for LastError(): the change then lives
  // only in the caller's memory.
  bool WriteConfigInt(std::string_view section, std::string_view key, std::int32_t value);
  bool WriteConfigInt(const config::IntKey& key, std::int32_t value) {
    return WriteConfigInt(key.section, key.name, value);
  }
  // A text that itself begins and ends with a double quote is written in one more pair, which
  // the next read strips, so that it reads back unchanged.
  bool WriteConfigText(std::string_view section, std::string_view key, std::string_view text);
  bool WriteConfigText(const config::ConfigKey& key, std::string_view text) {
    return WriteConfigText(key.section, key.name, text);
  }

  [[nodiscard]] const std::string& LastError() const noexcept { return lastError_; }

private:
  std::filesystem::path path_;
  std::string lastError_;
};

// ---- Autostart: an XDG autostart entry that starts the program hidden ("/m") at log-in.

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
