// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/autostart.hpp"

#include "base/ini_file.hpp"
#include "base/text.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <system_error>

namespace kestrel {

namespace fs = std::filesystem;

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
  if (hidden && EqualsIgnoringCase(*hidden, "true")) { return false; }
  const auto enabled = ini::FindValue(*content, kEntrySection, "X-GNOME-Autostart-enabled");
  return !(enabled && EqualsIgnoringCase(*enabled, "false"));
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
