// Under a private X server with IceWM: the controller follows the focused window through the real
// X11 watcher, silent where the user asked for it.
#include <gtest/gtest.h>

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <thread>

#include "app/main_interface.h"
#include "platform/focus_x11.h"
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

}  // namespace
}  // namespace tapsound
