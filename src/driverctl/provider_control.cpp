// SPDX-License-Identifier: GPL-3.0-or-later
#include "driverctl/provider_control.hpp"

#include "base/ini_file.hpp"
#include "config/settings.hpp"
#include "driverctl/provider_files.hpp"
#include "midi/alsa_seq.hpp"
#include "platform/autostart.hpp"
#include "platform/paths.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace kestrel::driverctl {

namespace fs = std::filesystem;

fs::path FindProviderProgram(const fs::path& programDir) {
  std::error_code ec;
  if (!programDir.empty() && fs::exists(programDir / kProviderProgram, ec)) return programDir / kProviderProgram;
  const char* path = std::getenv("PATH"); // NOLINT(concurrency-mt-unsafe): not changed while we run
  if (path == nullptr) return {};
  std::string_view rest(path);
  while (!rest.empty()) {
    const auto colon = rest.find(':');
    fs::path candidate = fs::path(rest.substr(0, colon)) / kProviderProgram;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
  }
  return {};
}

bool StartProvider(const fs::path& program, std::string* error, pid_t* pid) {
  if (program.empty() || access(program.c_str(), X_OK) != 0) {
    if (error != nullptr) *error = "the virtual port provider kestrel-ports was not found";
    return false;
  }
  if (!RuntimeDirectory(error)) return false;
  const std::string logPath = ProviderLogPath().string();
  // The middle process hands the provider's pid back through this pipe.
  std::array<int, 2> pidPipe{-1, -1};
  if (pipe2(pidPipe.data(), O_CLOEXEC) != 0) pidPipe = {-1, -1};
  // Two forks: the provider is handed to init, so it is never left as our zombie and lives on
  // when Kestrel ends. Between fork and exec only async-signal-safe calls.
  const pid_t child = fork();
  if (child < 0) {
    if (error != nullptr) *error = "cannot start kestrel-ports: " + std::generic_category().message(errno);
    for (const int fd : pidPipe) {
      if (fd >= 0) close(fd);
    }
    return false;
  }
  if (child == 0) {
    setsid();
    if (const pid_t provider = fork(); provider != 0) {
      if (pidPipe[1] >= 0) (void)write(pidPipe[1], &provider, sizeof provider);
      _exit(0);
    }
    // No terminal, its messages in a log beside its pid file, and none of our descriptors (a
    // socket of ours held open by the provider would keep a port taken).
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, STDIN_FILENO);
      dup2(null, STDOUT_FILENO);
    }
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct stat grown {};
    if (log >= 0 && fstat(log, &grown) == 0 && grown.st_size > static_cast<off_t>(kProviderLogLimit)) {
      (void)ftruncate(log, 0); // the runtime folder is often in memory
    }
    dup2(log >= 0 ? log : null, STDERR_FILENO);
    close_range(3, ~0U, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr); // NOLINT(concurrency-mt-unsafe): the child has one thread
    execl(program.c_str(), kProviderProgram, static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pidPipe[1] >= 0) close(pidPipe[1]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
  pid_t provider = -1;
  if (pidPipe[0] >= 0) {
    if (read(pidPipe[0], &provider, sizeof provider) != static_cast<ssize_t>(sizeof provider)) provider = -1;
    close(pidPipe[0]);
  }
  if (pid != nullptr) *pid = provider;
  return true;
}

namespace {

// A descriptor of the process, which keeps its pid from being reused until closed. (Called
// directly: glibc 2.36's <sys/pidfd.h> cannot be used from C++.)
int OpenProcess(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0U)); }
void Signal(int process, int signal) { syscall(SYS_pidfd_send_signal, process, signal, nullptr, 0U); }

// Waits up to `timeout` for the process to end.
bool Ended(int process, std::chrono::milliseconds timeout) {
  pollfd fd{process, POLLIN, 0};
  int r = 0;
  while ((r = poll(&fd, 1, static_cast<int>(timeout.count()))) < 0 && errno == EINTR) {}
  return r > 0;
}

// The provider's last line in its log: why it ended ("kestrel-ports: no ALSA sequencer: ...").
std::string LastLogLine() {
  std::ifstream log(ProviderLogPath());
  std::string line;
  std::string last;
  while (std::getline(log, line)) {
    if (!line.empty()) last = line;
  }
  return last;
}

} // namespace

bool StopProvider(std::chrono::milliseconds timeout) {
  const fs::path pidFile = ProviderPidPath();
  const auto pid = RunningProvider(pidFile);
  if (!pid) return true;
  // The process is pinned before its lock is looked at again, so that the pid cannot pass to
  // another process between that look and the signal.
  const int process = OpenProcess(*pid);
  if (process < 0) return errno == ESRCH && !RunningProvider(pidFile);
  if (RunningProvider(pidFile) == pid) {
    Signal(process, SIGTERM);
    if (!Ended(process, timeout)) {
      Signal(process, SIGKILL);
      // Its pid file stays, unlocked: it counts for nothing, and the next provider takes it over.
      Ended(process, std::chrono::seconds(5));
    }
  }
  close(process);
  return !RunningProvider(pidFile).has_value();
}

