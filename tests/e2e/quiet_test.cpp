// Under a private X server with IceWM and a private session bus with its accessibility bus: keys
// typed with XTest into a real GTK window, heard through XInput 2 by the controller, which the
// real watchers tell where the focus is and whether the session is locked. Then the same on a
// real Wayland compositor.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <filesystem>

#include "app/main_interface.h"
#include "platform/accessibility_focus.h"
#include "platform/focus.h"
#include "platform/focus_x11.h"
#include "platform/key_source_x11.h"
#include "platform/session_lock.h"
#include "tests/support/fake_platform.h"
#include "tests/support/private_session.h"

namespace tapsound {
namespace {

using namespace std::chrono_literals;

// A normal field and a password field, as any GTK program shows them.
const char* const kGtkFields = R"(
import gi
gi.require_version('Gtk', '3.0')
from gi.repository import Gdk, Gtk
window = Gtk.Window(title='tapsound-fields')
box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
normal, secret = Gtk.Entry(), Gtk.Entry()
secret.set_visibility(False)
box.add(normal)
box.add(secret)
window.add(box)
window.show_all()
full = [False]
window.connect('key-press-event', lambda _, key: key.keyval == Gdk.KEY_F11 and (
    full.append(not full.pop()) or (window.fullscreen() if full[0] else window.unfullscreen())))
Gtk.main()
)";

bool waitServing(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s) {
    return test::waitFor([&] { return QCoreApplication::processEvents(), condition(); }, timeout);
}

TEST(Quiet, SilentInPasswordFieldsFullScreenAndChosenApplications) {
    test::PrivateSession session{{.display = true, .audio = false, .bus = true}};
    ASSERT_TRUE(session.ok()) << session.error();
    pid_t wm = test::spawn({"icewm"});
    test::writeBytes(session.dir() + "/fields.py", kGtkFields);
    pid_t fields = test::spawn({"/usr/bin/python3", session.dir() + "/fields.py"});
    test::ControllerRig rig{true, {}, std::make_unique<platform::X11KeySource>()};
    rig->awakeFromNib();
    rig->applicationDidFinishLaunching();
    rig.openOneSoundPerKey();
    auto focus = platform::X11Focus::create([&](const platform::X11Focus::Window& window) {
        rig->activeWindowChanged(window.application, window.fullScreen);
    });
    rig->setActiveWindowKnown(true);
    platform::AccessibilityFocus passwords(
        QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), "a11y"),
        [&](bool password) { rig->passwordFocusChanged(password); });
    QAction* application = itemWithAction(rig.menu.get(), "toggleSilentInApplication:");
    test::run({"xdotool", "search", "--sync", "--name", "tapsound-fields", "windowactivate",
               "--sync"});
    ASSERT_TRUE(waitServing([&] { return application->text() == "Silent in Fields.py"; }))
        << application->text().toStdString();
    const auto reason = [&] { return rig->silentReason(); };
    // Keys and focus events are read as they come, as the program's event loop reads them, not
    // queued up together behind a test that sleeps.
    const auto playedAfter = [&](const std::string& keys) {
        QTimer tick;
        tick.start(5);
        pid_t typing = test::spawn({"sh", "-c", "xdotool " + keys});
        const auto until = std::chrono::steady_clock::now() + 5s;
        while (waitpid(typing, nullptr, WNOHANG) != typing &&
               std::chrono::steady_clock::now() < until)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        test::waitFor([] { return QCoreApplication::processEvents(), false; }, 400ms);
        return rig.played();
    };

    // Tab moves the focus between the fields: a, b, Tab, Shift.
    EXPECT_EQ(playedAfter("type --delay 40 ab"), (std::vector<int>{0, 11}));
    EXPECT_EQ(playedAfter("key Tab"), std::vector<int>{48});
    ASSERT_TRUE(waitServing([&] { return reason() == "Silent: password field"; }));
    EXPECT_EQ(playedAfter("type --delay 40 ab"), std::vector<int>{});
    playedAfter("key shift+Tab");  // the keys that leave the field race its focus event
    EXPECT_TRUE(waitServing([&] { return reason().isEmpty(); }));
    EXPECT_EQ(playedAfter("type --delay 40 ab"), (std::vector<int>{0, 11}));

    // Silent in Full Screen is off until chosen; F11 makes the window full screen and back.
    // Chosen only once it is full screen: its own F11 would race the window's change, as below.
    QAction* fullScreen = itemWithAction(rig.menu.get(), "toggleSilentInFullScreen:");
    EXPECT_FALSE(fullScreen->isChecked());
    EXPECT_EQ(playedAfter("key F11"), std::vector<int>{0x67});
    fullScreen->trigger();
    EXPECT_TRUE(waitServing([&] { return reason() == "Silent: full screen"; }));
    EXPECT_EQ(playedAfter("key a"), std::vector<int>{});
    playedAfter("key F11");  // races the window's leaving full screen, as above
    EXPECT_TRUE(waitServing([&] { return reason().isEmpty(); }));

    // A rule for the focused application, listed in Silent In, where choosing it ends it.
    application->trigger();
    EXPECT_EQ(reason(), "Silent in Fields.py");
    EXPECT_EQ(playedAfter("key a"), std::vector<int>{});
    QMenu* rules = itemWithAction(rig.menu.get(), "silentIn")->menu();
    emit rules->aboutToShow();
    ASSERT_EQ(rules->actions().size(), 1);
    EXPECT_EQ(rules->actions()[0]->text(), "Fields.py");
    rules->actions()[0]->trigger();
    EXPECT_EQ(playedAfter("key a"), std::vector<int>{0});

    // A screen saver on the bus locks the session: typing is silent until it ends.
    const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    QDBusConnection saver = QDBusConnection::connectToBus(address, "saver");
    ASSERT_TRUE(saver.registerService("org.freedesktop.ScreenSaver"));
    platform::SessionLock lock(QDBusConnection::connectToBus(address, "system"),
                               QDBusConnection::connectToBus(address, "session"),
                               [&](bool locked) { rig->sessionLockChanged(locked); });
    const auto active = [&](bool on) {
        saver.send(QDBusMessage::createSignal("/ScreenSaver", "org.freedesktop.ScreenSaver",
                                              "ActiveChanged")
                   << on);
    };
    // Told again until heard: the watcher's match rules may reach the bus after a first signal.
    EXPECT_TRUE(waitServing([&] { return active(true), reason() == "Silent: screen locked"; }));
    EXPECT_EQ(playedAfter("key a"), std::vector<int>{});
    EXPECT_TRUE(waitServing([&] { return active(false), reason().isEmpty(); }));
    EXPECT_EQ(playedAfter("key a"), std::vector<int>{0});
    application->trigger();

    test::ControllerRig again(true, rig.config);  // the rule is remembered
    again->awakeFromNib();
    again->activeWindowChanged("Fields.py", false);
    EXPECT_EQ(again->silentReason(), "Silent in Fields.py");
    test::stopProcess(fields);
    test::stopProcess(wm);
}

