// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Test support: real programs (the provider, aplaymidi, aseqdump...) run as child processes.

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace kestrel::test {

class ChildProcess {
public:
  // Starts `args[0]` (looked up on PATH) with its standard output written to `output` when given.
  explicit ChildProcess(std::vector<std::string> args, const std::filesystem::path& output = {});
  ~ChildProcess(); // ends the child (SIGKILL) if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  [[nodiscard]] pid_t Pid() const noexcept { return pid_; }
  // Sends SIGTERM and waits; returns the exit status (128 + signal when killed), -1 on time-out.
  int Terminate(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Waits for the child to end by itself; returns as Terminate.
  int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(60));
  void Kill();

private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// Polls `done` every 20 ms until it holds or the time is up; returns its last value.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(20));

// A fresh folder under /tmp, removed with everything in it at the end of its scope.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  [[nodiscard]] const std::filesystem::path& Path() const noexcept { return path_; }

private:
  std::filesystem::path path_;
};

[[nodiscard]] std::string ReadText(const std::filesystem::path& file);
// Writes `content` as the whole of `file`, making the folders it lies in.
void WriteText(const std::filesystem::path& file, std::string_view content);

} // namespace kestrel::test
