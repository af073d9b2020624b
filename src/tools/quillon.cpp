// SPDX-License-Identifier: GPL-3.0-or-later
// quillon: closes a running Kestrel and removes the virtual-port provider.
//
//   quillon /u   close Kestrel, stop kestrel-ports, remove its autostart entry and user unit
//   quillon /d   close Kestrel, delete this program's own file (whatever it is called)
// Anything else prints the usage and ends with exit code 1.

#include "base/ini_file.hpp"
#include "base/text.hpp"
#include "config/settings.hpp"
#include "driverctl/provider_control.hpp"
#include "platform/instance_endpoint.hpp"
#include "platform/paths.hpp"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

namespace {

constexpr const char* kUsage = "Usage: Quillon ( /i | /u )";

int Usage() {
  std::fputs(kUsage, stdout);
  return 1;
}

// A running Kestrel holds the instance lock: ask it to end as "Exit" does, and give it a second.
void CloseRunningKestrel() {
  kestrel::InstanceLock lock;
  // A lock that cannot be opened says nothing of an instance: it is asked all the same.
  if (lock.TryAcquire() == kestrel::InstanceLock::Result::Acquired) return;
  if (kestrel::SendToRunningInstance(kestrel::kCancelRequest)) std::this_thread::sleep_for(std::chrono::seconds(1));
}

void ReportFailure(const char* operation, const std::string& reason) {
  std::fprintf(stderr, "%s FAILURE: %s\n", operation, reason.c_str());
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 2) return Usage();
  std::string reason;
  if (!kestrel::RuntimeDirectory(&reason)) {
    ReportFailure("RuntimeDirectory", reason);
    return 1;
  }
  CloseRunningKestrel();
  const std::string_view argument = argv[1];
  if (kestrel::EqualsIgnoringCase(argument, "/d")) {
    if (!kestrel::DeleteProgramFile(kestrel::ProgramPath(), &reason)) {
      ReportFailure("DeleteProgramFile", reason);
      return 1;
    }
    return 0;
  }
  if (kestrel::EqualsIgnoringCase(argument, "/u")) {
    std::fputs("MIDI Driver Uninstall...\n", stdout);
    std::fflush(stdout);
    if (!kestrel::driverctl::RemoveProvider(&reason)) {
      ReportFailure("RemoveProvider", reason);
      return 1;
    }
    return 0;
  }
  return Usage();
}
