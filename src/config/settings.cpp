// SPDX-License-Identifier: GPL-3.0-or-later
#include "config/settings.hpp"

#include "base/ini_file.hpp"
#include "platform/paths.hpp"

#include <string>
#include <system_error>

namespace kestrel {

namespace fs = std::filesystem;

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

std::string SettingNotice(std::string_view section, std::string_view key, std::string_view value,
                          std::string_view outcome, std::string_view separator) {
  std::string text = "Kestrel.dat: [";
  text.append(section).append("] ").append(key).append(separator).append(value).append(outcome);
  return text;
}

} // namespace kestrel
