#include "app/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QThread>

namespace tapsound {

namespace {
constexpr int kTimeoutMs = 2000;
constexpr int kStartingMs = 10000;  // how long a later start waits for the first to listen
constexpr qint64 kMaxRequestBytes = 1 << 20;
}  // namespace

SingleInstance::SingleInstance(QString socketPath) : _socketPath(std::move(socketPath)) {}

SingleInstance::~SingleInstance() {
    if (_lock >= 0) ::close(_lock);
}

bool SingleInstance::claim() {
    const QByteArray path = QFile::encodeName(_socketPath + ".lock");
    _lock = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    // Without a lock file to take (an unwritable folder), run rather than never start.
    return _lock < 0 || flock(_lock, LOCK_EX | LOCK_NB) == 0;
}

QString SingleInstance::defaultSocketPath() {
    QString runtime = QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR"));
    if (runtime.isEmpty() || !QDir(runtime).exists()) {
        return QDir::tempPath() + QString("/tapsound-%1.socket").arg(getuid());
    }
    return runtime + "/tapsound.socket";
}

bool SingleInstance::forwardToRunningInstance(const QStringList& paths) {
    QLocalSocket socket;
    for (int waited = 0;; waited += 50) {
        socket.connectToServer(_socketPath);
        if (socket.waitForConnected(kTimeoutMs)) break;
        if (waited >= kStartingMs) return false;
        QThread::msleep(50);
    }
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
    // A socket left behind by a killed instance would block every later start; one that answers
    // belongs to a live instance and stays.
    QLocalSocket probe;
    probe.connectToServer(_socketPath);
    if (probe.waitForConnected(kTimeoutMs)) return false;
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
