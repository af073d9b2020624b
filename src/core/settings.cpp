// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/settings.hpp"

#include "core/ini_file.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace kestrel {

namespace fs = std::filesystem;

fs::path ProgramPath() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path() : exe;
}

fs::path ProgramDirectory() { return ProgramPath().parent_path(); }

bool DeleteProgramFile(const fs::path& program, std::string* error) {
  if (!program.is_absolute()) {
    if (error != nullptr) { *error = "the program's own path is unknown (is /proc mounted?); nothing was deleted"; }
    return false;
  }
  if (unlink(program.c_str()) != 0) {
    if (error != nullptr) {
      *error = "cannot delete " + program.string() + ": " + std::generic_category().message(errno);
    }
    return false;
  }
  return true;
}

fs::path ConfigHome() {
  // Read at start-up, before any other thread exists.
  const char* xdg = std::getenv("XDG_CONFIG_HOME"); // NOLINT(concurrency-mt-unsafe)
  if (xdg != nullptr && *xdg == '/') { return xdg; }
  const char* home = std::getenv("HOME"); // NOLINT(concurrency-mt-unsafe)
  if (home != nullptr && *home != '\0') { return fs::path(home) / ".config"; }
  return fs::path("/tmp");
}

std::optional<fs::path> PrivateRuntimeDirectory(const fs::path& base, uid_t uid, std::string* error) {
  const fs::path dir = base / ("kestrel-" + std::to_string(uid));
  const auto refuse = [&](const std::string& why) -> std::optional<fs::path> {
    if (error != nullptr) { *error = "the runtime folder " + dir.string() + " " + why; }
    return std::nullopt;
  };
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    return refuse("cannot be made (" + std::generic_category().message(errno) + "); set XDG_RUNTIME_DIR");
  }
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0) {
    return refuse("cannot be read (" + std::generic_category().message(errno) + "); set XDG_RUNTIME_DIR");
  }
  constexpr const char* kWayOut = "; remove it or set XDG_RUNTIME_DIR";
  if (S_ISLNK(st.st_mode)) { return refuse(std::string("is a symbolic link") + kWayOut); }
  if (!S_ISDIR(st.st_mode)) { return refuse(std::string("is not a folder") + kWayOut); }
  if (st.st_uid != uid) { return refuse("belongs to another user (uid " + std::to_string(st.st_uid) + ")" + kWayOut); }
  if ((st.st_mode & 0777) != 0700) {
    std::array<char, 8> mode{};
    std::snprintf(mode.data(), mode.size(), "%04o", st.st_mode & 0777);
    return refuse("has mode " + std::string(mode.data()) + ", not 0700: others may have reached into it" + kWayOut);
  }
  return dir;
}

std::optional<fs::path> RuntimeDirectory(std::string* error) {
  const char* dir = std::getenv("XDG_RUNTIME_DIR"); // NOLINT(concurrency-mt-unsafe)
  // The session's folder is made by the login manager, private to the user: taken as it is.
  if (dir != nullptr && *dir == '/') { return fs::path(dir); }
  // Without a runtime folder of the session (ssh, cron, su, containers), one of our own in /tmp.
  return PrivateRuntimeDirectory("/tmp", getuid(), error);
}

fs::path RuntimeFilePath(std::string_view name) {
  const auto dir = RuntimeDirectory();
  return dir ? *dir / name : fs::path();
}

DataPathInputs DataPathInputs::FromProcess() {
  std::error_code ec;
  return {fs::current_path(ec), ProgramDirectory(), ConfigHome()};
}

fs::path ResolveDataFilePath(const DataPathInputs& inputs) {
  std::error_code ec;
  if (!inputs.workingDir.empty() && fs::is_regular_file(inputs.workingDir / kDataFileName, ec)) {
    return inputs.workingDir / kDataFileName;
  }
  if (!inputs.programDir.empty() && fs::is_regular_file(inputs.programDir / kDataFileName, ec)) {
    return inputs.programDir / kDataFileName;
  }
  return inputs.configHome / "kestrel" / kDataFileName;
}

std::int32_t Settings::ReadConfigInt(std::string_view section, std::string_view key, std::int32_t defaultValue) const {
  const auto value = ini::ReadValue(path_, section, key);
  if (!value || value->empty()) { return defaultValue; }
  return ini::LeadingNumber(*value);
}

std::string Settings::ReadConfigText(const config::ConfigKey& key) const {
  return ReadConfigText(key, key.defaultText);
}

std::string Settings::ReadConfigText(const config::ConfigKey& key, std::string_view computedDefault) const {
  auto value = ini::ReadValue(path_, key.section, key.name);
  std::string text = value ? std::move(*value) : std::string(computedDefault);
  if (text.size() > kMaxTextLength) { text.resize(kMaxTextLength); }
  return text;
}

bool Settings::WriteConfigInt(std::string_view section, std::string_view key, std::int32_t value) {
  return WriteConfigText(section, key, std::to_string(value));
}

