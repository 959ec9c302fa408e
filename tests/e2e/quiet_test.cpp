// Under a private X server with IceWM: the controller follows the focused window through the real
// X11 watcher, silent where the user asked for it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QAction>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <thread>

#include "app/main_interface.h"
#include "platform/accessibility_focus.h"
#include "platform/focus_x11.h"
#include "platform/key_source_x11.h"
#include "tests/support/fake_platform.h"
#include "tests/support/private_session.h"

// Last: Xlib's macros clash with Qt's headers.
#include <X11/Xlib.h>

namespace tapsound {
namespace {

using namespace std::chrono_literals;

bool waitServing(const std::function<bool()>& condition) {
    return test::waitFor([&] { return QCoreApplication::processEvents(), condition(); }, 5s);
}

void serveFor(std::chrono::milliseconds time) {
    test::waitFor([] { return QCoreApplication::processEvents(), false; }, time);
}

// Asks the window manager, as a program's own full-screen key would.
void setFullScreen(const std::string& window, bool on) {
    Display* display = XOpenDisplay(nullptr);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = std::stoul(window);
    event.xclient.message_type = XInternAtom(display, "_NET_WM_STATE", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = on ? 1 : 0;
    event.xclient.data.l[1] = static_cast<long>(XInternAtom(display, "_NET_WM_STATE_FULLSCREEN", False));
    event.xclient.data.l[3] = 1;
    XSendEvent(display, DefaultRootWindow(display), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XCloseDisplay(display);
}

std::string windowNamed(const std::string& name) {
    const std::string found = test::capture("xdotool search --name " + name + " | head -1");
    return found.substr(0, found.find('\n'));
}

class Quiet : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(session.ok()) << session.error();
        wm = test::spawn({"icewm"}, session.dir() + "/icewm.log");
        std::this_thread::sleep_for(1500ms);
        ASSERT_TRUE(target.ok());
        rig->awakeFromNib();
        rig->applicationDidFinishLaunching();
        rig.openOneSoundPerKey();
        focus = platform::X11Focus::create([this](const platform::X11Focus::Window& window) {
            rig->activeWindowChanged(window.application, window.fullScreen);
        });
        ASSERT_NE(focus, nullptr);
        rig->setActiveWindowKnown(true);
    }
    void TearDown() override { test::stopProcess(wm); }
    QAction* item(const char* action) { return itemWithAction(rig.menu.get(), action); }
    bool silent() { return !rig->silentReason().isEmpty(); }

    test::PrivateSession session{{.display = true, .audio = false}};
    pid_t wm = -1;
    test::FocusedWindow target;
    test::ControllerRig rig;
    std::unique_ptr<platform::X11Focus> focus;
};

// Off by default; once on (and remembered), silent while the focused window is full screen, until
// it leaves full screen or another window takes the focus.
TEST_F(Quiet, SilentInFullScreenFollowsTheFocusedWindow) {
    const std::string window = windowNamed("tapsound-target");
    ASSERT_FALSE(window.empty());
    QAction* fullScreen = item("toggleSilentInFullScreen:");
    ASSERT_FALSE(fullScreen->isChecked());
    fullScreen->trigger();
    EXPECT_EQ(rig.type("+0 -0").played(), std::vector<int>{0});
    setFullScreen(window, true);
    EXPECT_TRUE(waitServing([&] { return silent(); }));
    EXPECT_EQ(rig.type("+0 -0").played(), std::vector<int>{});
    EXPECT_TRUE(rig->statusItem()->toolTip().endsWith("\nSilent: full screen"));
    fullScreen->trigger();
    EXPECT_EQ(rig.type("+0 -0").played(), std::vector<int>{0});
    fullScreen->trigger();
    EXPECT_TRUE(silent());

    setFullScreen(window, false);
    EXPECT_TRUE(waitServing([&] { return !silent(); }));
    EXPECT_EQ(rig.type("+1").played(), std::vector<int>{1});
    setFullScreen(window, true);
    EXPECT_TRUE(waitServing([&] { return silent(); }));
    pid_t other = test::spawn({"xmessage", "-name", "tapsound-other", "other"});
    ASSERT_TRUE(test::waitFor([] { return !windowNamed("tapsound-other").empty(); }, 5s));
    test::run({"xdotool", "windowactivate", "--sync", windowNamed("tapsound-other")});
    EXPECT_TRUE(waitServing([&] { return !silent(); }));
    EXPECT_EQ(rig.type("+2").played(), std::vector<int>{2});
    test::stopProcess(other);

    test::ControllerRig again(true, rig.config);
    again->awakeFromNib();
    EXPECT_TRUE(itemWithAction(again.menu.get(), "toggleSilentInFullScreen:")->isChecked());
    // Where the desktop does not tell (Wayland), the item says so, disabled.
    again->setActiveWindowKnown(false);
    QAction* unknown = itemWithAction(again.menu.get(), "toggleSilentInFullScreen:");
    EXPECT_FALSE(unknown->isEnabled());
    EXPECT_EQ(unknown->toolTip(), "This desktop does not tell which window is full screen");
    EXPECT_FALSE(itemWithAction(again.menu.get(), "toggleSilentInApplication:")->isEnabled());
}

QStringList titles(QMenu* menu) {
    emit menu->aboutToShow();
    QStringList shown;
    for (const QAction* entry : menu->actions()) shown << entry->text();
    return shown;
}

// "Silent in <application>" names the focused window's class; its rule is remembered and listed,
// each removable. A window without a class (xev's) leaves the item disabled.
TEST_F(Quiet, SilentInAnApplicationIsARememberedRule) {
    pid_t other = test::spawn({"xmessage", "-name", "tapsound-other", "other"});
    ASSERT_TRUE(test::waitFor([] { return !windowNamed("tapsound-other").empty(); }, 5s));
    const auto activate = [](const char* name) {
        test::run({"xdotool", "windowactivate", "--sync", windowNamed(name)});
    };
    QAction* application = item("toggleSilentInApplication:");
    QMenu* rules = item("silentIn")->menu();
    activate("tapsound-other");
    ASSERT_TRUE(waitServing([&] { return application->text() == "Silent in Xmessage"; }));
    EXPECT_FALSE(application->isChecked() || item("silentIn")->isEnabled());
    application->trigger();
    EXPECT_EQ(rig->silentReason(), "Silent in Xmessage");
    EXPECT_EQ(rig.type("+0 -0").played(), std::vector<int>{});

    activate("tapsound-target");
    EXPECT_TRUE(waitServing([&] { return !silent(); }));
    EXPECT_FALSE(application->isEnabled());
    EXPECT_EQ(application->toolTip(), "No application has the focus");
    EXPECT_EQ(rig.type("+1").played(), std::vector<int>{1});
    activate("tapsound-other");
    EXPECT_TRUE(waitServing([&] { return silent() && application->isChecked(); }));

    ASSERT_EQ(titles(rules), QStringList{"Xmessage"});
    rules->actions()[0]->trigger();
    EXPECT_EQ(rig.type("+2").played(), std::vector<int>{2});
    EXPECT_EQ(titles(rules), QStringList{"No applications"});
    application->trigger();
    test::ControllerRig again(true, rig.config);
    again->awakeFromNib();
    again->activeWindowChanged("Xmessage", false);
    EXPECT_EQ(again->silentReason(), "Silent in Xmessage");
    EXPECT_EQ(titles(itemWithAction(again.menu.get(), "silentIn")->menu()),
              QStringList{"Xmessage"});
    test::stopProcess(other);
}

class TestScreenSaver : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")

