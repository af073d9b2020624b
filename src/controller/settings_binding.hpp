// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The window's fields as Kestrel.dat stores them: read and checked when the window is built,
// written as the user changes them. A stored value that cannot be used is said and replaced by
// its default. Window thread.

#include "config/config_keys.hpp"
#include "controller/main_fields.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

namespace kestrel {
class Settings;
}

namespace kestrel::controller {

class MainView;

inline constexpr std::uint32_t kMaxUdpPort = 65535;

// Parses a port edit: an unsigned decimal number, blanks around it allowed.
[[nodiscard]] std::optional<std::uint32_t> ParsePortText(std::string_view text);

// What the controller reads beside the fields.
struct StoredOptions {
  std::int32_t debug = 0;
  bool notesOffOnLoss = true;
};

class SettingsBinding {
public:
  SettingsBinding(Settings& settings, MainView& view, std::filesystem::path autostartEntry);

  // Reads every stored field (the lists are filled later, from the devices), in the file's
  // order, each unusable value said as it is met.
  [[nodiscard]] StoredOptions ReadFields(MainFields& fields);
  // The dump check boxes and the three filters.
  void WriteDumpOptions(const MainFields& fields);
  // The client connected: the address and port it connected on.
  void WriteConnection(const MainFields& fields);
  // The autostart box: the entry for `program` written or removed. When that fails it is said,
  // the box takes what the entry is, and the result is false.
  bool WriteAutostartEntry(MainFields& fields, const std::filesystem::path& program);
  [[nodiscard]] WindowGeometry StoredGeometry() const;
  void WriteGeometry(const WindowGeometry& geometry);

private:
  [[nodiscard]] std::uint32_t ReadPortSetting(const config::IntKey& key, std::uint32_t lowest);
  [[nodiscard]] bool ReadFlag(const config::IntKey& key);

  Settings& settings_;
  MainView& view_;
  std::filesystem::path autostartEntry_;
};

} // namespace kestrel::controller
