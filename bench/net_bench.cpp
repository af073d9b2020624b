// Speed of the network path between two hosts made of network namespaces on a veth pair:
// the UDP floor (a bare ping-pong of 36-byte datagrams), Kestrel's one-way delay from the
// capture side's Append to the client's output call, the highest rate of short events carried
// without loss, and the time for a 65536-byte system-exclusive message. Needs root (ip netns).
#include "core/dump_store.hpp"
#include "core/midi_outputs.hpp"
#include "core/send_queue.hpp"
#include "core/window_flags.hpp"
#include "net/client_engine.hpp"
#include "net/server_engine.hpp"
#include "net/udp_socket.hpp"
#include "support/network_lab.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace kestrel {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double Ns(Clock::duration d) {
  return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// The client's outputs: note when each short message (numbered in its data bytes) is played.
class TimedOutputs final : public MidiOutputs {
public:
  explicit TimedOutputs(std::size_t events) : played_(events) {}
  int OpenOutputByName(std::string_view, int) override { return 1; }
  void CloseOutput(int) override {}
  void CloseAllOutputs() override {}
  SlotState State(int) const noexcept override { return SlotState::Open; }
  void PlayShort(int, std::uint32_t word) noexcept override {
    const std::size_t i = ((word >> 8U) & 0x7FU) | (((word >> 16U) & 0x7FU) << 7U) | (((word >> 4U) & 0x7U) << 14U);
    if (i < played_.size()) played_[i] = Clock::now();
    count.fetch_add(1);
  }
  void PlayLong(int, std::span<const std::byte>) override {
    longAt = Clock::now();
    longs.fetch_add(1);
  }
  void NotesOff() noexcept override {}
  std::vector<Clock::time_point> played_;
  std::atomic<std::size_t> count{0};
  std::atomic<int> longs{0};
  Clock::time_point longAt;
};

struct Reports final : net::ClientReports {
  void ReportConnectionState(net::ConnectionState) override {}
  void ReportServerAddress(in_addr_t) override {}
  void ReportFatalError(const std::string& text) override { std::fprintf(stderr, "error: %s\n", text.c_str()); }
  net::ConnectionState CurrentState() const noexcept override { return net::ConnectionState::Connected; }
};

// Event i as a short message whose status and data bytes carry its number (17 bits).
std::uint32_t Numbered(std::size_t i) {
  return PackShortMessage(static_cast<std::uint8_t>(0x80U | ((i >> 14U) & 0x7U) << 4U),
                          static_cast<std::uint8_t>(i & 0x7FU), static_cast<std::uint8_t>((i >> 7U) & 0x7FU));
}

void UdpFloor(const test::NetworkLab& lab) {
  constexpr int kRounds = 20000;
  net::CUdpSocket a;
  net::CUdpSocket b;
  lab.In(0, [&] { a.Create(9000, lab.Address(0).c_str()); });
  lab.In(1, [&] { b.Create(9000, lab.Address(1).c_str()); });
  sockaddr_in toB{AF_INET, htons(9000), {inet_addr(lab.Address(1).c_str())}, {}};
  sockaddr_in toA{AF_INET, htons(9000), {inet_addr(lab.Address(0).c_str())}, {}};
  std::thread echo([&] {
    std::array<char, 64> buffer{};
    for (int i = 0; i < kRounds; ++i) {
      const ssize_t n = recv(b.Fd(), buffer.data(), buffer.size(), 0);
      sendto(b.Fd(), buffer.data(), static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr*>(&toA), sizeof toA);
    }
  });
  std::vector<double> oneWay;
  std::array<char, 36> datagram{};
  for (int i = 0; i < kRounds; ++i) {
    const auto start = Clock::now();
    sendto(a.Fd(), datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&toB), sizeof toB);
    recv(a.Fd(), datagram.data(), datagram.size(), 0);
    oneWay.push_back(Ns(Clock::now() - start) / 2);
  }
  echo.join();
  std::printf("%-60s p50 %6.1f us  p99 %6.1f us  max %7.1f us\n", "UDP floor: half a 36-byte ping-pong",
              Percentile(oneWay, 0.5) / 1000, Percentile(oneWay, 0.99) / 1000, Percentile(oneWay, 1.0) / 1000);
}

