// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/paths.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace kestrel {

namespace fs = std::filesystem;

fs::path ProgramPath() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path() : exe;
}

fs::path ProgramDirectory() { return ProgramPath().parent_path(); }

bool DeleteProgramFile(const fs::path& program, std::string* error) {
  if (!program.is_absolute()) {
    if (error != nullptr) { *error = "the program's own path is unknown (is /proc mounted?); nothing was deleted"; }
    return false;
  }
  if (unlink(program.c_str()) != 0) {
    if (error != nullptr) {
      *error = "cannot delete " + program.string() + ": " + std::generic_category().message(errno);
    }
    return false;
  }
  return true;
}

fs::path ConfigHome() {
  // Read at start-up, before any other thread exists.
  const char* xdg = std::getenv("XDG_CONFIG_HOME"); // NOLINT(concurrency-mt-unsafe)
  if (xdg != nullptr && *xdg == '/') { return xdg; }
  const char* home = std::getenv("HOME"); // NOLINT(concurrency-mt-unsafe)
  if (home != nullptr && *home != '\0') { return fs::path(home) / ".config"; }
  return fs::path("/tmp");
}

std::optional<fs::path> PrivateRuntimeDirectory(const fs::path& base, uid_t uid, std::string* error) {
  const fs::path dir = base / ("kestrel-" + std::to_string(uid));
  const auto refuse = [&](const std::string& why) -> std::optional<fs::path> {
    if (error != nullptr) { *error = "the runtime folder " + dir.string() + " " + why; }
    return std::nullopt;
  };
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    return refuse("cannot be made (" + std::generic_category().message(errno) + "); set XDG_RUNTIME_DIR");
  }
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0) {
    return refuse("cannot be read (" + std::generic_category().message(errno) + "); set XDG_RUNTIME_DIR");
  }
  constexpr const char* kWayOut = "; remove it or set XDG_RUNTIME_DIR";
  if (S_ISLNK(st.st_mode)) { return refuse(std::string("is a symbolic link") + kWayOut); }
  if (!S_ISDIR(st.st_mode)) { return refuse(std::string("is not a folder") + kWayOut); }
  if (st.st_uid != uid) { return refuse("belongs to another user (uid " + std::to_string(st.st_uid) + ")" + kWayOut); }
  if ((st.st_mode & 0777) != 0700) {
    std::array<char, 8> mode{};
    std::snprintf(mode.data(), mode.size(), "%04o", st.st_mode & 0777);
    return refuse("has mode " + std::string(mode.data()) + ", not 0700: others may have reached into it" + kWayOut);
  }
  return dir;
}

std::optional<fs::path> RuntimeDirectory(std::string* error) {
  const char* dir = std::getenv("XDG_RUNTIME_DIR"); // NOLINT(concurrency-mt-unsafe)
  // The session's folder is made by the login manager, private to the user: taken as it is.
  if (dir != nullptr && *dir == '/') { return fs::path(dir); }
  // Without a runtime folder of the session (ssh, cron, su, containers), one of our own in /tmp.
  return PrivateRuntimeDirectory("/tmp", getuid(), error);
}

fs::path RuntimeFilePath(std::string_view name) {
  const auto dir = RuntimeDirectory();
  return dir ? *dir / name : fs::path();
}

} // namespace kestrel
