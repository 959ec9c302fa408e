// Under a private X server with IceWM and a private session bus with its accessibility bus: keys
// typed with XTest into a real GTK window, heard through XInput 2 by the controller, which the
// real watchers tell where the focus is.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QAction>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QMenu>
#include <QTimer>

#include "app/main_interface.h"
#include "platform/accessibility_focus.h"
#include "platform/focus_x11.h"
#include "platform/key_source_x11.h"
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

bool waitServing(const std::function<bool()>& condition) {
    return test::waitFor([&] { return QCoreApplication::processEvents(), condition(); }, 5s);
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
    application->trigger();

    test::ControllerRig again(true, rig.config);  // the rule is remembered
    again->awakeFromNib();
    again->activeWindowChanged("Fields.py", false);
    EXPECT_EQ(again->silentReason(), "Silent in Fields.py");
    test::stopProcess(fields);
    test::stopProcess(wm);
}

}  // namespace
}  // namespace tapsound
