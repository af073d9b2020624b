#include "support/network_lab.hpp"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sched.h>
#include <stdexcept>
#include <unistd.h>

namespace kestrel::test {

namespace {
void Shell(const std::string& command) {
  if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) { // NOLINT(concurrency-mt-unsafe, cert-env33-c)
    throw std::runtime_error("network lab: " + command);
  }
}

// Enters a network namespace for the calling thread and returns to the original at the end.
class ThreadNamespace {
public:
  explicit ThreadNamespace(const std::string& name)
      : original_(open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)),
        target_(open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC)) {
    if (original_ < 0 || target_ < 0 || setns(target_, CLONE_NEWNET) != 0) {
      Close();
      throw std::runtime_error("cannot enter network namespace " + name);
    }
  }
  ~ThreadNamespace() {
    if (setns(original_, CLONE_NEWNET) != 0) std::abort(); // never carry on in the wrong network
    Close();
  }
  ThreadNamespace(const ThreadNamespace&) = delete;
  ThreadNamespace& operator=(const ThreadNamespace&) = delete;

private:
  void Close() {
    if (original_ >= 0) close(original_);
    if (target_ >= 0) close(target_);
  }
  int original_;
  int target_;
};
} // namespace

// Hosts left behind by a test process that died: their names carry its pid.
static void RemoveOrphans() {
  for (const auto& entry :
       std::filesystem::directory_iterator("/run/netns", std::filesystem::directory_options::skip_permission_denied)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with("kst")) continue;
    const std::string pid = name.substr(3, name.find('-') - 3);
    if (!pid.empty() && !std::filesystem::exists("/proc/" + pid)) {
      std::system(("ip netns del " + name + " 2>/dev/null").c_str()); // NOLINT
    }
  }
}

NetworkLab::NetworkLab(int hosts, bool defaultRoute) : switch_("kst" + std::to_string(getpid()) + "-sw") {
  std::error_code ec;
  if (std::filesystem::exists("/run/netns", ec)) RemoveOrphans();
  Shell("ip netns add " + switch_);
  Shell("ip -n " + switch_ + " link add br0 type bridge");
  Shell("ip -n " + switch_ + " link set br0 up");
  for (int i = 0; i < hosts; ++i) {
    const std::string name = "kst" + std::to_string(getpid()) + "-h" + std::to_string(i);
    names_.push_back(name);
    const std::string peer = "p" + std::to_string(i);
    Shell("ip netns add " + name);
    Shell("ip -n " + name + " link add eth0 type veth peer name " + peer + " netns " + switch_);
    Shell("ip -n " + switch_ + " link set " + peer + " master br0 up");
    Shell("ip -n " + name + " addr add " + Address(i) + "/24 dev eth0");
    Shell("ip -n " + name + " link set eth0 up");
    Shell("ip -n " + name + " link set lo up");
    if (defaultRoute) Shell("ip -n " + name + " route add default dev eth0");
  }
}

NetworkLab::~NetworkLab() {
  for (const std::string& name : names_) std::system(("ip netns del " + name + " 2>/dev/null").c_str()); // NOLINT
  std::system(("ip netns del " + switch_ + " 2>/dev/null").c_str());                                     // NOLINT
}

std::string NetworkLab::Address(int host) const { return "10.199.0." + std::to_string(11 + host); }

void NetworkLab::In(int host, const std::function<void()>& fn) const {
  const ThreadNamespace inside(Namespace(host));
  fn();
}

int NetworkLab::Run(int host, const std::string& command) const {
  return std::system(("ip netns exec " + Namespace(host) + " " + command).c_str()); // NOLINT
}

} // namespace kestrel::test
