// SPDX-License-Identifier: GPL-3.0-or-later
// One server and many clients on one LAN, on this machine's real processors: the server engine
// broadcasts 10 000 short events a second (one every 100 us, from a producer under the capture
// thread's policy) to 32 client engines, each in a host of its own (network namespaces on one
// bridge). Prints each client's losses, the order and the delay from Append to the client's output
// call, and the server thread's processor time per event with one client listening and with all
// of them. The sequencer is not here (this machine's kernel has none): each client's outputs count
// what they are given. Needs root (ip netns).
//
// All 33 hosts are on the bridge in both runs, so the kernel floods every broadcast to all of them
// either way; what differs is only how many Kestrel clients listen.
#include "bench_support.hpp"
#include "core/dump_store.hpp"
#include "core/midi_outputs.hpp"
#include "core/send_queue.hpp"
#include "core/window_flags.hpp"
#include "net/client_engine.hpp"
#include "net/server_engine.hpp"
#include "net/udp_socket.hpp"
#include "platform/realtime.hpp"
#include "support/network_lab.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kestrel {
namespace {

using bench::Numbered;
using bench::NumberOf;
using bench::Percentile;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kClients = 32;
constexpr std::size_t kEvents = 30000;
constexpr auto kInterval = 100us; // 10 000 events a second
constexpr std::uint16_t kPort = 8800;

// One client's outputs: when each numbered event was played, and whether it came in order.
class TimedOutputs final : public MidiOutputs {
public:
  TimedOutputs() : played_(kEvents) {}
  int OpenOutputByName(std::string_view, int) override { return 1; }
  void CloseOutput(int) override {}
  void CloseAllOutputs() override {}
  SlotState State(int) const noexcept override { return SlotState::Open; }
  void PlayShort(int, std::uint32_t word) noexcept override {
    const std::size_t i = NumberOf(word);
    if (i >= played_.size()) return;
    if (played_[i] != Clock::time_point{}) ++duplicates_;
    if (any_ && i < last_) ++outOfOrder_;
    any_ = true;
    last_ = i;
    played_[i] = Clock::now();
  }
  void PlayLong(int, std::span<const std::byte>) override {}
  void NotesOff(int /*slot*/) noexcept override {}

