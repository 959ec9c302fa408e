// Where the controller stays silent, told by the real watchers: a lock from a fake logind and fake
// screen savers on a private bus.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QSystemTrayIcon>
#include <filesystem>

#include "platform/session_lock.h"
#include "tests/support/fake_platform.h"
#include "tests/support/private_session.h"

namespace tapsound {
namespace {

using namespace std::chrono_literals;
const QString kSessionPath = "/org/freedesktop/login1/session/_37";

class FakeLogin : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

  public slots:
    QDBusObjectPath GetSession(const QString& id) {
        return QDBusObjectPath(id == "37" ? kSessionPath : "/");
    }
    QDBusObjectPath GetSessionByPID(uint pid) {
        return QDBusObjectPath(pid == static_cast<uint>(getpid()) ? kSessionPath : "/");
    }
};

class FakeSession : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Session")
    Q_PROPERTY(bool LockedHint READ lockedHint)

  public:
    bool lockedHint() const { return locked; }
    bool locked = false;
};

class FakeScreenSaver : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")

  public slots:
    bool GetActive() { return false; }
  signals:
    void ActiveChanged(bool active);
};

bool waitServing(const std::function<bool()>& condition) {
    return test::waitFor([&] { return QCoreApplication::processEvents(), condition(); }, 5s);
}

// A lock from any of them silences presses and releases, also a release of a key that went down
// before it; a key that went down inside it comes up silent after it; the first press after it
// plays. A lock read at start counts, and a locker that leaves the bus no longer holds the lock.
TEST(Quiet, NoSoundWhileTheSessionIsLocked) {
    test::PrivateSession session{{.display = false, .audio = false, .bus = true}};
    ASSERT_TRUE(session.ok()) << session.error();
    const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    QDBusConnection fakes = QDBusConnection::connectToBus(address, "fakes");
    FakeLogin login;
    FakeSession loginSession;
    FakeScreenSaver saver;
    loginSession.locked = true;
    ASSERT_TRUE(fakes.registerObject("/org/freedesktop/login1", &login, QDBusConnection::ExportAllSlots) &&
                fakes.registerObject(kSessionPath, &loginSession,
                                     QDBusConnection::ExportAllProperties) &&
                fakes.registerObject("/org/freedesktop/ScreenSaver", &saver,
                                     QDBusConnection::ExportAllContents) &&
                fakes.registerService("org.freedesktop.login1") &&
                fakes.registerService("org.freedesktop.ScreenSaver") &&
                fakes.registerService("org.gnome.ScreenSaver"));
    const auto lockedHint = [&](bool locked) {
        QDBusMessage changed = QDBusMessage::createSignal(
            kSessionPath, "org.freedesktop.DBus.Properties", "PropertiesChanged");
        changed << QString("org.freedesktop.login1.Session")
                << QVariantMap{{"LockedHint", locked}} << QStringList();
        fakes.send(changed);
    };
    const auto gnomeActive = [&](bool active) {
        QDBusMessage changed = QDBusMessage::createSignal("/org/gnome/ScreenSaver",
                                                          "org.gnome.ScreenSaver", "ActiveChanged");
        fakes.send(changed << active);
    };

    test::ControllerRig rig;
    const std::string folder = rig.dir.file("kernel");
    std::filesystem::create_directories(folder);
    for (const char* name : {"1e-1", "1e-0", "1f-1", "1f-0"})  // A and S
        test::writeBytes(folder + "/" + name + ".wav", "sound");
    rig->awakeFromNib();
    rig->applicationDidFinishLaunching();
    rig->openWithFileURL(folder);
    setenv("XDG_SESSION_ID", "37", 1);
    platform::SessionLock lock(QDBusConnection::connectToBus(address, "system"),
                               QDBusConnection::connectToBus(address, "session"),
                               [&](bool locked) { rig->sessionLockChanged(locked); });

    const struct {
        const char* before;  // typed before the change
        std::function<void()> change;
        bool silent;
        const char* typed;
        std::vector<std::string> played;
    } steps[] = {
        {"", [] {}, true, "+0 -0", {}},
        {"", [&] { lockedHint(false); }, false, "+0 -0", {"1e-1", "1e-0"}},
        {"+1", [&] { emit saver.ActiveChanged(true); }, true, "-1 +0", {"1f-1"}},
        {"", [&] { emit saver.ActiveChanged(false); }, false, "-0 +1 -1", {"1f-1", "1f-0"}},
        {"", [&] { gnomeActive(true); }, true, "+0 -0", {}},
        {"", [&] { lockedHint(true), gnomeActive(false); }, true, "+0 -0", {}},
        {"", [&] { lockedHint(false); }, false, "+0 -0", {"1e-1", "1e-0"}},
        {"", [&] { gnomeActive(true); }, true, "+1 -1", {}},
        {"", [&] { fakes.unregisterService("org.gnome.ScreenSaver"); }, false, "+1", {"1f-1"}},
    };
    int step = 0;
    for (const auto& s : steps) {
        SCOPED_TRACE(step++);
        rig.type(s.before);
        s.change();
        EXPECT_TRUE(waitServing([&] { return rig->silentReason().isEmpty() != s.silent; }));
        EXPECT_EQ(rig.type(s.typed).playedNames(), s.played);
        EXPECT_EQ(rig->statusItem()->toolTip().endsWith("\nSilent: screen locked"), s.silent);
    }

    // Without a session id, logind's session of this process is the one.
    unsetenv("XDG_SESSION_ID");
    bool locked = false;
    platform::SessionLock byProcess(QDBusConnection::connectToBus(address, "system2"),
                                    QDBusConnection::connectToBus(address, "session2"),
                                    [&](bool now) { locked = now; });
    EXPECT_TRUE(waitServing([&] { return locked && byProcess.locked(); }));
}

}  // namespace
}  // namespace tapsound

#include "quiet_test.moc"
