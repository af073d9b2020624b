// SPDX-License-Identifier: GPL-3.0-or-later
#include "controller/delay_probe.hpp"

#include "net/latency_probe.hpp"

#include <utility>

namespace kestrel::controller {

DelayProbe::DelayProbe(ControllerServices& services, EngineInbox& inbox, std::function<void(int ms)> answer)
    : services_(services), inbox_(inbox), answer_(std::move(answer)) {
  if (!services_.probe) {
    prober_ =
        std::make_unique<net::LatencyProber>([this](in_addr_t, int ms) { inbox_.Post([this, ms] { answer_(ms); }); });
  }
}

DelayProbe::~DelayProbe() { Stop(); }

void DelayProbe::Request(in_addr_t address) {
  if (services_.probe) {
    services_.probe(address, [this](int ms) { inbox_.Post([this, ms] { answer_(ms); }); });
  } else if (prober_ != nullptr) {
    prober_->Request(address);
  }
}

void DelayProbe::Stop() { prober_.reset(); }

} // namespace kestrel::controller
