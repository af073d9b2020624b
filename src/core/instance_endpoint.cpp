#include "core/instance_endpoint.hpp"

#include "core/settings.hpp"

#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kestrel {

std::filesystem::path InstanceLockPath() { return RuntimeFilePath(std::string(kInstanceName) + ".lock"); }

std::filesystem::path InstanceSocketPath() { return RuntimeFilePath(kInstanceName); }

InstanceLock::~InstanceLock() { Release(); }

bool InstanceLock::TryAcquire() {
  if (fd_ >= 0) return true;
  fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd_ < 0) return false;
  if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    close(fd_);
    fd_ = -1;
    return false;
  }
  return true;
}

void InstanceLock::Release() {
  if (fd_ < 0) return;
  close(fd_); // closing the descriptor releases the lock
  fd_ = -1;
}

bool SendToRunningInstance(std::string_view request, const std::filesystem::path& socketPath) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = socketPath.string();
  if (path.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  std::string line(request);
  line += '\n';
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): the socket interface's own type pun
  const bool sent = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                    send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size());
  close(fd);
  return sent;
}

} // namespace kestrel
