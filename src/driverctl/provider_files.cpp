#include "driverctl/provider_files.hpp"

#include "core/ini_file.hpp"
#include "core/settings.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

namespace kestrel::driverctl {

namespace fs = std::filesystem;

fs::path ProviderSettingsPath() { return ConfigHome() / "kestrel" / "kestrel-ports.conf"; }

fs::path ProviderPidPath() { return RuntimeFilePath("kestrel-ports.pid"); }

int ReadMaxDevs(const fs::path& settings) {
  const auto value = ini::ReadValue(settings, "Driver", "MaxDevs");
  if (!value || value->find_first_of("0123456789") == std::string::npos) { return kDefaultMaxDevs; }
  return std::clamp(ini::LeadingNumber(*value), 1, kDefaultMaxDevs);
}

bool WriteMaxDevs(const fs::path& settings, int count, std::string* error) {
  return ini::WriteValue(settings, "Driver", "MaxDevs", std::to_string(count), error);
}

std::optional<pid_t> RunningProvider(const fs::path& pidFile) {
  std::ifstream in(pidFile);
  long pid = 0;
  if (!(in >> pid) || pid <= 1) { return std::nullopt; }
  // The process must exist and be the provider, not an unrelated process that got the same pid.
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  if (!std::getline(comm, name) || name != kProviderProgram) { return std::nullopt; }
  return static_cast<pid_t>(pid);
}

} // namespace kestrel::driverctl
