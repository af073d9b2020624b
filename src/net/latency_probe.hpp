// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The network delay to the server, measured as the window shows it: one ICMP echo of 32 bytes
// (0x20..0x3F), TTL 64, answered within 500 ms.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <thread>

namespace kestrel::net {

// The round trip to `address` (network order) in ms, or -1 when it cannot be measured (no
// answer within the time, or no socket for ICMP: an unprivileged datagram ping socket where the
// system allows one, else a raw socket). Blocks up to `timeout`; any thread but the window's.
int ProbeLatency(in_addr_t address, std::chrono::milliseconds timeout = std::chrono::milliseconds(500));

// Runs probes on a thread of its own, one at a time, so that the window never waits for an
// answer; each result is handed to `done` on that thread (the window queues it to itself).
class LatencyProber {
public:
  explicit LatencyProber(std::function<void(in_addr_t address, int ms)> done);
  ~LatencyProber();
  LatencyProber(const LatencyProber&) = delete;
  LatencyProber& operator=(const LatencyProber&) = delete;

  // Asks for a probe of `address`; while one runs, only the newest request waits. Any thread.
  void Request(in_addr_t address);

private:
  void Run();

  std::function<void(in_addr_t, int)> done_;
  std::mutex lock_;
  std::condition_variable wake_;
  bool pending_ = false;
  bool stop_ = false;
  in_addr_t address_ = 0;
  std::thread thread_;
};

} // namespace kestrel::net
