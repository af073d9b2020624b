// SPDX-License-Identifier: GPL-3.0-or-later
#include "controller/engine_inbox.hpp"

#include "controller/notices.hpp"

#include <utility>

namespace kestrel::controller {

EngineInbox::EngineInbox(MainView& view, Handlers handlers) : view_(view), handlers_(std::move(handlers)) {
  for (int i = 0; i < kRows; ++i) lamps_[static_cast<std::size_t>(i)].SetPort(i + 1);
}

EngineInbox::~EngineInbox() { Close(); }

void EngineInbox::LampTrigger(int port) noexcept {
  if (port >= 1 && port <= kRows) lamps_[static_cast<std::size_t>(port - 1)].LampTrigger();
}

void EngineInbox::InputOpenFailed(int inputIndex) {
  // Handled like a posted report: the capture layer is still inside RefreshInputs.
  Post([this, inputIndex] { handlers_.statusReport(kReportInputFailed, inputIndex); });
}

void EngineInbox::VirtualPortsVanished(int found) {
  view_.Notice("Only " + std::to_string(found) + " of the " + std::to_string(kRows) + " Kestrel ports are present");
}

void EngineInbox::InputVanished(int inputIndex) noexcept {
  try {
    Post([this, inputIndex] { view_.Notice(InputGoneNotice(inputIndex)); });
  } catch (...) { // a notice lost for want of memory
  }
}

void EngineInbox::ReportConnectionState(net::ConnectionState state) {
  reportedState_ = static_cast<int>(state);
  WakeForEngineReports();
}

void EngineInbox::ReportServerAddress(in_addr_t address) {
  reportedServer_ = kAddressReported | address;
  WakeForEngineReports();
}

void EngineInbox::ReportSecondServer(in_addr_t address) {
  Post([this, address] { handlers_.secondServer(address); });
}

void EngineInbox::ReportFatalError(const std::string& text) {
  Post([this, text] { view_.ShowError(text); });
}

void EngineInbox::WakeForEngineReports() {
  if (reportWakePending_.exchange(true)) return;
  // A wake-up the view drops (its queue full) is made up for by the next status tick.
  Post([this] { ApplyEngineReports(); });
}

void EngineInbox::ApplyEngineReports() {
  // Cleared first: a report that comes meanwhile queues a wake-up of its own.
  reportWakePending_ = false;
  if (const int state = reportedState_.exchange(kNoState); state != kNoState) {
    handlers_.statusReport(kReportConnection, state);
  }
  if (const std::uint64_t server = reportedServer_.exchange(0); server != 0) {
    handlers_.statusReport(kReportProbe, static_cast<in_addr_t>(server & 0xFFFFFFFFU));
  }
}

} // namespace kestrel::controller
