// SPDX-License-Identifier: GPL-3.0-or-later
#include "net/client_rules.hpp"

#include <thread>

namespace kestrel::net {

ClientConnector::ClientConnector(std::atomic<ConnectionState>& state, std::function<void()> takeReports,
                                 std::function<void(std::chrono::milliseconds)> sleep)
    : state_(state), takeReports_(std::move(takeReports)), sleep_(std::move(sleep)) {
  if (!sleep_) sleep_ = [](std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); };
}

void ClientConnector::ConnectClient(CClientThread* engine, std::uint16_t port, in_addr_t address) {
  DisconnectClient(engine);
  if (port == 0 || engine == nullptr) return;
  state_ = ConnectionState::Connecting;
  engine->Connect(port, address);
}

void ClientConnector::DisconnectClient(CClientThread* engine) {
  if (engine == nullptr || !engine->Running()) return;
  engine->PostCommand(CClientThread::CmdDisconnect);
  constexpr int kMaxWaits = 50; // 5 s
  for (int i = 0; i < kMaxWaits; ++i) {
    if (takeReports_) takeReports_();
    const ConnectionState s = state_.load();
    if (s == ConnectionState::Disconnected || s == ConnectionState::PortInUse) return;
    sleep_(std::chrono::milliseconds(100));
  }
}

} // namespace kestrel::net
