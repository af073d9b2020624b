// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The running instance's end of the per-user local socket: a second start asks it to show its
// window or to switch the server or client, quillon asks it to end. One request per line.

#include <QObject>

#include <filesystem>
#include <functional>
#include <string>

class QLocalServer;

namespace kestrel::shell {

class InstanceServer : public QObject {
public:
  // Listens at `socketPath` (a stale socket left by a killed instance is replaced: the caller
  // holds the instance lock, so no live instance owns it).
  // `onSwitch(server, on)` hears the switch requests (server: the server, else the client).
  InstanceServer(const std::filesystem::path& socketPath, std::function<void()> onShow, std::function<void()> onCancel,
                 std::function<void(bool server, bool on)> onSwitch, QObject* parent = nullptr);
  ~InstanceServer() override;
  [[nodiscard]] bool Listening() const;
  // Answers the status request with what `answer` returns (one line of JSON), then closes the
  // connection. Unset: the request is passed over like any unknown line. Called on the thread
  // the server lives on.
  void AnswerStatus(std::function<std::string()> answer) { onStatus_ = std::move(answer); }

private:
  void Accept();
  QLocalServer* server_;
  std::function<void()> onShow_;
  std::function<void()> onCancel_;
  std::function<void(bool, bool)> onSwitch_;
  std::function<std::string()> onStatus_;
  std::filesystem::path path_;
};

} // namespace kestrel::shell
