#pragma once

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <functional>

class QDBusPendingCallWatcher;

namespace tapsound::platform {

// Whether the session is locked: logind's LockedHint of our session on the system bus, or a
// screen saver's ActiveChanged (freedesktop's or GNOME's) on the session bus. Read once at start,
// then followed by their signals alone.
class SessionLock : public QObject {
    Q_OBJECT

  public:
    SessionLock(QDBusConnection system, QDBusConnection session, std::function<void(bool)> changed);

    bool locked() const { return _logindLocked || _freedesktopActive || _gnomeActive; }

  private slots:
    void onFreedesktopActiveChanged(bool active);
    void onGnomeActiveChanged(bool active);
    void onSessionPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                    const QStringList& invalidated);

  private:
    void findSession();
    void followSession(const QString& path);
    void readLockedHint();
    void readScreenSaver(const QString& service, const QString& path, bool* active,
                         const bool* signalled);
    // Calls without starting an activatable service; `done` gets the reply's first argument.
    void callAside(QDBusConnection& bus, const QString& service, const QString& path,
                   const QString& interface, const QString& method, const QVariantList& arguments,
                   std::function<void(const QVariant&)> done);
    void set(bool* source, bool value);

    QDBusConnection _system, _session;
    std::function<void(bool)> _changed;
    QDBusServiceWatcher _savers;
    QString _sessionPath;
    bool _logindLocked = false, _freedesktopActive = false, _gnomeActive = false;
    // A signal is newer than the reply to a read made at start.
    bool _logindSignalled = false, _freedesktopSignalled = false, _gnomeSignalled = false;
};

}  // namespace tapsound::platform
