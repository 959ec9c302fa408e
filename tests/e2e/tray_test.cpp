// The real program beside a StatusNotifier host reading its exported menu as a panel, or no tray.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QRegularExpression>
#include <QSettings>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "tests/support/panel.h"
#include "tests/support/private_session.h"

namespace tapsound {
namespace {

using namespace std::chrono_literals;

bool waitServing(const std::function<bool()>& condition) {
    return test::waitFor([&] { return QCoreApplication::processEvents(), condition(); }, 10s);
}

class Tray : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(session.ok()) << session.error();
        setenv("XDG_DATA_HOME", (session.dir() + "/data").c_str(), 1);
    }
    test::PrivateSession session{{.display = true, .audio = false, .bus = true}};
    const std::string config = session.programConfig();
};

TEST_F(Tray, ARightClickOnAStatusNotifierHostShowsOurMenuAndItsItemsWork) {
    std::filesystem::create_directories(session.dir() + "/data/tapsound/sets/R&B_2");
    test::PanelWatcher watcher;
    ASSERT_TRUE(watcher.offer(QDBusConnection::sessionBus()));
    pid_t pid = test::spawn({TAPSOUND_BINARY, TAPSOUND_EXAMPLE_SET});
    ASSERT_TRUE(waitServing([&] { return !watcher.items.isEmpty(); }));
    const QString item = watcher.items.first();
    test::PanelItem panel(QDBusConnection::sessionBus(), item);
    const auto menu = [&] { return panel.lines(); };
    ASSERT_TRUE(waitServing([&] { return menu().contains("~Example"); })) << "the set loads aside";
    // The sets folders are read when the submenu opens, not before.
    EXPECT_TRUE(menu().filter("Sound Sets/").isEmpty());
    panel.aboutToShow("Sound Sets");
    const QStringList lines = menu();
    // Offered or not as the accessibility bus answers, in its own time.
    EXPECT_EQ(lines.filter(QRegularExpression("^(?!~?Let Applications Report)[^/]*$")),
              (QStringList{"Open...", "~Example", "Volume", "-", "Sound Sets", "Mouse Sounds",
                           "[ ] Mute", "Stereo", "Vary Each Press", "Output",
                           "[x] Silent for Passwords", "[ ] Silent in Full Screen", "~[ ] Silent in Application", "~Silent In",
                           "[ ] Start at Login", "-", "Help", "Quit tapsound"}));
    EXPECT_EQ(lines.filter("/[x]"), (QStringList{"Volume/[x] 50 %", "Sound Sets/[x] Example"}));
    for (const char* line : {"Volume/[ ] 20 %", "[ ] Mute", "Sound Sets/[ ] R&B_2"}) panel.send(line);
    EXPECT_TRUE(waitServing([&] { return menu().contains("~No sounds in R&B_2"); }));
    // An empty set plays nothing, so the volume waits, disabled, as the slider does.
    EXPECT_TRUE(menu().contains("~Volume/[x] 20 %") && menu().contains("[x] Mute"));
    // Hosts that send only the "opened" event read the folders afresh too.
    std::filesystem::create_directories(session.dir() + "/data/tapsound/sets/Later");
    for (const char* event : {"closed", "opened"}) panel.send("Sound Sets", event);
    EXPECT_TRUE(menu().contains("Sound Sets/[ ] Later"));
    // A left click on an icon at the bottom right of the screen (1280x800) shows our own menu,
    // the one with the slider, above the icon as a panel's menus are, not over it at the cursor.
    panel.activate(1200, 795);
    int x = 0, y = 0, width = 0, height = 0;
    EXPECT_TRUE(waitServing([&] {
        const std::string shell = test::capture(
            "xdotool search --onlyvisible --classname tapsound getwindowgeometry --shell");
        return std::sscanf(shell.c_str(), "WINDOW=%*d X=%d Y=%d WIDTH=%d HEIGHT=%d", &x, &y, &width,
                           &height) == 4;
    }));
    EXPECT_TRUE(y + height <= 795 && y + height > 780 && x <= 1200 && x + width <= 1280)
        << x << "," << y << " " << width << "x" << height;
    panel.send("Quit tapsound");
    EXPECT_TRUE(waitServing([&] { return waitpid(pid, nullptr, WNOHANG) == pid; }));
    QSettings settings(QString::fromStdString(config + "/tapsound/tapsound.ini"),
                       QSettings::IniFormat);
    EXPECT_EQ(settings.allKeys(), (QStringList{"Bookmark", "volume"}));
    EXPECT_FLOAT_EQ(settings.value("volume").toFloat(), 0.2f);
}

