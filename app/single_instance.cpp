#include "app/single_instance.h"

#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <unistd.h>

namespace tapsound {

namespace {
constexpr int kTimeoutMs = 2000;
constexpr qint64 kMaxRequestBytes = 1 << 20;
}  // namespace

SingleInstance::SingleInstance(QString socketPath) : _socketPath(std::move(socketPath)) {}

QString SingleInstance::defaultSocketPath() {
    QString runtime = QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR"));
    if (runtime.isEmpty() || !QDir(runtime).exists()) {
        return QDir::tempPath() + QString("/tapsound-%1.socket").arg(getuid());
    }
    return runtime + "/tapsound.socket";
}

bool SingleInstance::forwardToRunningInstance(const QStringList& paths) {
    QLocalSocket socket;
    socket.connectToServer(_socketPath);
    if (!socket.waitForConnected(kTimeoutMs)) return false;
    for (const QString& path : paths) {
        socket.write(path.toUtf8());
        socket.write("\n");
    }
    socket.flush();
    socket.waitForBytesWritten(kTimeoutMs);
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(kTimeoutMs);
    return true;
}

bool SingleInstance::listen(std::function<void(const QString&)> onOpen) {
    _server = std::make_unique<QLocalServer>();
    _server->setSocketOptions(QLocalServer::UserAccessOption);
    // A socket left behind by a crashed instance would block every later start.
    QLocalServer::removeServer(_socketPath);
    if (!_server->listen(_socketPath)) return false;
    QObject::connect(_server.get(), &QLocalServer::newConnection, _server.get(), [this, onOpen] {
        while (QLocalSocket* socket = _server->nextPendingConnection()) {
            struct Request {
                QByteArray bytes;
                bool tooLong = false;
            };
            auto request = std::make_shared<Request>();
            const auto read = [socket, request] {
                request->bytes.append(socket->readAll());
                if (request->bytes.size() > kMaxRequestBytes) {
                    request->tooLong = true;
                    request->bytes.clear();
                    socket->abort();
                }
            };
            QObject::connect(socket, &QLocalSocket::readyRead, socket, read);
            QObject::connect(socket, &QLocalSocket::disconnected, socket, [socket, request, read, onOpen] {
                if (!request->tooLong) read();
                if (request->tooLong) {
                    socket->deleteLater();
                    return;
                }
                for (const QByteArray& line : request->bytes.split('\n')) {
                    if (!line.isEmpty()) onOpen(QString::fromUtf8(line));
                }
                socket->deleteLater();
            });
        }
    });
    return true;
}

}  // namespace tapsound
