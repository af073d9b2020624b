// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// How a running Kestrel is found by a second start and by quillon: a per-user lock, held for the
// life of the instance (the system releases it when the process dies, however it ends), and a
// per-user local socket on which the instance takes one-line requests. Both live in the user's
// runtime folder, so two users, or two tests with their own runtime folders, never meet.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel {

inline constexpr std::string_view kInstanceName = "KestrelApp";
inline constexpr std::string_view kShowRequest = "show";     // bring the window to the front
inline constexpr std::string_view kCancelRequest = "cancel"; // end the program, as "Exit" does
// Switch the server or the client on or off, as the tray menu's items do (the choice is stored).
inline constexpr std::string_view kServerOnRequest = "server on";
inline constexpr std::string_view kServerOffRequest = "server off";
inline constexpr std::string_view kClientOnRequest = "client on";
inline constexpr std::string_view kClientOffRequest = "client off";
// The instance's state as one line of JSON (kestrel --status); the instance answers, then closes.
inline constexpr std::string_view kStatusRequest = "status";

// <runtime>/KestrelApp.lock and <runtime>/KestrelApp; empty when the runtime folder is refused.
[[nodiscard]] std::filesystem::path InstanceLockPath();
[[nodiscard]] std::filesystem::path InstanceSocketPath();

// The single-instance lock. Any thread; TryAcquire never blocks.
class InstanceLock {
public:
  explicit InstanceLock(std::filesystem::path path = InstanceLockPath()) : path_(std::move(path)) {}
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  enum class Result {
    Acquired, // this process holds the lock now: no other instance runs
    Held,     // another instance holds it
    Failed,   // the lock file cannot be opened or locked; `error` says why
  };
  [[nodiscard]] Result TryAcquire(std::string* error = nullptr);
  void Release();

private:
  std::filesystem::path path_;
  int fd_ = -1;
};

// Sends one request line to the running instance. False when none listens.
bool SendToRunningInstance(std::string_view request, const std::filesystem::path& socket = InstanceSocketPath());

// Sends one request line and reads the instance's answer: everything it writes until it closes,
// at most kMaxAnswer bytes, within `timeout`. Nothing when none listens, or it did not answer in
// time (an instance that does not know the request never closes first). Blocks.
inline constexpr std::size_t kMaxAnswer = 1 << 16;
std::optional<std::string> AskRunningInstance(std::string_view request,
                                              std::chrono::milliseconds timeout = std::chrono::seconds(5),
                                              const std::filesystem::path& socket = InstanceSocketPath());

} // namespace kestrel
