#include "shell/instance_server.hpp"

#include "core/instance_endpoint.hpp"

#include <QLocalServer>
#include <QLocalSocket>

#include <system_error>

namespace kestrel::shell {

InstanceServer::InstanceServer(const std::filesystem::path& socketPath, std::function<void()> onShow,
                               std::function<void()> onCancel, QObject* parent)
    : QObject(parent), server_(new QLocalServer(this)), onShow_(std::move(onShow)), onCancel_(std::move(onCancel)),
      path_(socketPath) {
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
    connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
      while (peer->canReadLine()) {
        const QByteArray line = peer->readLine(64).trimmed();
        if (line == QByteArray(kShowRequest.data(), static_cast<qsizetype>(kShowRequest.size()))) {
          onShow_();
        } else if (line == QByteArray(kCancelRequest.data(), static_cast<qsizetype>(kCancelRequest.size()))) {
          onCancel_();
        }
      }
      // A peer that sends a long line without an end is not served further.
      if (peer->bytesAvailable() > 64) peer->abort();
    });
  }
}

} // namespace kestrel::shell
