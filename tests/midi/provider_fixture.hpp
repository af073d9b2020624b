// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Test support: the real provider in a runtime and configuration folder of the test's own.

#include "driverctl/provider_files.hpp"
#include "midi/alsa_seq.hpp"
#include "support/child_process.hpp"

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

namespace kestrel::test {

class ProviderFolders {
public:
  ProviderFolders() {
    setenv("XDG_CONFIG_HOME", (dir_.Path() / "config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", dir_.Path().c_str(), 1);
  }
  void SetMaxDevs(const std::string& value) {
    std::filesystem::create_directories(driverctl::ProviderSettingsPath().parent_path());
    std::ofstream(driverctl::ProviderSettingsPath()) << "[Driver]\nMaxDevs=" << value << "\n";
  }
  [[nodiscard]] const std::filesystem::path& Path() const noexcept { return dir_.Path(); }

private:
  TempDir dir_;
};

// Starts kestrel-ports and waits until it has announced its ports.
inline std::unique_ptr<ChildProcess> StartProvider() {
  auto provider = std::make_unique<ChildProcess>(std::vector<std::string>{KESTREL_PORTS_PROGRAM});
  WaitUntil([] { return driverctl::RunningProvider(driverctl::ProviderPidPath()).has_value(); });
  return provider;
}

} // namespace kestrel::test
