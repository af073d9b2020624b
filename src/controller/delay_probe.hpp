// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The delay to a server the client hears: an echo request off the window's thread (the services'
// probe, else a prober of its own), its answer posted back to the window's thread. Window thread.

#include "controller/engine_inbox.hpp"
#include "controller/services.hpp"

#include <netinet/in.h>

#include <functional>
#include <memory>

namespace kestrel::net {
class LatencyProber;
}

namespace kestrel::controller {

class DelayProbe {
public:
  // `answer` gets the delay in ms (below 0: none) on the window's thread. `services` and `inbox`
  // outlive the probe.
  DelayProbe(ControllerServices& services, EngineInbox& inbox, std::function<void(int ms)> answer);
  ~DelayProbe();
  DelayProbe(const DelayProbe&) = delete;
  DelayProbe& operator=(const DelayProbe&) = delete;

  void Request(in_addr_t address);
  // Ends its own prober, waiting for a request under way. Before the inbox closes.
  void Stop();

private:
  ControllerServices& services_;
  EngineInbox& inbox_;
  std::function<void(int)> answer_;
  std::unique_ptr<net::LatencyProber> prober_; // without the services' probe
};

} // namespace kestrel::controller
