// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Where the virtual-port provider keeps its settings and announces itself, shared by the provider,
// by Kestrel (which sets the port count and restarts it) and by quillon (which removes it).

#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>

namespace kestrel::driverctl {

inline constexpr const char* kProviderProgram = "kestrel-ports";
inline constexpr const char* kProviderClientName = "Kestrel";
inline constexpr int kDefaultMaxDevs = 8;

// $XDG_CONFIG_HOME/kestrel/kestrel-ports.conf: section "Driver", key "MaxDevs" (1..8, default 8).
[[nodiscard]] std::filesystem::path ProviderSettingsPath();
// <runtime folder>/kestrel-ports.pid; empty when the runtime folder is refused.
[[nodiscard]] std::filesystem::path ProviderPidPath();

// <runtime folder>/kestrel-ports.log: the provider's messages, when Kestrel started it. Cut at its
// next start once larger than kProviderLogLimit.
[[nodiscard]] std::filesystem::path ProviderLogPath();
inline constexpr std::size_t kProviderLogLimit = std::size_t{256} * 1024;

// The port count the provider makes: "MaxDevs" clamped to 1..8, 8 when missing or not a number.
[[nodiscard]] int ReadMaxDevs(const std::filesystem::path& settings);
bool WriteMaxDevs(const std::filesystem::path& settings, int count, std::string* error = nullptr);

// The pid of the running provider: the process that holds its pid file locked (for its whole
// life), once it has written its pid there (its ports exist). nullopt when the file is missing,
// not locked (left by a provider that was killed) or not yet written.
[[nodiscard]] std::optional<pid_t> RunningProvider(const std::filesystem::path& pidFile);

} // namespace kestrel::driverctl
