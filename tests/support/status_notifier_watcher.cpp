#include "tests/support/status_notifier_watcher.h"

#include <cstdlib>

namespace tapsound::test {

QStringList StatusNotifierWatcherService::items() const {
    const std::lock_guard lock(_mutex);
    return _items;
}

void StatusNotifierWatcherService::RegisterStatusNotifierItem(const QString& service) {
    {
        const std::lock_guard lock(_mutex);
        _items << service;
    }
    emit StatusNotifierItemRegistered(service);
}

StatusNotifierWatcher::StatusNotifierWatcher()
    : _service(std::make_unique<StatusNotifierWatcherService>()),
      _bus(QDBusConnection::connectToBus(
          QString::fromLocal8Bit(std::getenv("DBUS_SESSION_BUS_ADDRESS")),
          QString("watcher-%1").arg(reinterpret_cast<quintptr>(this)))) {
    _ok = _bus.registerObject("/StatusNotifierWatcher", _service.get(),
                              QDBusConnection::ExportAllContents) &&
          _bus.registerService("org.kde.StatusNotifierWatcher");
    _service->moveToThread(&_thread);
    _thread.start();
}

StatusNotifierWatcher::~StatusNotifierWatcher() {
    leave();
    QThread* here = QThread::currentThread();
    QMetaObject::invokeMethod(
        _service.get(), [this, here] { _service->moveToThread(here); },
        Qt::BlockingQueuedConnection);
    _thread.quit();
    _thread.wait();
}

void StatusNotifierWatcher::leave() {
    _bus.unregisterService("org.kde.StatusNotifierWatcher");
    _bus.unregisterObject("/StatusNotifierWatcher");
}

}  // namespace tapsound::test
