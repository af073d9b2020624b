// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What other threads hand the window: the capture thread's lamps and lost inputs, the client
// engine's connection reports. This is the only part of the controller another thread touches.
// What those threads report is written into atomics here or posted to the window's thread, and
// acted on there; a report that comes once the window is going is dropped.
//
// Threads, member by member:
//   capture thread        LampTrigger, InputVanished
//   client engine thread  ReportConnectionState, ReportServerAddress, ReportSecondServer,
//                         ReportFatalError, CurrentState
//   any thread            Post
//   window thread         everything else (InputOpenFailed and VirtualPortsVanished come from
//                         capture calls the window makes)

#include "controller/indicators.hpp"
#include "controller/main_view.hpp"
#include "midi/input_hub.hpp"
#include "net/client_engine.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <string>

namespace kestrel::controller {

// Status report codes the window takes from the engines, the capture layer and itself.
inline constexpr int kReportConnection = 3000;  // value: the new ConnectionState
inline constexpr int kReportInputFailed = 3005; // value: input slot 0..7, or 9 for the MIDI In device
inline constexpr int kReportShow = 3007;        // value: 1 show, 0 hide
inline constexpr int kReportProbe = 3009;       // value: IPv4 address (network order) to probe
inline constexpr int kReportProbeResult = 3010; // value: the delay in ms, or -1 (probes run off the window's thread)

class EngineInbox final : public midi::CaptureObserver, public net::ClientReports {
public:
  // What the window does with the reports, on its own thread.
  struct Handlers {
    std::function<void(int code, std::int64_t value)> statusReport;
    std::function<void(in_addr_t address)> secondServer; // another server sends to the client's port
  };

  // `view` outlives the inbox.
  EngineInbox(MainView& view, Handlers handlers);
  ~EngineInbox() override; // Close()
  EngineInbox(const EngineInbox&) = delete;
  EngineInbox& operator=(const EngineInbox&) = delete;

  // Queues `fn` to the window's thread; it does not run once the inbox is closed. Any thread.
  template <class Fn>
  void Post(Fn fn) {
    view_.Post([alive = alive_, fn = std::move(fn)] {
      if (alive->load()) fn();
    });
  }

  // ---- window thread
  // Nothing posted runs from now on: the window is going.
  void Close() noexcept { alive_->store(false); }
  // The engine's latest state, then the server it heard, as status reports; what the engine
  // reported meanwhile was folded, however many keep-alives came while the window was busy.
  void ApplyEngineReports();
  [[nodiscard]] CBin& Lamp(int row) { return lamps_.at(static_cast<std::size_t>(row)); }
  [[nodiscard]] const CBin& Lamp(int row) const { return lamps_.at(static_cast<std::size_t>(row)); }
  // The connection state the window shows. The window writes it; the engine reads it (any thread).
  [[nodiscard]] std::atomic<net::ConnectionState>& State() noexcept { return state_; }
  [[nodiscard]] net::ConnectionState StateNow() const noexcept { return state_.load(); }

  // ---- midi::CaptureObserver
  void LampTrigger(int port) noexcept override;
  void InputOpenFailed(int inputIndex) override;
  void VirtualPortsVanished(int found) override;
  void InputVanished(int inputIndex) noexcept override;

  // ---- net::ClientReports (client engine thread)
  void ReportConnectionState(net::ConnectionState state) override;
  void ReportServerAddress(in_addr_t address) override;
  void ReportSecondServer(in_addr_t address) override;
  void ReportFatalError(const std::string& text) override;
  [[nodiscard]] net::ConnectionState CurrentState() const noexcept override { return state_.load(); }

private:
  // One queued wake-up carries every report that comes before it runs.
  void WakeForEngineReports();

  static constexpr int kNoState = -1;
  static constexpr std::uint64_t kAddressReported = std::uint64_t{1} << 32U;

  MainView& view_;
  Handlers handlers_;
  std::array<CBin, kRows> lamps_;
  std::atomic<net::ConnectionState> state_{net::ConnectionState::Disconnected};
  std::atomic<int> reportedState_{kNoState};     // the engine's latest state not yet applied
  std::atomic<std::uint64_t> reportedServer_{0}; // kAddressReported | address, 0: none waiting
  std::atomic<bool> reportWakePending_{false};
  // Shared with every posted callback: false once the window is going, so a late one is dropped.
  std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
};

} // namespace kestrel::controller