// A real compositor (sway, headless) and a real GTK window on it, made full screen by the
// compositor: the backend chosen for a Wayland session tells the window's app_id and state.
TEST(Quiet, FullScreenAndApplicationFromAWaylandCompositor) {
    test::PrivateSession session{{.display = false, .audio = false, .bus = true}};
    ASSERT_TRUE(session.ok()) << session.error();
    char runtime[] = "/tmp/tapsound-sway-XXXXXX";
    ASSERT_NE(mkdtemp(runtime), nullptr);
    const std::string dir = runtime;
    pid_t compositor = -1, window = -1;
    const std::unique_ptr<void, std::function<void(void*)>> cleanup(runtime, [&](void*) {
        unsetenv("WAYLAND_DISPLAY");
        test::stopProcess(window);
        test::stopProcess(compositor);
        std::filesystem::remove_all(dir);
    });
    test::writeBytes(dir + "/config", "xwayland disable\noutput HEADLESS-1 resolution 800x600\n");
    test::writeBytes(dir + "/window.py", kGtkFields);
    std::vector<std::string> sway = {
        "env",          "XDG_RUNTIME_DIR=" + dir, "HOME=" + dir,          "WAYLAND_DISPLAY=",
        "DISPLAY=",     "WLR_BACKENDS=headless",  "WLR_LIBINPUT_NO_DEVICES=1",
        "WLR_RENDERER=pixman", "SWAYSOCK=" + dir + "/ipc.sock"};
    // sway refuses to run as root: as root, it runs as nobody in a folder of nobody's.
    if (getuid() == 0) {
        ASSERT_EQ(chown(runtime, 65534, 65534), 0);
        sway.insert(sway.end(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    sway.insert(sway.end(), {"sway", "-c", dir + "/config"});
    compositor = test::spawn(sway, dir + "/sway.log");
    const std::string display = dir + "/wayland-1", ipc = dir + "/ipc.sock";
    ASSERT_TRUE(test::waitFor(
        [&] { return std::filesystem::exists(display) && std::filesystem::exists(ipc); }, 20s))
        << test::capture("cat " + dir + "/sway.log");
    setenv("WAYLAND_DISPLAY", display.c_str(), 1);
    window = test::spawn({"env", "GDK_BACKEND=wayland", "/usr/bin/python3", dir + "/window.py"});

    test::ControllerRig rig;
    rig->awakeFromNib();
    rig->applicationDidFinishLaunching();
    auto focus = platform::chooseWindowFocus([&](const platform::WindowFocus::Window& focused) {
        rig->activeWindowChanged(focused.application, focused.fullScreen);
    });
    ASSERT_NE(focus, nullptr);
    rig->setActiveWindowKnown(true);
    QAction* application = itemWithAction(rig.menu.get(), "toggleSilentInApplication:");
    // Python and GTK take a while to start on a busy machine.
    EXPECT_TRUE(waitServing([&] { return application->text() == "Silent in window.py"; }, 30s))
        << application->text().toStdString();
    itemWithAction(rig.menu.get(), "toggleSilentInFullScreen:")->trigger();
    const auto silentAfter = [&](const char* command, const char* reason) {
        test::run({"swaymsg", "-q", "-s", ipc, command});
        return waitServing([&] {
            return rig->silentReason() == reason &&
                   rig->statusItem()->toolTip().endsWith(QString("\n") + reason) ==
                       (*reason != 0);
        });
    };
    EXPECT_TRUE(silentAfter("fullscreen enable", "Silent: full screen"));
    EXPECT_TRUE(silentAfter("fullscreen disable", ""));
}

}  // namespace
}  // namespace tapsound
