#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <memory>
#include <mutex>

namespace tapsound::test {

// What a tray panel's StatusNotifierWatcher offers on D-Bus, with one host registered.
class StatusNotifierWatcherService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isStatusNotifierHostRegistered)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)

  public:
    bool isStatusNotifierHostRegistered() const { return true; }
    QStringList items() const;
    int protocolVersion() const { return 0; }

  public slots:
    void RegisterStatusNotifierItem(const QString& service);
    void RegisterStatusNotifierHost(const QString&) {}

  signals:
    void StatusNotifierItemRegistered(const QString& service);
    void StatusNotifierHostRegistered();

  private:
    mutable std::mutex _mutex;
    QStringList _items;
};

// That watcher on the session bus, served from a thread of its own so the test may block while
// programs talk to it.
class StatusNotifierWatcher {
  public:
    StatusNotifierWatcher();
    ~StatusNotifierWatcher();
    bool ok() const { return _ok; }
    QStringList items() const { return _service->items(); }
    // Takes the watcher off the bus, as when the panel quits.
    void leave();

  private:
    QThread _thread;
    std::unique_ptr<StatusNotifierWatcherService> _service;
    QDBusConnection _bus;
    bool _ok = false;
};

}  // namespace tapsound::test
