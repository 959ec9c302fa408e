// The controller silent while the session is locked, told by the real watcher from a fake logind
// and fake screen savers on a private bus.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAction>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QLocale>
#include <QSystemTrayIcon>
#include <filesystem>

#include "app/main_interface.h"
#include "platform/accessibility_focus.h"
#include "platform/application_names.h"
#include "platform/session_lock.h"
#include "tests/support/fake_platform.h"
#include "tests/support/private_session.h"

namespace tapsound {
namespace {

using namespace std::chrono_literals;
const QString kPath = "/org/freedesktop/login1/session/_37";

class FakeLogin : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

  public slots:
    QDBusObjectPath GetSession(const QString&) { return QDBusObjectPath(kPath); }
};

class FakeSession : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Session")
    Q_PROPERTY(bool LockedHint READ lockedHint)

  public:
    bool lockedHint() const { return true; }
};

// A lock from any of them silences presses and releases, also a release of a key that went down
// before it; a key that went down inside it comes up silent after it; the first press after it
// plays. A locker that leaves the bus no longer holds the lock.
TEST(Quiet, NoSoundWhileTheSessionIsLocked) {
    test::PrivateSession session{{.display = false, .audio = false, .bus = true}};
    ASSERT_TRUE(session.ok()) << session.error();
    // By address: the process may have asked for a session bus before this one existed.
    const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    QDBusConnection fakes = QDBusConnection::connectToBus(address, "fakes");
    FakeLogin login;
    FakeSession loginSession;  // locked when the watcher starts
    ASSERT_TRUE(fakes.registerObject("/org/freedesktop/login1", &login,
                                     QDBusConnection::ExportAllSlots) &&
                fakes.registerObject(kPath, &loginSession, QDBusConnection::ExportAllProperties) &&
                fakes.registerService("org.freedesktop.login1") &&
                fakes.registerService("org.gnome.ScreenSaver"));
    const auto lockedHint = [&](bool locked) {
        fakes.send(QDBusMessage::createSignal(kPath, "org.freedesktop.DBus.Properties",
                                              "PropertiesChanged")
                   << QString("org.freedesktop.login1.Session")
                   << QVariantMap{{"LockedHint", locked}} << QStringList());
    };
    const auto saver = [&](bool active, const char* interface = "org.freedesktop.ScreenSaver") {
        fakes.send(QDBusMessage::createSignal("/ScreenSaver", interface, "ActiveChanged")
                   << active);
    };

    test::ControllerRig rig;
    const std::string folder = rig.dir.file("kernel");
    std::filesystem::create_directories(folder);
    for (const char* name : {"1e-1", "1e-0", "1f-1", "1f-0"})  // A and S
        test::writeBytes(folder + "/" + name + ".wav", "sound");
    rig->awakeFromNib();
    rig->applicationDidFinishLaunching();
    rig->openWithFileURL(folder);
    setenv("XDG_SESSION_ID", "7", 1);
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
        {"+1", [&] { saver(true); }, true, "-1 +0", {"1f-1"}},
        {"", [&] { saver(false); }, false, "-0 +1 -1", {"1f-1", "1f-0"}},
        {"", [&] { saver(true, "org.gnome.ScreenSaver"); }, true, "+1 -1", {}},
        {"", [&] { fakes.unregisterService("org.gnome.ScreenSaver"); }, false, "+1", {"1f-1"}},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(&s - steps);
        rig.type(s.before);
        s.change();
        const auto told = [&] { return rig->silentReason().isEmpty() != s.silent; };
        EXPECT_TRUE(test::waitFor([&] { return QCoreApplication::processEvents(), told(); }, 5s));
        EXPECT_EQ(rig.type(s.typed).playedNames(), s.played);
        EXPECT_EQ(rig->statusItem()->toolTip().endsWith("\nSilent: screen locked"), s.silent);
    }
}

