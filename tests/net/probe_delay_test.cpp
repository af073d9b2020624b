// SPDX-License-Identifier: GPL-3.0-or-later
// The delay probe on a path with a known delay (netem on the answering host): it reports that
// delay, gives -1 within its time when every answer is lost, and never takes the late answer to
// an earlier probe for its own.
#include "net/latency_probe.hpp"
#include "support/network_lab.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>

namespace kestrel::net {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct ProbeDelayTest : ::testing::Test {
  ProbeDelayTest() {
    lab.ClearNetem(0);
    // An echo may also wait for the neighbour's address; later ones measure the path alone.
    EXPECT_GE(Probe(), 0);
  }
  int Probe(std::chrono::milliseconds timeout = 500ms) const {
    int ms = -2;
    lab.In(1, [&] { ms = ProbeLatency(inet_addr(lab.Address(0).c_str()), timeout); });
    return ms;
  }
  // One LAN for the three tests: making one takes about a second in the emulated machine.
  static test::NetworkLab& SharedLab() {
    static test::NetworkLab lab(2);
    return lab;
  }
  test::NetworkLab& lab = SharedLab();
};

TEST_F(ProbeDelayTest, ReportsTheDelayOnThePath) {
  lab.Netem(0, "delay 40ms");
  for (int i = 0; i < 3; ++i) {
    const int ms = Probe();
    EXPECT_GE(ms, 40);
    EXPECT_LT(ms, 40 + 200) << "an emulated, busy machine adds a little, not this much";
  }
  lab.Netem(0, "delay 150ms");
  EXPECT_GE(Probe(), 150);
}

TEST_F(ProbeDelayTest, GivesMinusOneWithinItsTimeWhenEveryAnswerIsLost) {
  lab.Netem(0, "loss 100%");
  const auto start = Clock::now();
  EXPECT_EQ(Probe(), -1);
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 500ms);
  EXPECT_LT(took, 500ms + 400ms);
  EXPECT_GE(lab.NetemStats(0).dropped, 1) << "the echo was answered, the answer lost";
}

TEST_F(ProbeDelayTest, ALateAnswerToAnEarlierProbeIsNotTaken) {
  lab.Netem(0, "delay 300ms");
  EXPECT_EQ(Probe(100ms), -1) << "its answer comes 200 ms after it gave up";
  // This probe's own answer comes at 300 ms; the earlier one's arrives some 100 ms before that.
  EXPECT_GE(Probe(), 300);
}

} // namespace
} // namespace kestrel::net
