// SPDX-License-Identifier: GPL-3.0-or-later
// What other threads hand the window: the lamps, the capture relay, and the engine inbox with all
// of its producers at once.

#include "controller/engine_inbox.hpp"
#include "controller/indicators.hpp"
#include "controller/notices.hpp"
#include "shell/app_context.hpp"
#include "support/fake_view.hpp"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kestrel::controller {
namespace {

TEST(Lamp, LightsOnTheNextTickAndGoesDarkThreeTicksAfterTheLastEvent) {
  CBin lamp;
  EXPECT_FALSE(lamp.LampTick()) << "dark lamps are not repainted";
  lamp.LampTrigger();
  EXPECT_TRUE(lamp.LampTick()); // lit: one repaint
  for (int i = 0; i < 10; ++i) {
    lamp.LampTrigger(); // a steady stream costs no repaint
    EXPECT_FALSE(lamp.LampTick());
    EXPECT_TRUE(lamp.Lit());
  }
  EXPECT_FALSE(lamp.LampTick());
  EXPECT_TRUE(lamp.LampTick()); // third tick after the last event: dark
  EXPECT_FALSE(lamp.Lit());
  EXPECT_FALSE(lamp.LampTick());
}

// The capture thread keeps reporting while windows come and go: a window deleted right after it
// was detached is never called again (ThreadSanitizer and AddressSanitizer watch this one).
TEST(CaptureRelay, AWindowDetachedIsNeverCalledAgain) {
  struct Window final : midi::CaptureObserver {
    std::atomic<int> lamps{0};
    void LampTrigger(int /*port*/) noexcept override { lamps.fetch_add(1); }
    void InputOpenFailed(int /*index*/) override {}
    void VirtualPortsVanished(int /*found*/) override {}
    void InputVanished(int /*index*/) noexcept override {}
  };
  shell::CaptureRelay relay;
  std::atomic<bool> stop{false};
  std::thread capture([&] {
    while (!stop.load()) relay.LampTrigger(1);
  });
  int seen = 0;
  for (int i = 0; i < 200; ++i) {
    auto window = std::make_unique<Window>();
    relay.SetTarget(window.get());
    while (window->lamps.load() == 0) std::this_thread::yield();
    relay.SetTarget(nullptr);
    seen += window->lamps.load() > 0 ? 1 : 0;
  } // each window is deleted here, while the capture thread goes on
  stop = true;
  capture.join();
  EXPECT_EQ(seen, 200);
}

// Every thread that reports into the inbox at once, released together, while the window drains
// it: the capture thread (lamps, lost inputs), the client engine (states, the server heard, second
// servers, a fatal error) and a prober posting its results. No posted report is lost or comes out
// of order, the folded ones carry only values that were reported, and the latest of each is the
// one the window ends with (ThreadSanitizer watches this one).
TEST(EngineInbox, ReportsOfEveryThreadArriveWholeWhileTheWindowDrains) {
  constexpr int kRounds = 3000;
  constexpr int kEvery = 100; // one posted report of each kind per this many rounds
  const auto address = [](int i) { return htonl(0x0A000000U + static_cast<std::uint32_t>(i)); };

  test::FakeView view;
  std::vector<std::pair<int, std::int64_t>> reports; // window thread only
  std::vector<in_addr_t> secondServers;
  EngineInbox inbox(view, {.statusReport = [&](int code, std::int64_t value) { reports.emplace_back(code, value); },
                           .secondServer = [&](in_addr_t a) { secondServers.push_back(a); }});

  std::latch start(4); // three producers and the window
  std::atomic<int> running{3};
  std::thread capture([&] {
    start.arrive_and_wait();
    for (int i = 0; i < kRounds; ++i) {
      inbox.LampTrigger(1 + i % kRows);
      if (i % kEvery == 0) inbox.InputVanished((i / kEvery) % kRows);
    }
    --running;
  });
  std::thread engine([&] {
    start.arrive_and_wait();
    for (int i = 0; i < kRounds; ++i) {
      const bool odd = i % 2 != 0;
      inbox.ReportConnectionState(odd ? net::ConnectionState::Connected : net::ConnectionState::Connecting);
      inbox.ReportServerAddress(address(i));
      static_cast<void>(inbox.CurrentState());
      if (i % kEvery == 0) {
        inbox.ReportSecondServer(address(i));
        inbox.ReportFatalError("e" + std::to_string(i));
      }
    }
    --running;
  });
  std::thread prober([&] {
    start.arrive_and_wait();
    for (int i = 0; i < kRounds; i += kEvery) {
      inbox.Post([&reports, i] { reports.emplace_back(kReportProbeResult, i); });
    }
    --running;
  });

  std::array<bool, kRows> repainted{};
  const auto tick = [&] {
    inbox.ApplyEngineReports();
    for (int row = 0; row < kRows; ++row) repainted[static_cast<std::size_t>(row)] |= inbox.Lamp(row).LampTick();
  };
  start.arrive_and_wait();
  while (running.load() > 0) {
    view.RunPosted();
    tick();
  }
  capture.join();
  engine.join();
  prober.join();
  view.RunPosted();
  tick();
  view.RunPosted();

  std::vector<std::int64_t> states;
  std::vector<std::int64_t> servers;
  std::vector<std::int64_t> probeResults;
  for (const auto& [code, value] : reports) {
    if (code == kReportConnection) states.push_back(value);
    if (code == kReportProbe) servers.push_back(value);
    if (code == kReportProbeResult) probeResults.push_back(value);
  }
  ASSERT_FALSE(states.empty());
  for (const std::int64_t state : states) {
    EXPECT_TRUE(state == static_cast<int>(net::ConnectionState::Connected) ||
                state == static_cast<int>(net::ConnectionState::Connecting))
        << state;
  }
  EXPECT_EQ(states.back(), static_cast<int>(net::ConnectionState::Connected)) << "the latest state is applied";
  ASSERT_FALSE(servers.empty());
  for (std::size_t i = 1; i < servers.size(); ++i) {
    EXPECT_LT(ntohl(static_cast<in_addr_t>(servers[i - 1])), ntohl(static_cast<in_addr_t>(servers[i])))
        << "a folded address is one reported, taken in the order reported";
  }
  EXPECT_EQ(static_cast<in_addr_t>(servers.back()), address(kRounds - 1)) << "the latest server is applied";

  std::vector<std::int64_t> expectedProbes;
  std::vector<in_addr_t> expectedSecond;
  std::vector<std::string> expectedErrors;
  for (int i = 0; i < kRounds; i += kEvery) {
    expectedProbes.push_back(i);
    expectedSecond.push_back(address(i));
    expectedErrors.push_back("Error: e" + std::to_string(i));
  }
  EXPECT_EQ(probeResults, expectedProbes);
  EXPECT_EQ(secondServers, expectedSecond);
  EXPECT_EQ(view.messages, expectedErrors);
  std::vector<std::string> expectedGone;
  for (int i = 0; i < kRounds; i += kEvery) expectedGone.push_back(InputGoneNotice((i / kEvery) % kRows));
  EXPECT_EQ(view.notices, expectedGone);
  for (int row = 0; row < kRows; ++row) EXPECT_TRUE(repainted[static_cast<std::size_t>(row)]) << "lamp " << row + 1;

  // Nothing is left waiting: another look finds no report.
  const std::size_t seen = reports.size();
  inbox.ApplyEngineReports();
  view.RunPosted();
  EXPECT_EQ(reports.size(), seen);

  // A report that comes once the window is going is dropped.
  inbox.Close();
  inbox.ReportFatalError("late");
  view.RunPosted();
  EXPECT_EQ(view.messages.size(), expectedErrors.size());
}

} // namespace
} // namespace kestrel::controller
