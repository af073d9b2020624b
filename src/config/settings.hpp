// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Kestrel.dat: where it lives, and the four key-by-key read and write operations. Nothing is
// cached: every read goes to the file, every change is written at once. Used by the user
// interface thread only.

#include "config/config_keys.hpp"

#include <filesystem>
#include <string>
#include <string_view>

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

// "Kestrel.dat: [Section] Key=value", then what becomes of it (`outcome`, from its first
// character: " is not a number; using 1"). An entry of a list is named after ": " instead.
[[nodiscard]] std::string SettingNotice(std::string_view section, std::string_view key, std::string_view value,
                                        std::string_view outcome, std::string_view separator = "=");

} // namespace kestrel