  public:
    bool active = true;
    int asked = 0;
  public slots:
    bool GetActive() { return ++asked, active; }
  signals:
    void ActiveChanged(bool active);
};

// The real program, locked when it starts: silent until the screen saver says it is gone, then
// silent again when it comes back. Heard from the null sink.
TEST(QuietProgram, TheRealProgramIsSilentWhileTheScreenSaverIsActive) {
    test::PrivateSession session{{.display = true, .audio = true, .bus = true}};
    ASSERT_TRUE(session.ok()) << session.error();
    setenv("XDG_CONFIG_HOME", (session.dir() + "/config").c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    unsetenv("XDG_SESSION_ID");
    TestScreenSaver saver;
    // A connection of its own: the shared one may have been made before this bus existed.
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "saver");
    ASSERT_TRUE(bus.registerObject("/org/freedesktop/ScreenSaver", &saver,
                                   QDBusConnection::ExportAllContents) &&
                bus.registerService("org.freedesktop.ScreenSaver"));
    pid_t pid = test::spawn({TAPSOUND_BINARY, TAPSOUND_EXAMPLE_SET}, session.dir() + "/tapsound.log");
    ASSERT_TRUE(waitServing([] {
        return test::capture("pactl list clients").find("tapsound") != std::string::npos;
    }));
    // Served meanwhile: the program's question at start and the signals.
    EXPECT_TRUE(waitServing([&] { return saver.asked > 0; }));
    serveFor(1000ms);  // the reply on its way, the set loading aside
    const auto heardAfter = [&](const char* keys) {
        test::MonitorRecorder recorder(session);
        EXPECT_EQ(test::run({"sh", "-c", std::string("xdotool key --delay 200 ") + keys}), 0);
        std::this_thread::sleep_for(400ms);
        return test::findOnsets(recorder.stop(), 0.01f, 4800).size();
    };
    EXPECT_EQ(heardAfter("a s"), 0u);
    emit saver.ActiveChanged(saver.active = false);
    serveFor(1000ms);
    EXPECT_EQ(heardAfter("a s d"), 3u);
    emit saver.ActiveChanged(saver.active = true);
    serveFor(1000ms);
    EXPECT_EQ(heardAfter("a s"), 0u);
    EXPECT_EQ(test::stopProcess(pid), 0);
}

// A GTK window with a normal field and a password field, as any GTK program shows them.
const char* const kGtkFields = R"(
import gi
gi.require_version('Gtk', '3.0')
from gi.repository import Gtk
window = Gtk.Window(title='tapsound-gtk')
box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
normal, secret = Gtk.Entry(), Gtk.Entry()
secret.set_visibility(False)
box.add(normal)
box.add(secret)
window.add(box)
window.show_all()
normal.grab_focus()
Gtk.main()
)";

