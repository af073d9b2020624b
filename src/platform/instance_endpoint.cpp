// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/instance_endpoint.hpp"

#include "platform/paths.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <system_error>
#include <unistd.h>

namespace kestrel {

std::filesystem::path InstanceLockPath() { return RuntimeFilePath(std::string(kInstanceName) + ".lock"); }

std::filesystem::path InstanceSocketPath() { return RuntimeFilePath(kInstanceName); }

InstanceLock::~InstanceLock() { Release(); }

InstanceLock::Result InstanceLock::TryAcquire(std::string* error) {
  if (fd_ >= 0) return Result::Acquired;
  const auto failed = [&](const char* what) {
    if (error != nullptr)
      *error = std::string("cannot ") + what + " " + path_.string() + ": " + std::generic_category().message(errno);
    return Result::Failed;
  };
  fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd_ < 0) return failed("open the instance lock");
  if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    const int reason = errno;
    close(fd_);
    fd_ = -1;
    if (reason == EWOULDBLOCK) return Result::Held;
    errno = reason;
    return failed("lock");
  }
  return Result::Acquired;
}

void InstanceLock::Release() {
  if (fd_ < 0) return;
  close(fd_); // closing the descriptor releases the lock
  fd_ = -1;
}

namespace {

// A socket connected to the instance with the request line sent, or -1.
int SendRequest(std::string_view request, const std::filesystem::path& socketPath) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = socketPath.string();
  if (path.size() >= sizeof address.sun_path) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  std::string line(request);
  line += '\n';
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): the socket interface's own type pun
  const bool sent = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                    send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size());
  if (!sent) {
    close(fd);
    return -1;
  }
  return fd;
}

} // namespace

bool SendToRunningInstance(std::string_view request, const std::filesystem::path& socketPath) {
  const int fd = SendRequest(request, socketPath);
  if (fd < 0) return false;
  close(fd);
  return true;
}

std::optional<std::string> AskRunningInstance(std::string_view request, std::chrono::milliseconds timeout,
                                              const std::filesystem::path& socketPath) {
  const int fd = SendRequest(request, socketPath);
  if (fd < 0) return std::nullopt;
  // The socket stays open both ways until the answer has come: the instance takes a closed end
  // for a peer that went away, before it answers.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string answer;
  std::array<char, 4096> buffer{};
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
    const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
    if (n == 0) {
      close(fd);
      return answer;
    }
    if (n < 0 && errno != EINTR) break;
    if (n > 0) answer.append(buffer.data(), static_cast<std::size_t>(n));
    if (answer.size() > kMaxAnswer) break;
  }
  close(fd);
  return std::nullopt;
}

} // namespace kestrel
