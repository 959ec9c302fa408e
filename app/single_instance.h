#pragma once

#include <QLocalServer>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

namespace tapsound {

// One tapsound per user session: a second start hands its paths to the running one and exits.
// The first takes a lock (released by the kernel however the process ends) before anything else,
// so two starts at the same moment cannot both stay up.
class SingleInstance {
public:
    explicit SingleInstance(QString socketPath);
    ~SingleInstance();
    // True when this process is the one instance; false when another one runs or is starting.
    bool claim();
    // Hands the paths (none is fine) to the running instance, waiting a while for one that is
    // still starting; false when none took them.
    bool forwardToRunningInstance(const QStringList& paths);
    // Starts answering later starts; each forwarded path goes to onOpen.
    bool listen(std::function<void(const QString&)> onOpen);

    static QString defaultSocketPath();

private:
    QString _socketPath;
    int _lock = -1;
    std::unique_ptr<QLocalServer> _server;
};

}  // namespace tapsound
