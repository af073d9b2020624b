// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Starting, stopping and restarting the virtual-port provider, and setting its port count. The
// provider runs as a process of its own: it outlives Kestrel, so other programs' connections to
// its ports survive a restart of Kestrel. UI thread only; these calls block.

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/types.h>

namespace kestrel::midi {
class DeviceDirectory;
}

namespace kestrel::driverctl {

// kestrel-ports beside `programDir`, else on PATH; empty when there is none.
[[nodiscard]] std::filesystem::path FindProviderProgram(const std::filesystem::path& programDir);

// Starts the provider detached from the caller (own session, no terminal). Returns false, with
// the reason, when it cannot be started; `pid` receives the provider's process id.
bool StartProvider(const std::filesystem::path& program, std::string* error = nullptr, pid_t* pid = nullptr);

// Asks the running provider to end (SIGTERM) and waits for it; one that does not end within the
// time is killed. True when no provider runs afterwards.
bool StopProvider(std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Starts the provider when none runs and its program can be found, and waits for its ports. True
// when one runs after; a provider that ends without making them (no sequencer) is not waited
// for, and its last words are the reason.
bool EnsureProviderRunning(const std::filesystem::path& programDir, std::string* error = nullptr);

// Where a user's session starts the provider: an XDG autostart entry, or a systemd user unit
// (with its link in default.target.wants, which enables it).
[[nodiscard]] std::filesystem::path ProviderAutostartPath();
[[nodiscard]] std::filesystem::path ProviderUnitPath();
[[nodiscard]] std::filesystem::path ProviderUnitLinkPath();
bool InstallProviderAutostart(const std::filesystem::path& program, std::string* error = nullptr);
bool InstallProviderUnit(const std::filesystem::path& program, std::string* error = nullptr);

// Stops the provider and removes its autostart entry and user unit. False, with the reason, when
// the provider would not stop or a file could not be removed.
bool RemoveProvider(std::string* error = nullptr);

using Sleep = std::function<void(std::chrono::milliseconds)>;

// Writes the port count, restarts the provider and waits for the ports: port n is looked for up
// to 10 - n times, 500 ms apart (a port that never comes only uses up its attempts), then 2 s
// more for the system to settle. Returns the number of usable virtual ports then.
int SetVirtualPortCount(int count, const midi::DeviceDirectory& directory, const std::filesystem::path& programDir,
                        const Sleep& sleep = {});

} // namespace kestrel::driverctl
