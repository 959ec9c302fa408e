#include "platform/session_lock.h"

#include <unistd.h>

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

namespace tapsound::platform {

namespace {
const QString kLogin = "org.freedesktop.login1";
const QString kLoginSession = "org.freedesktop.login1.Session";
const QString kProperties = "org.freedesktop.DBus.Properties";
const QString kFreedesktopSaver = "org.freedesktop.ScreenSaver";
const QString kGnomeSaver = "org.gnome.ScreenSaver";
constexpr int kReplyTimeoutMs = 5000;
}  // namespace

SessionLock::SessionLock(QDBusConnection system, QDBusConnection session,
                         std::function<void(bool)> changed)
    : _system(std::move(system)),
      _session(std::move(session)),
      _changed(std::move(changed)),
      _savers(kFreedesktopSaver, _session, QDBusServiceWatcher::WatchForUnregistration) {
    _savers.addWatchedService(kGnomeSaver);
    // Any sender and any path: lockers own these names under paths of their own choosing.
    _session.connect("", "", kFreedesktopSaver, "ActiveChanged", this,
                     SLOT(onFreedesktopActiveChanged(bool)));
    _session.connect("", "", kGnomeSaver, "ActiveChanged", this, SLOT(onGnomeActiveChanged(bool)));
    // A locker that dies while active unlocks nothing, but its word no longer holds.
    connect(&_savers, &QDBusServiceWatcher::serviceUnregistered, this, [this](const QString& name) {
        set(name == kGnomeSaver ? &_gnomeActive : &_freedesktopActive, false);
    });
    readScreenSaver(kFreedesktopSaver, "/org/freedesktop/ScreenSaver", &_freedesktopActive,
                    &_freedesktopSignalled);
    readScreenSaver(kFreedesktopSaver, "/ScreenSaver", &_freedesktopActive,
                    &_freedesktopSignalled);
    readScreenSaver(kGnomeSaver, "/org/gnome/ScreenSaver", &_gnomeActive, &_gnomeSignalled);
    findSession();
}

void SessionLock::callAside(QDBusConnection& bus, const QString& service, const QString& path,
                            const QString& interface, const QString& method,
                            const QVariantList& arguments,
                            std::function<void(const QVariant&)> done) {
    if (!bus.isConnected()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
    call.setArguments(arguments);
    call.setAutoStartService(false);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kReplyTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [watcher, done = std::move(done)] {
                watcher->deleteLater();
                const QDBusMessage reply = watcher->reply();
                if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
                    done(reply.arguments().first());
                }
            });
}

void SessionLock::readScreenSaver(const QString& service, const QString& path, bool* active,
                                  const bool* signalled) {
    callAside(_session, service, path, service, "GetActive", {},
              [this, active, signalled](const QVariant& value) {
                  if (!*signalled && value.typeId() == QMetaType::Bool) set(active, value.toBool());
              });
}

void SessionLock::findSession() {
    // Ours is the one we were started in; without it, whichever logind counts this process in.
    const QByteArray id = qgetenv("XDG_SESSION_ID");
    const bool byId = !id.isEmpty();
    callAside(_system, kLogin, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
              byId ? "GetSession" : "GetSessionByPID",
              {byId ? QVariant(QString::fromLocal8Bit(id))
                    : QVariant::fromValue(static_cast<uint>(getpid()))},
              [this](const QVariant& value) {
                  const QString path = value.value<QDBusObjectPath>().path();
                  if (!path.isEmpty()) followSession(path);
              });
}

void SessionLock::followSession(const QString& path) {
    _sessionPath = path;
    _system.connect(kLogin, path, kProperties, "PropertiesChanged", this,
                    SLOT(onSessionPropertiesChanged(QString, QVariantMap, QStringList)));
    readLockedHint();
}

void SessionLock::readLockedHint() {
    callAside(_system, kLogin, _sessionPath, kProperties, "Get", {kLoginSession, "LockedHint"},
              [this](const QVariant& value) {
                  if (_logindSignalled) return;
                  const QVariant hint = value.value<QDBusVariant>().variant();
                  if (hint.typeId() == QMetaType::Bool) set(&_logindLocked, hint.toBool());
              });
}

void SessionLock::onSessionPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                             const QStringList& invalidated) {
    if (interface != kLoginSession) return;
    if (const auto hint = changed.find("LockedHint");
        hint != changed.end() && hint->typeId() == QMetaType::Bool) {
        _logindSignalled = true;
        set(&_logindLocked, hint->toBool());
    } else if (invalidated.contains("LockedHint")) {
        _logindSignalled = false;
        readLockedHint();
    }
}

void SessionLock::onFreedesktopActiveChanged(bool active) {
    _freedesktopSignalled = true;
    set(&_freedesktopActive, active);
}

void SessionLock::onGnomeActiveChanged(bool active) {
    _gnomeSignalled = true;
    set(&_gnomeActive, active);
}

void SessionLock::set(bool* source, bool value) {
    const bool before = locked();
    *source = value;
    if (locked() != before && _changed) _changed(locked());
}

}  // namespace tapsound::platform
