// SPDX-License-Identifier: GPL-3.0-or-later
#include "controller/status_presenter.hpp"

#include "config/translation.hpp"
#include "controller/device_choices.hpp"
#include "controller/notices.hpp"

#include <algorithm>

namespace kestrel::controller {

using net::ConnectionState;

StatusPresenter::StatusPresenter(const Translator& translator)
    : translator_(translator), portInUseFormat_(translator.TranslateString("Error: Port %d already in use")),
      latencyFormat_(translator.TranslateString("Latency: %d")),
      maxLatencyFormat_(translator.TranslateString("max latency: %d")) {}

void StatusPresenter::FoldLag(const LagFigures& lag) noexcept {
  overallMin_ = std::min(overallMin_, lag.minLag);
  overallMax_ = std::max(overallMax_, lag.maxLag);
}

void StatusPresenter::ClearLag() noexcept {
  overallMax_ = 0;
  overallMin_ = 0;
}

void StatusPresenter::ServerHeard(in_addr_t address) { heardServerText_ = DottedAddress(address); }

void StatusPresenter::ShowDelay(std::int64_t ms, bool connected) {
  if (ms < 0 || !connected) {
    latencyText_.clear();
  } else {
    latencyText_ = FormatNumber(translator_.TranslateString("delay: %d ms"), ms);
  }
}

void StatusPresenter::ConnectionEnded() {
  latencyText_.clear();
  heardServerText_.clear();
}

StatusDisplay StatusPresenter::Display(const MainFields& fields, ConnectionState state, std::int32_t maxLag) const {
  StatusDisplay d;
  if (debug_ != 0) d.maxLatencyPane = " " + FormatNumber(maxLatencyFormat_, overallMax_);
  d.latencyPane = " " + FormatNumber(latencyFormat_, maxLag);
  d.connectionState = static_cast<int>(state);
  if (state == ConnectionState::PortInUse) {
    d.errorVisible = true;
    d.errorText = FormatNumber(portInUseFormat_, fields.clientPort);
  } else {
    d.connectionVisible = fields.clientEnabled;
  }
  const bool connected = state == ConnectionState::Connected;
  if (!fields.clientEnabled) {
    d.tray = fields.serverEnabled ? TrayPicture::ServerAlone : TrayPicture::Program;
    d.tip = fields.serverEnabled ? "Kestrel - Server" : "Kestrel";
  } else if (!fields.serverEnabled) {
    d.tray = connected ? TrayPicture::ClientAloneConnected : TrayPicture::ClientAlone;
    d.tip = connected ? "Kestrel - Connected" : "Kestrel - Disconnected";
  } else {
    d.tray = connected ? TrayPicture::BothConnected : TrayPicture::Both;
    d.tip = connected ? "Kestrel - Connected" : "Kestrel - Disconnected";
  }
  return d;
}

} // namespace kestrel::controller
