// SPDX-License-Identifier: GPL-3.0-or-later
// quillon closes a running Kestrel through its per-user endpoint and removes the real provider.
#include "driverctl/provider_control.hpp"
#include "platform/instance_endpoint.hpp"
#include "platform/paths.hpp"
#include "provider_fixture.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace kestrel {
namespace {

using test::ChildProcess;

// Stands in for a running Kestrel: holds the instance lock and notes the requests it gets.
class FakeInstance {
public:
  FakeInstance() {
    EXPECT_EQ(lock_.TryAcquire(), InstanceLock::Result::Acquired);
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = InstanceSocketPath().string();
    std::copy(path.begin(), path.end(), address.sun_path);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    listen(fd_, 4);
    thread_ = std::thread([this] {
      for (;;) {
        const int client = accept(fd_, nullptr, nullptr);
        if (client < 0) return;
        std::array<char, 64> buffer{};
        const ssize_t n = read(client, buffer.data(), buffer.size());
        close(client);
        const std::lock_guard guard(mutex_);
        if (n > 0) requests_.emplace_back(buffer.data(), static_cast<std::size_t>(n));
      }
    });
  }
  ~FakeInstance() {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
    unlink(InstanceSocketPath().c_str());
  }
  FakeInstance(const FakeInstance&) = delete;
  FakeInstance& operator=(const FakeInstance&) = delete;
  std::vector<std::string> Requests() {
    const std::lock_guard guard(mutex_);
    return requests_;
  }

private:
  InstanceLock lock_;
  int fd_ = -1;
  std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

struct QuillonTest : ::testing::Test {
  int Run(const std::vector<std::string>& args) {
    std::vector<std::string> command{QUILLON_PROGRAM};
    command.insert(command.end(), args.begin(), args.end());
    ChildProcess quillon(command, folders.Path() / "out.txt");
    return quillon.Wait();
  }
  std::string Output() { return test::ReadText(folders.Path() / "out.txt"); }
  test::ProviderFolders folders;
};

TEST_F(QuillonTest, WrongArgumentsPrintTheUsage) {
  FakeInstance kestrel;
  EXPECT_EQ(Run({}), 1);
  EXPECT_EQ(Output(), "Usage: Quillon ( /i | /u )");
  EXPECT_EQ(Run({"/u", "/d"}), 1);
  EXPECT_TRUE(kestrel.Requests().empty()) << "a usage error leaves Kestrel alone";

  EXPECT_EQ(Run({"/i"}), 1);
  EXPECT_EQ(Output(), "Usage: Quillon ( /i | /u )");
  EXPECT_EQ(kestrel.Requests(), std::vector<std::string>{"cancel\n"}) << "Kestrel is closed first";
}

TEST_F(QuillonTest, UninstallClosesKestrelAndRemovesTheProvider) {
  const std::filesystem::path program = KESTREL_PORTS_PROGRAM;
  ASSERT_TRUE(driverctl::InstallProviderAutostart(program));
  ASSERT_TRUE(driverctl::InstallProviderUnit(program));
  EXPECT_NE(test::ReadText(driverctl::ProviderUnitPath()).find(program.string()), std::string::npos);
  ASSERT_TRUE(driverctl::EnsureProviderRunning(program.parent_path()));
  FakeInstance kestrel;

  EXPECT_EQ(Run({"/U"}), 0);
  EXPECT_EQ(Output(), "MIDI Driver Uninstall...\n");
  EXPECT_EQ(kestrel.Requests(), std::vector<std::string>{"cancel\n"});
  EXPECT_FALSE(driverctl::RunningProvider(driverctl::ProviderPidPath()));
  EXPECT_FALSE(std::filesystem::exists(driverctl::ProviderAutostartPath()));
  EXPECT_FALSE(std::filesystem::exists(driverctl::ProviderUnitPath()));
  EXPECT_FALSE(std::filesystem::is_symlink(driverctl::ProviderUnitLinkPath()));
  EXPECT_EQ(Run({"/u"}), 0) << "nothing left to remove is no failure";
}

TEST_F(QuillonTest, DeleteRemovesItsOwnFileWhateverItsName) {
  // A renamed copy deletes itself, not a file called quillon beside it.
  const std::filesystem::path copy = folders.Path() / "quillon-1.2";
  std::filesystem::copy_file(QUILLON_PROGRAM, copy);
  std::ofstream(folders.Path() / "quillon") << "not this one";
  ChildProcess quillon({copy.string(), "/D"});
  EXPECT_EQ(quillon.Wait(), 0);
  EXPECT_FALSE(std::filesystem::exists(copy));
  EXPECT_TRUE(std::filesystem::exists(folders.Path() / "quillon"));

  // The built program itself, where the virtual machine mounts this machine's files read-only: its
  // delete fails even for root, and says so.
  struct statvfs mount {};
  if (statvfs(QUILLON_PROGRAM, &mount) != 0 || (mount.f_flag & ST_RDONLY) == 0) {
    GTEST_SKIP() << "the built quillon is not on a read-only mount (not in the virtual machine?)";
  }
  const auto errors = folders.Path() / "errors.txt";
  ChildProcess inPlace({"sh", "-c", std::string(QUILLON_PROGRAM) + " /d 2>" + errors.string()});
  EXPECT_EQ(inPlace.Wait(), 1);
  EXPECT_EQ(test::ReadText(errors),
            "DeleteProgramFile FAILURE: cannot delete " QUILLON_PROGRAM ": Read-only file system\n");
  EXPECT_TRUE(std::filesystem::exists(QUILLON_PROGRAM));
}

} // namespace
} // namespace kestrel