  void Reset() {
    std::fill(played_.begin(), played_.end(), Clock::time_point{});
    any_ = false;
    last_ = 0;
    outOfOrder_ = 0;
    duplicates_ = 0;
  }
  std::vector<Clock::time_point> played_; // written by the client engine, read after a run
  bool any_ = false;
  std::size_t last_ = 0;
  long outOfOrder_ = 0;
  long duplicates_ = 0;
};

struct ClientHost {
  explicit ClientHost(const WindowFlags& flags) : dump(SystemClock(), flags), engine(outputs, dump, flags, reports) {}
  TimedOutputs outputs;
  DumpStore dump;
  bench::QuietReports reports;
  net::CClientThread engine;
};

// Processor time of this process's threads of one name, in nanoseconds (the kernel's per-thread
// clock, read through the thread's id).
double ThreadsCpuNs(const std::string& name) {
  double total = 0;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return 0;
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream commFile(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string comm;
    std::getline(commFile, comm);
    if (comm != name) continue;
    const auto tid = static_cast<clockid_t>(std::stol(e->d_name));
    const clockid_t clock = static_cast<clockid_t>((~static_cast<unsigned>(tid)) << 3U) | 6; // per-thread, scheduler
    timespec ts{};
    if (clock_gettime(clock, &ts) == 0) total += static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
  }
  closedir(dir);
  return total;
}

// The kernel's own share: a bare socket broadcasting the same 10 000 datagrams a second to
// `listening` bare receivers; the sending thread's processor time per datagram.
double BareBroadcastNsPerDatagram(const test::NetworkLab& lab, int listening) {
  constexpr std::uint16_t kBarePort = 9100;
  net::CUdpSocket from;
  lab.In(0, [&] { from.Create(); });
  const int on = 1;
  setsockopt(from.Fd(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  std::vector<std::unique_ptr<net::CUdpSocket>> to;
  std::vector<std::thread> receivers;
  std::atomic<bool> done{false};
  for (int c = 0; c < listening; ++c) {
    to.push_back(std::make_unique<net::CUdpSocket>());
    lab.In(c + 1, [&] { to.back()->Create(kBarePort, "0.0.0.0"); });
    const timeval wait{0, 100000};
    setsockopt(to.back()->Fd(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    receivers.emplace_back([&done, fd = to.back()->Fd()] {
      AskForRealtime("scale_bench");
      std::array<char, 64> buffer{};
      while (!done.load()) recv(fd, buffer.data(), buffer.size(), 0);
    });
  }
  std::this_thread::sleep_for(100ms);
  double ns = 0;
  std::thread sender([&] {
    AskForRealtime("scale_bench");
    const sockaddr_in address{AF_INET, htons(kBarePort), {htonl(INADDR_BROADCAST)}, {}};
    std::array<char, 36> datagram{};
    timespec before{};
    timespec after{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &before);
    const auto start = Clock::now();
    for (std::size_t i = 0; i < kEvents; ++i) {
      std::this_thread::sleep_until(start + i * kInterval);
      sendto(from.Fd(), datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&address),
             sizeof address);
    }
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &after);
    ns = static_cast<double>(after.tv_sec - before.tv_sec) * 1e9 + static_cast<double>(after.tv_nsec - before.tv_nsec);
  });
  sender.join();
  done = true;
  for (auto& r : receivers) r.join();
  const double perDatagram = ns / static_cast<double>(kEvents);
  std::printf("A bare socket broadcasting to %d bare receivers: sending thread %.2f us per datagram\n", listening,
              perDatagram / 1000);
  std::printf("CMP scale_bare listeners=%d sender_ns_per_datagram=%.0f\n", listening, perDatagram);
  return perDatagram;
}

struct RunFigures {
  double serverNsPerEvent = 0;
};

RunFigures RunOnce(const char* what, SendQueue& queue, std::vector<std::unique_ptr<ClientHost>>& clients,
                   int listening) {
  for (auto& c : clients) c->outputs.Reset();
  std::vector<Clock::time_point> sent(kEvents);
  const double serverBefore = ThreadsCpuNs("kestrel-server");
  const double clientsBefore = ThreadsCpuNs("kestrel-client");
  std::thread producer([&] {
    AskForRealtime("scale_bench");
    const auto start = Clock::now() + 10ms;
    for (std::size_t i = 0; i < kEvents; ++i) {
      std::this_thread::sleep_until(start + i * kInterval);
      sent[i] = Clock::now();
      queue.Append(MakeShortRecord(RecordType::MIM_DATA, 1, 0, 0, Numbered(i)));
    }
  });
  producer.join();
  std::this_thread::sleep_for(500ms);
  const double serverNs = ThreadsCpuNs("kestrel-server") - serverBefore;
  const double clientNs = ThreadsCpuNs("kestrel-client") - clientsBefore;

  std::vector<double> delays;
  long lostMin = static_cast<long>(kEvents);
  long lostMax = 0;
  long lostAll = 0;
  long disorder = 0;
  long duplicates = 0;
  for (int c = 0; c < listening; ++c) {
    const TimedOutputs& o = clients[static_cast<std::size_t>(c)]->outputs;
    long lost = 0;
    for (std::size_t i = 0; i < kEvents; ++i) {
      if (o.played_[i] == Clock::time_point{}) {
        ++lost;
      } else {
        delays.push_back(std::chrono::duration<double, std::micro>(o.played_[i] - sent[i]).count());
      }
    }
    lostMin = std::min(lostMin, lost);
    lostMax = std::max(lostMax, lost);
    lostAll += lost;
    disorder += o.outOfOrder_;
    duplicates += o.duplicates_;
  }
  const RunFigures f{serverNs / static_cast<double>(kEvents)};
  std::printf("%s: %d clients listening, %zu events at 10000/s: lost per client min %ld max %ld (all %ld), "
              "out of order %ld, duplicates %ld; delay p50 %.1f us p99 %.1f us max %.1f us; server thread %.2f us "
              "per event, client threads %.2f us per event and client\n",
              what, listening, kEvents, lostMin, lostMax, lostAll, disorder, duplicates, Percentile(delays, 0.5),
              Percentile(delays, 0.99), Percentile(delays, 1.0), f.serverNsPerEvent / 1000,
              clientNs / static_cast<double>(kEvents) / listening / 1000);
  std::printf("CMP scale_host clients=%d events=%zu lost_min=%ld lost_max=%ld lost_all=%ld out_of_order=%ld "
              "duplicates=%ld p50=%.1f p99=%.1f max=%.1f server_ns_per_event=%.0f\n",
              listening, kEvents, lostMin, lostMax, lostAll, disorder, duplicates, Percentile(delays, 0.5),
              Percentile(delays, 0.99), Percentile(delays, 1.0), f.serverNsPerEvent);
  std::fflush(stdout);
  return f;
}

int Run() {
  test::NetworkLab lab(kClients + 1);
  std::printf("One server and %d clients, each a network namespace on one bridge, on this machine's processors\n",
              kClients);
  WindowFlags flags;
  flags.present = true;
  DumpStore serverDump(SystemClock(), flags);
  SendQueue queue(serverDump, flags);
  net::ServerLink link;
  net::CUdpSender sender(kPort);
  net::CServerThread server(queue, link, flags);
  lab.In(0, [&] {
    sender.Open();
    link.sender = &sender;
    server.Start();
  });

  std::vector<std::unique_ptr<ClientHost>> clients;
  for (int c = 0; c < kClients; ++c) clients.push_back(std::make_unique<ClientHost>(flags));
  auto start = [&](int c) {
    ClientHost& h = *clients[static_cast<std::size_t>(c)];
    lab.In(c + 1, [&] { h.engine.Start(); });
    h.engine.PostCommand(net::CClientThread::CmdOpenOutput, 0, "out");
    h.engine.Connect(kPort, inet_addr(lab.Address(c + 1).c_str()));
  };
  start(0);
  std::this_thread::sleep_for(300ms);
  const RunFigures one = RunOnce("Scale", queue, clients, 1);
  for (int c = 1; c < kClients; ++c) start(c);
  std::this_thread::sleep_for(500ms);
  const RunFigures all = RunOnce("Scale", queue, clients, kClients);
  server.Stop();
  for (auto& c : clients) c->engine.Stop();

  const double bareOne = BareBroadcastNsPerDatagram(lab, 1);
  const double bareAll = BareBroadcastNsPerDatagram(lab, kClients);
  std::printf("With %d listeners against one: Kestrel's server thread x%.2f, the bare socket x%.2f; Kestrel's own "
              "share (server thread minus the bare socket) %.2f against %.2f us per event\n",
              kClients, all.serverNsPerEvent / std::max(1.0, one.serverNsPerEvent), bareAll / std::max(1.0, bareOne),
              (all.serverNsPerEvent - bareAll) / 1000, (one.serverNsPerEvent - bareOne) / 1000);
  std::printf("CMP scale_share own_one_ns=%.0f own_all_ns=%.0f\n", one.serverNsPerEvent - bareOne,
              all.serverNsPerEvent - bareAll);
  return 0;
}

} // namespace
} // namespace kestrel

int main() { return kestrel::Run(); }
