// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/instance_server.hpp"

#include "platform/instance_endpoint.hpp"

#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>

#include <system_error>
#include <vector>

namespace kestrel::shell {

InstanceServer::InstanceServer(const std::filesystem::path& socketPath, std::function<void()> onShow,
                               std::function<void()> onCancel, std::function<void(bool, bool)> onSwitch,
                               QObject* parent)
    : QObject(parent), server_(new QLocalServer(this)), onShow_(std::move(onShow)), onCancel_(std::move(onCancel)),
      onSwitch_(std::move(onSwitch)), path_(socketPath) {
  std::error_code ec;
  std::filesystem::remove(socketPath, ec);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  server_->listen(QString::fromStdString(socketPath.string()));
  connect(server_, &QLocalServer::newConnection, this, [this] { Accept(); });
}

InstanceServer::~InstanceServer() {
  server_->close();
  std::error_code ec;
  std::filesystem::remove(path_, ec);
}

bool InstanceServer::Listening() const { return server_->isListening(); }

void InstanceServer::Accept() {
  while (QLocalSocket* peer = server_->nextPendingConnection()) {
    connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
    connect(peer, &QLocalSocket::readyRead, this, [this, peer = QPointer<QLocalSocket>(peer)] {
      // Every line is read before any is acted on: an action may run a nested event loop (a
      // message box), which may delete the peer meanwhile.
      std::vector<QByteArray> lines;
      while (peer->canReadLine()) lines.push_back(peer->readLine(64).trimmed());
      // A peer that sends a long line without an end is not served further.
      if (peer->bytesAvailable() > 64) peer->abort();
      for (const QByteArray& bytes : lines) {
        const std::string_view line(bytes.constData(), static_cast<std::size_t>(bytes.size()));
        if (line == kShowRequest) {
          onShow_();
        } else if (line == kCancelRequest) {
          onCancel_();
        } else if (line == kServerOnRequest || line == kServerOffRequest) {
          onSwitch_(true, line == kServerOnRequest);
        } else if (line == kClientOnRequest || line == kClientOffRequest) {
          onSwitch_(false, line == kClientOnRequest);
        } else if (line == kStatusRequest && onStatus_ && peer != nullptr) {
          // The answer ends the exchange: the asker reads until the connection closes, which
          // happens once everything written has gone out.
          peer->write(QByteArray::fromStdString(onStatus_() + "\n"));
          peer->disconnectFromServer();
          break;
        }
      }
    });
  }
}

} // namespace kestrel::shell
