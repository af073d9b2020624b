// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the status bar, the error text, the connection display and the tray show, and the figures
// behind them: the delay to the server heard, the lag fold. Window thread.

#include "controller/main_fields.hpp"
#include "core/dump_store.hpp"
#include "net/client_engine.hpp"

#include <cstdint>
#include <netinet/in.h>
#include <string>

namespace kestrel {
class Translator;
}

namespace kestrel::controller {

enum class TrayPicture { Program, ClientAlone, ClientAloneConnected, ServerAlone, Both, BothConnected };

// What the idle update shows: status bar, error text, connection display, tray.
struct StatusDisplay {
  std::string latencyPane;    // " Latency: %d"
  std::string maxLatencyPane; // " max latency: %d", Debug mode only
  bool errorVisible = false;
  std::string errorText;
  bool connectionVisible = false;
  int connectionState = 0;
  TrayPicture tray = TrayPicture::Program;
  std::string tip;
};

class StatusPresenter {
public:
  // `translator` outlives the presenter.
  explicit StatusPresenter(const Translator& translator);

  void SetDebug(std::int32_t debug) noexcept { debug_ = debug; }
  [[nodiscard]] bool Debug() const noexcept { return debug_ != 0; }

  // ---- the figures
  void FoldLag(const LagFigures& lag) noexcept;
  void ClearLag() noexcept;
  [[nodiscard]] std::int32_t OverallMaxLag() const noexcept { return overallMax_; }
  [[nodiscard]] std::int32_t OverallMinLag() const noexcept { return overallMin_; }
  // The server the client hears now; its delay, in ms (below 0 or not connected: none).
  void ServerHeard(in_addr_t address);
  void ShowDelay(std::int64_t ms, bool connected);
  // The client disconnected: no server is heard, no delay is known.
  void ConnectionEnded();
  [[nodiscard]] const std::string& LatencyText() const noexcept { return latencyText_; }
  [[nodiscard]] const std::string& HeardServerText() const noexcept { return heardServerText_; }

  // The idle update's picture of `fields` in `state`; `maxLag` is the dump's.
  [[nodiscard]] StatusDisplay Display(const MainFields& fields, net::ConnectionState state, std::int32_t maxLag) const;

private:
  const Translator& translator_;
  std::int32_t debug_ = 0;
  std::int32_t overallMin_ = 0;
  std::int32_t overallMax_ = 0;
  std::string latencyText_;
  std::string heardServerText_;
  // Translated once: the idle update shows them 33 times a second.
  std::string portInUseFormat_;
  std::string latencyFormat_;
  std::string maxLatencyFormat_;
};

} // namespace kestrel::controller
