#pragma once

#include <QLocalServer>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

namespace tapsound {

// One tapsound per user session: a second start hands its paths to the running one and exits.
class SingleInstance {
public:
    explicit SingleInstance(QString socketPath);
    // True when another instance runs and took the paths (none is fine).
    bool forwardToRunningInstance(const QStringList& paths);
    // Starts answering later starts; each forwarded path goes to onOpen.
    bool listen(std::function<void(const QString&)> onOpen);

    static QString defaultSocketPath();

private:
    QString _socketPath;
    std::unique_ptr<QLocalServer> _server;
};

}  // namespace tapsound