// Keys typed with XTest into a real GTK window, heard through XInput 2: silent in the password
// field, heard in the other, told by the accessibility bus; and heard everywhere once the user
// turns Silent for Passwords off.
TEST(QuietPasswords, SilentWhileAPasswordFieldHasTheFocus) {
    test::PrivateSession session{{.display = true, .audio = false, .bus = true}};
    ASSERT_TRUE(session.ok()) << session.error();
    test::writeBytes(session.dir() + "/fields.py", kGtkFields);
    pid_t fields = test::spawn({"/usr/bin/python3", session.dir() + "/fields.py"},
                               session.dir() + "/fields.log");
    ASSERT_TRUE(test::waitFor([] { return !windowNamed("tapsound-gtk").empty(); }, 10s))
        << test::readBytes(session.dir() + "/fields.log");
    test::ControllerRig rig{true, {}, std::make_unique<platform::X11KeySource>()};
    rig->awakeFromNib();
    rig->applicationDidFinishLaunching();
    rig.openOneSoundPerKey();
    platform::AccessibilityFocus passwords(
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, "passwords"),
        [&](bool password) { rig->passwordFocusChanged(password); });
    ASSERT_EQ(test::run({"xdotool", "windowfocus", "--sync", windowNamed("tapsound-gtk")}), 0);
    // Keys and focus events are read as they come, as the program's event loop reads them, not
    // queued up together behind a test that sleeps.
    const auto playedAfter = [&](const std::string& keys) {
        QTimer tick;
        tick.start(5);
        pid_t typing = test::spawn({"sh", "-c", "xdotool " + keys});
        const auto until = std::chrono::steady_clock::now() + 5s;
        while (waitpid(typing, nullptr, WNOHANG) != typing &&
               std::chrono::steady_clock::now() < until) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        serveFor(400ms);
        return rig.played();
    };
    const auto passwordField = [&] { return rig->silentReason() == "Silent: password field"; };
    serveFor(2s);  // the accessibility bus starting, our interest registered
    EXPECT_EQ(playedAfter("type --delay 40 ab"), (std::vector<int>{0, 11}));
    EXPECT_EQ(playedAfter("key Tab"), std::vector<int>{48});
    ASSERT_TRUE(waitServing(passwordField)) << "no focus event from the accessibility bus";
    EXPECT_EQ(playedAfter("type --delay 40 ab"), std::vector<int>{});
    EXPECT_TRUE(rig->statusItem()->toolTip().endsWith("\nSilent: password field"));
    playedAfter("key shift+Tab");  // the keys that leave the field race its focus event
    EXPECT_TRUE(waitServing([&] { return !passwordField(); }));
    EXPECT_EQ(playedAfter("type --delay 40 ab"), (std::vector<int>{0, 11}));

    QAction* item = itemWithAction(rig.menu.get(), "toggleSilentForPasswords:");
    EXPECT_TRUE(item->isChecked());
    item->trigger();
    EXPECT_EQ(playedAfter("key Tab"), std::vector<int>{48});
    serveFor(1s);
    EXPECT_EQ(playedAfter("type --delay 40 ab"), (std::vector<int>{0, 11}));
    test::stopProcess(fields);
}

}  // namespace
}  // namespace tapsound

#undef Bool  // Xlib's, which would rename Qt's
#include "quiet_test.moc"
