// Under a private X server with IceWM, PulseAudio and a session bus with its accessibility bus:
// the real program, keys typed with XTest into a real GTK window, its sound recorded from the null
// sink, its menu and tooltip read and clicked as a panel does. Then a Wayland compositor's focus.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <QAction>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QSystemTrayIcon>
#include <filesystem>
#include <thread>

#include "app/main_interface.h"
#include "platform/focus.h"
#include "tests/support/fake_platform.h"
#include "tests/support/panel.h"
#include "tests/support/private_session.h"

namespace tapsound {
namespace {

using namespace std::chrono_literals;

// A normal field and a password field, as any GTK program shows them; F11 toggles full screen.
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

bool waitServing(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
    return test::waitFor([&] { return QCoreApplication::processEvents(), condition(); }, timeout);
}

// The window's class (Fields.py) names a desktop entry, whose name the menu and tooltip show.
TEST(Quiet, SilentInPasswordFieldsFullScreenChosenApplicationsAndWhileLocked) {
    test::PrivateSession session{{.display = true, .audio = true, .bus = true}};
    ASSERT_TRUE(session.ok()) << session.error();
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME"})
        setenv(name, (session.dir() + "/" + name).c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    test::writeBytes(session.dir() + "/XDG_DATA_HOME/applications/fields.py.desktop",
                     "[Desktop Entry]\nName[xx]=Other\nName=Entry\\sFields & Co\n");
    const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    QDBusConnection bus = QDBusConnection::connectToBus(address, "quiet");
    test::PanelWatcher watcher;
    ASSERT_TRUE(watcher.offer(bus));
    const std::string tone = session.dir() + "/tone.wav";
    ASSERT_TRUE(test::writeTone(tone, {.seconds = 0.05}));
    test::writeBytes(session.dir() + "/fields.py", kGtkFields);
    pid_t wm = test::spawn({"icewm"}), pid = -1,
          fields = test::spawn({"/usr/bin/python3", session.dir() + "/fields.py"});
    const auto start = [&] {
        pid = test::spawn({TAPSOUND_BINARY, tone}, session.dir() + "/tapsound.log");
        return waitServing([&] { return watcher.items.size() == 1; });
    };
    const std::unique_ptr<void, std::function<void(void*)>> cleanup(&pid, [&](void*) {
        for (pid_t* process : {&pid, &fields, &wm}) test::stopProcess(*process);
    });
    // Before tapsound starts: while this waits, the panel here answers no one.
    test::run(
        {"xdotool", "search", "--sync", "--name", "tapsound-fields", "windowactivate", "--sync"});
    ASSERT_TRUE(start()) << test::readBytes(session.dir() + "/tapsound.log");
    // Typed at only once its output is connected: a press before that is not heard.
    EXPECT_TRUE(test::waitFor(
        [] { return !test::capture("pactl list short sink-inputs 2>/dev/null").empty(); }, 10s));
    test::PanelItem panel(bus, watcher.items.first());
    const std::string toolTip =
        "dbus-send --print-reply --dest=" + watcher.items.first().toStdString() +
        " /StatusNotifierItem org.freedesktop.DBus.Properties.Get "
        "string:org.kde.StatusNotifierItem string:ToolTip";
    // A test screen saver on the bus says when the session locks.
    QDBusConnection saver = QDBusConnection::connectToBus(address, "saver");
    ASSERT_TRUE(saver.registerService("org.freedesktop.ScreenSaver"));
    // Each change is told before typing: the keys that make it race its telling. Tab moves the
    // focus to the password field and back, F11 makes the window full screen and back.
    const struct {
        const char* menu;  // the item clicked, "Submenu/item" once the submenu is shown
        const char* key;
        int locked;  // the screen saver's word, if any
        const char* reason;
    } steps[] = {
        {nullptr, nullptr, -1, ""},
        {nullptr, "Tab", -1, "Silent: password field"},
        {nullptr, "shift+Tab", -1, ""},
        {"[ ] Silent in Full Screen", "F11", -1, "Silent: full screen"},
        {nullptr, "F11", -1, ""},
        {"[ ] Silent in Entry Fields & Co", nullptr, -1, "Silent in Entry Fields & Co"},
        {"Silent In/[x] Entry Fields & Co", nullptr, -1, ""},
        {nullptr, nullptr, 1, "Silent: screen locked"},
        {nullptr, nullptr, 0, ""},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.reason);
        const QString menu(step.menu);
        if (menu.contains('/')) panel.lines(), panel.aboutToShow(menu.section('/', 0, 0));
        if (step.menu) panel.lines(), panel.send(menu);
        if (step.key) test::run({"xdotool", "key", step.key});
        if (step.locked >= 0) {
            saver.send(QDBusMessage::createSignal("/ScreenSaver", "org.freedesktop.ScreenSaver",
                                                  "ActiveChanged")
                       << (step.locked == 1));
        }
        // The tooltip's second line says why (nothing while keys sound) within a few seconds.
        const std::string said =
            "tone.wav" + (*step.reason ? "\n" + std::string(step.reason) : "") + "\"";
        EXPECT_TRUE(test::waitFor(
            [&] { return test::capture(toolTip).find(said) != std::string::npos; }, 5s));
        // The key that made the change sounds itself (50 ms), and may be told that soon.
        if (step.key) std::this_thread::sleep_for(150ms);
        test::MonitorRecorder recorder(session);
        EXPECT_EQ(test::run({"xdotool", "key", "--delay", "200", "a", "b"}), 0);
        std::this_thread::sleep_for(400ms);
        EXPECT_EQ(test::findOnsets(recorder.stop(), 0.01f, 4800, &recorder).size(),
                  *step.reason ? 0u : 2u);
    }

    // The session's accessibility, turned on from the menu, stays on only while tapsound runs:
    // a start after a kill turns it off.
    const std::string isEnabled =
        "dbus-send --print-reply --dest=org.a11y.Bus /org/a11y/bus "
        "org.freedesktop.DBus.Properties.Get string:org.a11y.Status string:IsEnabled";
    const auto reporting = [&] { return test::capture(isEnabled).ends_with("true\n"); };
    ASSERT_FALSE(reporting());
    EXPECT_TRUE(waitServing([&] {
        panel.lines(), panel.send("Let Applications Report Password Fields");
        return reporting();
    }));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    watcher.items.clear();
    EXPECT_TRUE(reporting());
    ASSERT_TRUE(start());
    EXPECT_TRUE(waitServing([&] { return !reporting(); }));
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
        for (pid_t* process : {&window, &compositor}) test::stopProcess(*process);
        std::filesystem::remove_all(dir);
    });
    test::writeBytes(dir + "/config", "xwayland disable\noutput HEADLESS-1 resolution 800x600\n");
    test::writeBytes(dir + "/window.py", kGtkFields);
    std::vector<std::string> sway = {"env",
                                     "XDG_RUNTIME_DIR=" + dir,
                                     "HOME=" + dir,
                                     "WAYLAND_DISPLAY=",
                                     "DISPLAY=",
                                     "WLR_BACKENDS=headless",
                                     "WLR_LIBINPUT_NO_DEVICES=1",
                                     "WLR_RENDERER=pixman",
                                     "SWAYSOCK=" + dir + "/ipc.sock"};
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
    for (const char* reason : {"Silent: full screen", ""}) {
        test::run(
            {"swaymsg", "-q", "-s", ipc, *reason ? "fullscreen enable" : "fullscreen disable"});
        EXPECT_TRUE(waitServing([&] {
            return rig->silentReason() == reason &&
                   rig->statusItem()->toolTip().endsWith(QString("\n") + reason) == (*reason != 0);
        }));
    }
}

}  // namespace
}  // namespace tapsound