bool EnsureProviderRunning(const fs::path& programDir, std::string* error) {
  if (RunningProvider(ProviderPidPath())) return true;
  pid_t pid = -1;
  if (!StartProvider(FindProviderProgram(programDir), error, &pid)) return false;
  const int process = pid > 0 ? OpenProcess(pid) : -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  bool ended = false;
  while (!RunningProvider(ProviderPidPath())) {
    if (std::chrono::steady_clock::now() > deadline) break;
    if (process >= 0) {
      ended = Ended(process, std::chrono::milliseconds(20));
      if (ended) break;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  if (process >= 0) close(process);
  if (RunningProvider(ProviderPidPath())) return true;
  if (error != nullptr) {
    *error = ended ? "kestrel-ports ended without making its ports" : "kestrel-ports started but made no ports";
    if (const std::string why = LastLogLine(); ended && !why.empty()) *error += " (" + why + ")";
  }
  return false;
}

fs::path ProviderAutostartPath() { return ConfigHome() / "autostart" / "kestrel-ports.desktop"; }
fs::path ProviderUnitPath() { return ConfigHome() / "systemd" / "user" / "kestrel-ports.service"; }
fs::path ProviderUnitLinkPath() {
  return ConfigHome() / "systemd" / "user" / "default.target.wants" / "kestrel-ports.service";
}

bool InstallProviderAutostart(const fs::path& program, std::string* error) {
  const auto command = DesktopExecArgument(program, error);
  if (!command) return false;
  const std::string content = "[Desktop Entry]\n"
                              "Type=Application\n"
                              "Name=Kestrel virtual MIDI ports\n"
                              "Comment=The ports Kestrel Port1 to Kestrel Port8\n"
                              "Exec=" +
                              *command +
                              "\n"
                              "Terminal=false\n"
                              "NoDisplay=true\n"
                              "X-GNOME-Autostart-enabled=true\n";
  return ini::WriteFileAtomically(ProviderAutostartPath(), content, error);
}

bool InstallProviderUnit(const fs::path& program, std::string* error) {
  const auto command = UnitExecArgument(program, error);
  if (!command) return false;
  const std::string content = "[Unit]\n"
                              "Description=Kestrel virtual MIDI ports\n"
                              "After=sound.target\n"
                              "\n"
                              "[Service]\n"
                              "ExecStart=" +
                              *command +
                              "\n"
                              "Restart=on-failure\n"
                              "\n"
                              "[Install]\n"
                              "WantedBy=default.target\n";
  if (!ini::WriteFileAtomically(ProviderUnitPath(), content, error)) return false;
  std::error_code ec;
  fs::create_directories(ProviderUnitLinkPath().parent_path(), ec);
  fs::remove(ProviderUnitLinkPath(), ec);
  fs::create_symlink(ProviderUnitPath(), ProviderUnitLinkPath(), ec);
  if (ec && error != nullptr) *error = "cannot enable " + ProviderUnitPath().string() + ": " + ec.message();
  return !ec;
}

bool RemoveProvider(std::string* error) {
  bool ok = StopProvider();
  if (!ok && error != nullptr) *error = "kestrel-ports did not stop";
  for (const fs::path& file : {ProviderUnitLinkPath(), ProviderUnitPath(), ProviderAutostartPath()}) {
    std::error_code ec;
    fs::remove(file, ec);
    if (ec) {
      if (ok && error != nullptr) *error = "cannot remove " + file.string() + ": " + ec.message();
      ok = false;
    }
  }
  return ok;
}

int SetVirtualPortCount(int count, const midi::DeviceDirectory& directory, const fs::path& programDir,
                        const Sleep& sleep) {
  const auto wait = [&](std::chrono::milliseconds ms) {
    if (sleep) {
      sleep(ms);
    } else {
      std::this_thread::sleep_for(ms);
    }
  };
  WriteMaxDevs(ProviderSettingsPath(), count);
  StopProvider();
  StartProvider(FindProviderProgram(programDir));
  for (int n = 1; n <= count; ++n) {
    for (int attempt = 0; attempt < 10 - n; ++attempt) {
      if (directory.FindMidiInDevice(midi::VirtualPortName(n))) break;
      wait(std::chrono::milliseconds(500));
    }
  }
  wait(std::chrono::milliseconds(2000));
  return directory.CountVirtualPorts();
}

} // namespace kestrel::driverctl