bool Settings::WriteConfigText(std::string_view section, std::string_view key, std::string_view text) {
  std::string stored(text);
  if (!text.empty() && text.front() == '"' && text.back() == '"') { stored = "\"" + stored + "\""; }
  std::string error;
  if (!ini::WriteValue(path_, section, key, stored, &error)) {
    lastError_ = std::move(error);
    return false;
  }
  return true;
}

// ---- Autostart -------------------------------------------------------------------------------

namespace {
constexpr std::string_view kEntrySection = "Desktop Entry";
}

fs::path AutostartEntryPath(const fs::path& configHome) { return configHome / "autostart" / "kestrel.desktop"; }

namespace {

bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

// The path as a message can show it: control characters as \xNN.
std::string Shown(const std::string& path) {
  std::string shown;
  for (const char c : path) {
    if (IsControl(c)) {
      std::array<char, 8> hex{};
      std::snprintf(hex.data(), hex.size(), "\\x%02x", static_cast<unsigned>(static_cast<unsigned char>(c)));
      shown += hex.data();
    } else {
      shown += c;
    }
  }
  return shown;
}

bool IsUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80           ? 1
                               : (lead >> 5) == 0x6  ? 2
                               : (lead >> 4) == 0xe  ? 3
                               : (lead >> 3) == 0x1e ? 4
                                                     : 0;
    if (length == 0 || i + length > text.size()) { return false; }
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) >> 6) != 0x2) { return false; }
    }
    i += length;
  }
  return true;
}

std::optional<std::string> Refuse(std::string* error, const std::string& reason) {
  if (error != nullptr) { *error = reason; }
  return std::nullopt;
}

} // namespace

std::optional<std::string> DesktopExecArgument(const fs::path& program, std::string* error) {
  const std::string path = program.string();
  if (std::any_of(path.begin(), path.end(), IsControl)) {
    return Refuse(error, "a start-up entry cannot name " + Shown(path) + ": its path holds a control character");
  }
  // Arguments holding reserved characters are quoted; inside quotes ", `, $ and \ are escaped.
  const bool quote = path.find_first_of(" \t\n\"'\\><~|&;$*?#()`") != std::string::npos;
  std::string arg;
  for (const char c : path) {
    if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) { arg += '\\'; }
    if (c == '%') { arg += '%'; } // field codes start with %
    arg += c;
  }
  if (quote) { arg = "\"" + arg + "\""; }
  // The value of a desktop entry key escapes backslashes once more.
  std::string value;
  for (const char c : arg) {
    if (c == '\\') { value += '\\'; }
    value += c;
  }
  return value;
}

std::optional<std::string> AutostartCommand(const fs::path& program, std::string* error) {
  auto command = DesktopExecArgument(program, error);
  if (command) { *command += " /m"; }
  return command;
}

std::optional<std::string> UnitExecArgument(const fs::path& program, std::string* error) {
  const std::string path = program.string();
  const auto refuse = [&](const char* why) {
    return Refuse(error, "systemd cannot start " + Shown(path) + ": its path " + why +
                             "; move the program, or use an autostart entry instead");
  };
  if (std::any_of(path.begin(), path.end(), IsControl)) { return refuse("holds a control character"); }
  if (path.find_first_of("\\\"'") != std::string::npos) { return refuse("holds a backslash or a quote"); }
  if (!IsUtf8(path)) { return refuse("is not UTF-8"); }
  std::string word = "\"";
  for (const char c : path) {
    if (c == '%') { word += '%'; }
    word += c;
  }
  return word + "\"";
}

bool ReadAutostart(const fs::path& entry) {
  const auto content = ini::ReadFile(entry);
  if (!content) { return false; }
  const auto exec = ini::FindValue(*content, kEntrySection, "Exec");
  if (!exec || exec->empty()) { return false; }
  const auto hidden = ini::FindValue(*content, kEntrySection, "Hidden");
  if (hidden && ini::EqualsNoCase(*hidden, "true")) { return false; }
  const auto enabled = ini::FindValue(*content, kEntrySection, "X-GNOME-Autostart-enabled");
  return !(enabled && ini::EqualsNoCase(*enabled, "false"));
}

bool WriteAutostart(const fs::path& entry, bool on, const fs::path& program, std::string* error) {
  std::error_code ec;
  if (!on) {
    fs::remove(entry, ec);
    if (ec && error != nullptr) { *error = "cannot remove " + entry.string() + ": " + ec.message(); }
    return !ec;
  }
  const auto command = AutostartCommand(program, error);
  if (!command) { return false; }
  const std::string content = "[Desktop Entry]\n"
                              "Type=Application\n"
                              "Name=Vantor Kestrel\n"
                              "Comment=MIDI over the studio network\n"
                              "Exec=" +
                              *command +
                              "\n"
                              "Terminal=false\n"
                              "X-GNOME-Autostart-enabled=true\n";
  return ini::WriteFileAtomically(entry, content, error);
}

} // namespace kestrel