int Run() {
  test::NetworkLab lab(2);
  std::printf("Two hosts on a veth pair through a bridge (network namespaces on this machine)\n");
  UdpFloor(lab);

  constexpr std::size_t kEvents = 100000;
  WindowFlags flags;
  flags.present = true;
  DumpStore serverDump(SystemClock(), flags);
  DumpStore clientDump(SystemClock(), flags);
  SendQueue queue(serverDump, flags);
  net::ServerLink link;
  net::CUdpSender sender(8800);
  TimedOutputs outputs(kEvents);
  Reports reports;
  net::CClientThread client(outputs, clientDump, flags, reports);
  net::CServerThread server(queue, link, flags);
  lab.In(0, [&] {
    sender.Open();
    link.sender = &sender;
    server.Start();
  });
  lab.In(1, [&] { client.Start(); });
  client.PostCommand(net::CClientThread::CmdOpenOutput, 0, "out");
  client.Connect(8800, inet_addr(lab.Address(1).c_str()));
  std::this_thread::sleep_for(200ms);

  { // One-way delay: one event every 200 us.
    constexpr std::size_t kTimed = 10000;
    std::vector<Clock::time_point> sent(kTimed);
    for (std::size_t i = 0; i < kTimed; ++i) {
      sent[i] = Clock::now();
      queue.Append(MakeShortRecord(RecordType::MIM_DATA, 1, 0, 0, Numbered(i)));
      std::this_thread::sleep_for(200us);
    }
    std::this_thread::sleep_for(200ms);
    std::vector<double> delay;
    for (std::size_t i = 0; i < kTimed; ++i) {
      if (outputs.played_[i] > sent[i]) delay.push_back(Ns(outputs.played_[i] - sent[i]));
    }
    std::printf("%-60s p50 %6.1f us  p99 %6.1f us  max %7.1f us  (%zu of %zu)\n",
                "Kestrel: Append on the server -> output call on the client", Percentile(delay, 0.5) / 1000,
                Percentile(delay, 0.99) / 1000, Percentile(delay, 1.0) / 1000, delay.size(), kTimed);
  }
  { // Rates: kEvents short events at a steady rate, in bursts of 128; how many arrive.
    for (const double rate : {50000.0, 100000.0, 200000.0, 400000.0}) {
      outputs.count = 0;
      const auto start = Clock::now();
      for (std::size_t i = 0; i < kEvents; i += 128) {
        for (std::size_t j = i; j < std::min(kEvents, i + 128); ++j) {
          queue.Append(MakeShortRecord(RecordType::MIM_DATA, 1, 0, 0, Numbered(j)));
        }
        std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(static_cast<double>(i + 128) / rate)));
      }
      std::this_thread::sleep_for(300ms);
      const std::size_t got = outputs.count.load();
      std::printf("%-60s %zu of %zu (%.2f %% lost)\n",
                  (std::to_string(static_cast<int>(rate)) + " short events/s, bursts of 128").c_str(), got, kEvents,
                  100.0 * static_cast<double>(kEvents - got) / static_cast<double>(kEvents));
    }
  }
  { // 64 KiB of system-exclusive, end to end.
    std::vector<std::byte> record(kMaxRecordSize, std::byte{0x11});
    EventRecord h;
    h.dataLength = static_cast<std::int32_t>(kMaxLongMessage);
    h.type = static_cast<std::int32_t>(RecordType::MIM_LONGDATA);
    h.port = 1;
    StoreHeader(record.data(), h);
    std::vector<double> times;
    for (int i = 0; i < 20; ++i) {
      const int before = outputs.longs.load();
      const auto start = Clock::now();
      queue.Append(record);
      while (outputs.longs.load() == before && Clock::now() - start < 2s) std::this_thread::sleep_for(20us);
      if (outputs.longs.load() != before) times.push_back(Ns(outputs.longAt - start));
    }
    std::printf("%-60s p50 %6.2f ms  max %6.2f ms  (%zu of 20 whole)\n",
                "65536-byte system-exclusive, Append -> played whole", Percentile(times, 0.5) / 1e6,
                Percentile(times, 1.0) / 1e6, times.size());
  }
  server.Stop();
  client.Stop();
  return 0;
}

} // namespace
} // namespace kestrel

int main() { return kestrel::Run(); }