// Our one visible window larger than a tray icon, or not larger: an XEmbed icon.
std::string window(const std::string& width = "-gt") {
    return test::capture("for w in $(xdotool search --onlyvisible --classname tapsound); do eval "
                         "$(xdotool getwindowgeometry --shell $w); [ $WIDTH " +
                         width + " 100 ] && echo -n $w; done");
}

// With no tray (a session bus but no StatusNotifier host, no XEmbed tray) a window stands in after
// a few seconds; an XEmbed tray appearing takes it away, and it returns when the tray goes.
TEST_F(Tray, WithNoTrayAWindowStandsInUntilOneShowsIcons) {
    pid_t pid = test::spawn({TAPSOUND_BINARY, TAPSOUND_EXAMPLE_SET});
    ASSERT_TRUE(test::waitFor([] { return !window().empty(); }, 10s));
    std::this_thread::sleep_for(500ms);
    // A picture of it, kept beside the test binary for people to look at.
    const std::string spread = test::capture("import -window " + window() +
                                             " no_tray_window.png && convert no_tray_window.png "
                                             "-format '%[fx:standard_deviation]' info:");
    EXPECT_GT(std::atof(spread.c_str()), 0.02) << "the window looks blank";
    pid_t tray = test::spawn({"icewm"});
    EXPECT_TRUE(test::waitFor([] { return window().empty(); }, 10s));
    test::stopProcess(tray);
    EXPECT_TRUE(test::waitFor([] { return !window().empty(); }, 10s));
    EXPECT_EQ(test::stopProcess(pid), 0);
}

// A flood of key presses (XTest, as fast as the server takes them) while sounds play: SIGTERM
// still ends tapsound at once (bench/key_latency_bench flood measures it, and memory).
TEST(KeyFlood, SigtermEndsTapsoundDuringAKeyFlood) {
    test::PrivateSession session;
    ASSERT_TRUE(session.ok()) << session.error();
    session.programConfig();
    pid_t pid = test::spawn({TAPSOUND_BINARY, TAPSOUND_EXAMPLE_SET});
    ASSERT_TRUE(test::waitFor([] { return !window().empty(); }, 10s));
    std::optional<test::KeyFlood> flood{std::in_place};
    std::this_thread::sleep_for(3s);
    kill(pid, SIGTERM);
    const bool ended = test::waitFor([&] { return waitpid(pid, nullptr, WNOHANG) == pid; }, 5s);
    flood.reset();
    EXPECT_TRUE(ended) << "SIGTERM unanswered 5 s into a key flood";
    if (!ended) test::stopProcess(pid);
}

// Trays of either kind coming and going while tapsound runs, in both orders: the icon follows
// whatever tray is there (our item registered with the watcher, or an XEmbed icon window in
// IceWM's tray), and the window stands in while there is none.
TEST_F(Tray, WhicheverKindOfTrayComesTheIconFollowsIt) {
    for (const bool dbusFirst : {false, true}) {
        SCOPED_TRACE(dbusFirst ? "StatusNotifier host first" : "XEmbed tray first");
        test::PanelWatcher watcher;
        // This test's own bus: the process's session bus connection is to the first test's.
        QDBusConnection bus =
            QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"),
                                          QString::fromStdString(session.dir()));
        pid_t tray = -1;
        const auto offer = [&](bool dbus) {
            if (!dbus) return void(tray = test::spawn({"icewm"}));
            ASSERT_TRUE(watcher.offer(bus));
        };
        const auto withdraw = [&](bool dbus) {
            if (!dbus) return void(test::stopProcess(tray));
            watcher.withdraw();
        };
        const auto iconShows = [&](bool dbus) {
            return waitServing([&] {
                return (dbus ? !watcher.items.isEmpty() : !window("-le").empty()) &&
                       window().empty();
            });
        };
        offer(dbusFirst);
        pid_t pid = test::spawn({TAPSOUND_BINARY, TAPSOUND_EXAMPLE_SET});
        EXPECT_TRUE(iconShows(dbusFirst));
        withdraw(dbusFirst);
        EXPECT_TRUE(waitServing([] { return !window().empty(); }));
        offer(!dbusFirst);
        EXPECT_TRUE(iconShows(!dbusFirst));
        withdraw(!dbusFirst);
        EXPECT_EQ(test::stopProcess(pid), 0);
    }
}

}  // namespace
}  // namespace tapsound
