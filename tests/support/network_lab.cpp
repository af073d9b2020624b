// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/network_lab.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sched.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrel::test {

namespace {

// Runs a program (found on PATH) with `input` on its standard input, straight, without a shell:
// inside the virtual machine every process started costs a tenth of a second. Returns what it
// printed on both outputs; raises with that text when it fails.
std::string Exec(const std::vector<std::string>& arguments, const std::string& input = {}) {
  std::vector<char*> argv;
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str())); // NOLINT
  argv.push_back(nullptr);
  std::array<int, 2> in{-1, -1};
  std::array<int, 2> out{-1, -1};
  if (pipe2(in.data(), O_CLOEXEC) != 0) throw std::runtime_error("network lab: no pipe");
  // The input (a few short lines, well within what a pipe holds) is written before the program
  // starts, so it can never end while we still write.
  const bool written = write(in[1], input.data(), input.size()) == static_cast<ssize_t>(input.size());
  close(in[1]);
  if (!written || pipe2(out.data(), O_CLOEXEC) != 0) {
    close(in[0]);
    throw std::runtime_error("network lab: no pipe for " + arguments.front());
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  std::string text;
  std::array<char, 4096> chunk{};
  for (ssize_t n = 0; (n = read(out[0], chunk.data(), chunk.size())) != 0;) {
    if (n > 0) text.append(chunk.data(), static_cast<std::size_t>(n));
    if (n < 0 && errno != EINTR) break;
  }
  close(out[0]);
  int status = -1;
  if (spawned == 0) {
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
  }
  if (spawned != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::string command;
    for (const std::string& a : arguments) command += a + " ";
    throw std::runtime_error("network lab: " + command + (input.empty() ? "" : "<<\n" + input) + ": " + text);
  }
  return text;
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

// Names carry the process and the lab's number in it, so that labs may live side by side:
// kst<pid>-<lab>sw for the switch, kst<pid>-<lab>h<n> for the hosts.
static std::string LabPrefix() {
  static std::atomic<int> labs{0};
  return "kst" + std::to_string(getpid()) + "-" + std::to_string(labs.fetch_add(1));
}

// Four programs in all, each running a batch: the namespaces, the switch, then each host.
NetworkLab::NetworkLab(int hosts, bool defaultRoute) : prefix_(LabPrefix()), switch_(prefix_ + "sw") {
  std::error_code ec;
  if (std::filesystem::exists("/run/netns", ec)) RemoveOrphans();
  std::string namespaces = "netns add " + switch_ + "\n";
  std::string bridge = "link add br0 type bridge\nlink set br0 up\n";
  for (int i = 0; i < hosts; ++i) {
    const std::string name = prefix_ + "h" + std::to_string(i);
    const std::string peer = "p" + std::to_string(i);
    names_.push_back(name);
    namespaces += "netns add " + name + "\n";
    bridge += "link add " + peer + " type veth peer name eth0 netns " + name + "\n";
    bridge += "link set " + peer + " master br0 up\n";
  }
  try {
    Exec({"ip", "-batch", "-"}, namespaces);
    Exec({"ip", "-n", switch_, "-batch", "-"}, bridge);
    for (int i = 0; i < hosts; ++i) {
      legs_.push_back({Leg{0, "10.199.0." + std::to_string(11 + i)}});
      routers_.push_back(false);
      std::string host = "addr add " + Address(i) + "/24 dev eth0\nlink set eth0 up\nlink set lo up\n";
      if (defaultRoute) host += "route add default dev eth0\n";
      Exec({"ip", "-n", Namespace(i), "-batch", "-"}, host);
    }
  } catch (...) {
    RemoveAll();
    throw;
  }
}

NetworkLab::~NetworkLab() { RemoveAll(); }

void NetworkLab::RemoveAll() noexcept {
  std::string batch;
  for (const std::string& name : names_) batch += "netns del " + name + "\n";
  batch += "netns del " + switch_ + "\n";
  try {
    Exec({"ip", "-force", "-batch", "-"}, batch);
  } catch (const std::exception&) {
    // namespaces that were never made
  }
}

std::string NetworkLab::Address(int host) const { return legs_.at(static_cast<std::size_t>(host)).front().address; }

std::string NetworkLab::AddressOn(int host, int subnet) const {
  for (const Leg& leg : legs_.at(static_cast<std::size_t>(host))) {
    if (leg.subnet == subnet) return leg.address;
  }
  return {};
}

// One host with a veth leg on each subnet's bridge; a router also forwards.
int NetworkLab::AddHost(std::vector<Leg> legs, bool router) {
  const int host = static_cast<int>(names_.size());
  const std::string name = prefix_ + "h" + std::to_string(host);
  Exec({"ip", "netns", "add", name});
  names_.push_back(name);
  legs_.push_back(legs);
  routers_.push_back(router);
  std::string bridge;
  std::string inside = "link set lo up\n";
  for (std::size_t i = 0; i < legs.size(); ++i) {
    const std::string peer = "p" + std::to_string(host) + "x" + std::to_string(i);
    const std::string device = "eth" + std::to_string(i);
    bridge += "link add " + peer + " type veth peer name " + device + " netns " + name + "\n";
    bridge += "link set " + peer + " master br" + std::to_string(legs[i].subnet) + " up\n";
    inside += "addr add " + legs[i].address + "/24 dev " + device + "\nlink set " + device + " up\n";
  }
  Exec({"ip", "-n", switch_, "-batch", "-"}, bridge);
  Exec({"ip", "-n", name, "-batch", "-"}, inside);
  if (router) Exec({"ip", "netns", "exec", name, "sysctl", "-q", "-w", "net.ipv4.ip_forward=1"});
  return host;
}

int NetworkLab::AddSubnet(int hosts) {
  const int subnet = subnets_++;
  routersOn_.push_back(0);
  const std::string bridge = "br" + std::to_string(subnet);
  Exec({"ip", "-n", switch_, "-batch", "-"}, "link add " + bridge + " type bridge\nlink set " + bridge + " up\n");
  for (int i = 0; i < hosts; ++i) {
    AddHost({Leg{subnet, "10.199." + std::to_string(subnet) + "." + std::to_string(11 + i)}}, false);
  }
  return subnet;
}

int NetworkLab::AddRouter(int a, int b) {
  auto leg = [&](int subnet) {
    const int n = ++routersOn_.at(static_cast<std::size_t>(subnet));
    return Leg{subnet, "10.199." + std::to_string(subnet) + "." + std::to_string(n)};
  };
  return AddHost({leg(a), leg(b)}, true);
}

void NetworkLab::RouteEverywhere() const {
  // The subnets' graph: a router joins the subnets of its legs.
  const auto hosts = names_.size();
  for (std::size_t host = 0; host < hosts; ++host) {
    // Breadth first from the host's own subnets; `via` is the first router's address on the way.
    std::vector<std::string> via(static_cast<std::size_t>(subnets_));
    std::vector<bool> reached(static_cast<std::size_t>(subnets_), false);
    std::vector<int> frontier;
    for (const Leg& leg : legs_[host]) {
      reached.at(static_cast<std::size_t>(leg.subnet)) = true;
      frontier.push_back(leg.subnet);
    }
    std::string routes;
    while (!frontier.empty()) {
      std::vector<int> next;
      for (const int subnet : frontier) {
        for (std::size_t r = 0; r < hosts; ++r) {
          if (!routers_[r] || r == host) continue;
          const std::string here = AddressOn(static_cast<int>(r), subnet);
          if (here.empty()) continue;
          for (const Leg& far : legs_[r]) {
            const auto f = static_cast<std::size_t>(far.subnet);
            if (reached[f]) continue;
            reached[f] = true;
            via[f] = via.at(static_cast<std::size_t>(subnet)).empty() ? here : via[static_cast<std::size_t>(subnet)];
            routes += "route add 10.199." + std::to_string(far.subnet) + ".0/24 via " + via[f] + "\n";
            next.push_back(far.subnet);
          }
        }
      }
      frontier = std::move(next);
    }
    if (!routes.empty()) Exec({"ip", "-n", names_[host], "-batch", "-"}, routes);
  }
}

void NetworkLab::In(int host, const std::function<void()>& fn) const {
  const ThreadNamespace inside(Namespace(host));
  fn();
}

int NetworkLab::Run(int host, const std::string& command) const {
  return std::system(("ip netns exec " + Namespace(host) + " " + command).c_str()); // NOLINT
}

// Rules take the place of earlier ones in one step, with one program: a root qdisc under a handle
// not used before replaces the old root with everything under it (counters, filters) at once.
static std::string NewRootHandle() {
  static std::atomic<unsigned> handles{0};
  std::ostringstream handle;
  handle << std::hex << handles.fetch_add(1) % 0x7fffU + 1 << ':'; // below those the kernel picks
  return handle.str();
}

void NetworkLab::Netem(int host, const std::string& rules) const {
  Exec({"tc", "-n", Namespace(host), "-batch", "-"},
       "qdisc replace dev eth0 root handle " + NewRootHandle() + " netem " + rules + "\n");
}

// A prio qdisc whose priomap sends everything to its second band (a plain FIFO); a u32 filter
// moves the chosen datagrams to the third band, where netem works on them alone.
void NetworkLab::NetemMatching(int host, std::span<const PayloadWord> words, const std::string& rules) const {
  const std::string root = NewRootHandle();
  std::ostringstream batch;
  batch << "qdisc replace dev eth0 root handle " << root << " prio bands 3 priomap 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1\n"
        << "qdisc add dev eth0 parent " << root << "3 netem " << rules << "\n"
        << "filter add dev eth0 parent " << root << " protocol ip prio 1 u32 match ip protocol 17 0xff";
  for (const PayloadWord& w : words) {
    if (w.offset % 4 != 0) throw std::invalid_argument("network lab: payload words lie at multiples of 4");
    std::uint32_t value = 0;
    for (const std::byte b : w.bytes) value = value << 8U | std::to_integer<std::uint32_t>(b);
    // The payload follows an IP header without options (20 bytes) and the UDP header (8).
    batch << " match u32 0x" << std::hex << value << " 0xffffffff at " << std::dec << 28 + w.offset;
  }
  batch << " flowid " << root << "3\n";
  Exec({"tc", "-n", Namespace(host), "-batch", "-"}, batch.str());
}

NetworkLab::NetemCounts NetworkLab::NetemStats(int host) const {
  std::istringstream text(Exec({"tc", "-n", Namespace(host), "-s", "qdisc", "show", "dev", "eth0"}));
  NetemCounts counts;
  bool netem = false;
  for (std::string line; std::getline(text, line);) {
    if (line.starts_with("qdisc ")) netem = line.starts_with("qdisc netem ");
    // " Sent 1024 bytes 2 pkt (dropped 1, overlimits 0 requeues 0)"
    long bytes = 0;
    if (netem && std::sscanf(line.c_str(), " Sent %ld bytes %ld pkt (dropped %ld", &bytes, &counts.sent, // NOLINT
                             &counts.dropped) == 3) {
      return counts;
    }
  }
  throw std::runtime_error("network lab: no netem on " + Namespace(host));
}

void NetworkLab::ClearNetem(int host) const {
  try {
    Exec({"tc", "-n", Namespace(host), "qdisc", "del", "dev", "eth0", "root"});
  } catch (const std::runtime_error&) {
    // the host had only its default qdisc
  }
}

} // namespace kestrel::test
