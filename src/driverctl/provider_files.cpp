// SPDX-License-Identifier: GPL-3.0-or-later
#include "driverctl/provider_files.hpp"

#include "base/ini_file.hpp"
#include "config/settings.hpp"
#include "platform/paths.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace kestrel::driverctl {

namespace fs = std::filesystem;

fs::path ProviderSettingsPath() { return ConfigHome() / "kestrel" / "kestrel-ports.conf"; }

fs::path ProviderPidPath() { return RuntimeFilePath("kestrel-ports.pid"); }

fs::path ProviderLogPath() { return RuntimeFilePath("kestrel-ports.log"); }

int ReadMaxDevs(const fs::path& settings) {
  const auto value = ini::ReadValue(settings, "Driver", "MaxDevs");
  if (!value || value->find_first_of("0123456789") == std::string::npos) { return kDefaultMaxDevs; }
  return std::clamp(ini::LeadingNumber(*value), 1, kDefaultMaxDevs);
}

bool WriteMaxDevs(const fs::path& settings, int count, std::string* error) {
  return ini::WriteValue(settings, "Driver", "MaxDevs", std::to_string(count), error);
}

std::optional<pid_t> RunningProvider(const fs::path& pidFile) {
  const int fd = open(pidFile.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) { return std::nullopt; }
  // The provider holds its file locked for as long as it lives, and the system drops the lock
  // however it ends: an unlocked file is no provider's, whatever it names. The holder is the
  // system's answer; the pid written in the file is only a sign that the ports now exist.
  struct flock whole {};
  whole.l_type = F_RDLCK;
  whole.l_whence = SEEK_SET;
  std::array<char, 24> text{};
  const bool held = fcntl(fd, F_GETLK, &whole) == 0 && whole.l_type != F_UNLCK && whole.l_pid > 1;
  const ssize_t n = held ? pread(fd, text.data(), text.size() - 1, 0) : 0;
  close(fd);
  if (n <= 0 || std::strtol(text.data(), nullptr, 10) != whole.l_pid) { return std::nullopt; }
  return whole.l_pid;
}

} // namespace kestrel::driverctl