// The real accessibility bus launcher on a private bus, its accessibility off: while Silent for
// Passwords is on, the menu offers to turn it on; choosing it does, until the watcher ends.
TEST(Quiet, OffersToLetApplicationsReportPasswordFields) {
    unsetenv("XDG_DATA_DIRS");  // as earlier tests may leave it, the bus would find no launcher
    test::PrivateSession session{{.display = false, .audio = false, .bus = true}};
    ASSERT_TRUE(session.ok()) << session.error();
    QDBusConnection bus = QDBusConnection::connectToBus(
        qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), "reporting");
    const auto enabled = [&] {
        QDBusMessage get = QDBusMessage::createMethodCall(
            "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Get");
        get << QString("org.a11y.Status") << QString("IsEnabled");
        return bus.call(get).arguments().value(0).value<QDBusVariant>().variant().toBool();
    };
    // The bus's launcher starts on demand, slowly on a busy machine.
    const auto waitUntil = [](const std::function<bool()>& condition) {
        return test::waitFor([&] { return QCoreApplication::processEvents(), condition(); }, 30s);
    };
    test::ControllerRig rig;
    rig->awakeFromNib();
    QAction* offer = itemWithAction(rig.menu.get(), "enableAccessibilityReporting:");
    EXPECT_FALSE(offer->isVisible()) << "not before the bus tells";
    {
        platform::AccessibilityFocus watcher(bus, nullptr, [&](bool reporting) {
            rig->accessibilityReportingChanged(reporting, [&] { watcher.enableReporting(); });
        });
        ASSERT_TRUE(waitUntil([&] { return offer->isVisible(); }));
        QAction* passwords = itemWithAction(rig.menu.get(), "toggleSilentForPasswords:");
        passwords->trigger();
        EXPECT_FALSE(offer->isVisible());
        passwords->trigger();
        offer->trigger();
        EXPECT_TRUE(waitUntil([&] { return !offer->isVisible(); }));
        EXPECT_TRUE(enabled());
    }
    EXPECT_FALSE(enabled()) << "the session is left as it was found";
}

// By the entry named by the id (or a class's lower case) in the first data folder that has one,
// in the user's language where it says; by the id where no regular file names it.
TEST(Quiet, ApplicationsAreNamedByTheirDesktopEntries) {
    test::TempDir home, system;
    setenv("XDG_DATA_HOME", home.path().c_str(), 1);
    setenv("XDG_DATA_DIRS", (system.path() + ":/nonexistent").c_str(), 1);
    const std::string local = "Name[" + QLocale::system().name().toStdString() + "]=Lokal\n";
    const struct {
        const test::TempDir& dir;
        std::string file, entry;
        const char* id;
        const char* name;
    } cases[] = {
        {system, "org.gnome.Nautilus", "[Desktop Entry]\nName=Files\n", "org.gnome.Nautilus",
         "Files"},
        {system, "gedit", "[Desktop Action new]\nName=New\n[Desktop Entry]\nName= Text\\sEditor\n",
         "Gedit", "Text Editor"},
        {system, "both", "[Desktop Entry]\nName=System\n", "both", "Home"},
        {home, "both", "[Desktop Entry]\nName=Home\n", "both", "Home"},
        {system, "local", "[Desktop Entry]\nName=Local\n" + local, "local", "Lokal"},
        {system, "nameless", "[Desktop Entry]\nExec=nameless\n", "nameless", "nameless"},
        {system, "absent", "", "../applications/both", "../applications/both"},
    };
    for (const auto& c : cases)
        test::writeBytes(c.dir.file("applications/" + c.file + ".desktop"), c.entry);
    ASSERT_EQ(mkfifo((home.path() + "/applications/pipe.desktop").c_str(), 0600), 0);
    platform::ApplicationNames names;
    EXPECT_EQ(names.nameOf("pipe"), "pipe");  // never waits on a writer
    for (const auto& c : cases) EXPECT_EQ(names.nameOf(c.id), c.name) << c.id;
    unsetenv("XDG_DATA_DIRS");
}

}  // namespace
}  // namespace tapsound

#include "quiet_test.moc"
