#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <QSettings>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "tests/support/private_session.h"
#include "tests/support/sound_files.h"

namespace tapsound {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> visibleWindows() {
    std::istringstream lines(test::capture("xdotool search --onlyvisible --classname tapsound 2>/dev/null"));
    std::vector<std::string> windows;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) windows.push_back(line);
    }
    return windows;
}

struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;
};

Geometry geometryOf(const std::string& window) {
    Geometry g;
    std::istringstream lines(test::capture("xdotool getwindowgeometry --shell " + window));
    for (std::string line; std::getline(lines, line);) {
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq);
        const int value = std::atoi(line.c_str() + eq + 1);
        if (key == "X") g.x = value;
        if (key == "Y") g.y = value;
        if (key == "WIDTH") g.width = value;
        if (key == "HEIGHT") g.height = value;
    }
    return g;
}

template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return condition();
}

// The program in a real tray (IceWM's, an XEmbed tray) under Xvfb.
TEST(Tray, IconOpensTheMenuWhoseSliderSetsTheVolume) {
    test::PrivateSession session;
    ASSERT_TRUE(session.ok()) << session.error();
    const std::string config = session.dir() + "/config";
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    pid_t tray = test::spawn({"icewm"}, session.dir() + "/icewm.log");
    std::this_thread::sleep_for(1500ms);
    pid_t app = test::spawn({TAPSOUND_BINARY, TAPSOUND_EXAMPLE_SET}, session.dir() + "/tapsound.log");

    ASSERT_TRUE(waitUntil([] { return visibleWindows().size() == 1; }, 15s))
        << "no tray icon; log: " << test::readBytes(session.dir() + "/tapsound.log");
    const std::string icon = visibleWindows().front();
    const Geometry iconGeometry = geometryOf(icon);
    EXPECT_GT(iconGeometry.width, 0);
    EXPECT_LE(iconGeometry.width, 64);
    std::this_thread::sleep_for(1000ms);

    EXPECT_EQ(test::run({"xdotool", "mousemove", "--window", icon, "8", "8", "click", "1"}), 0);
    ASSERT_TRUE(waitUntil([] { return visibleWindows().size() == 2; }, 5s));
    std::string menu;
    for (const auto& window : visibleWindows()) {
        if (window != icon) menu = window;
    }
    const Geometry menuGeometry = geometryOf(menu);
    EXPECT_GT(menuGeometry.width, 60);
    EXPECT_GT(menuGeometry.height, 60);
    std::this_thread::sleep_for(300ms);

    // Kept beside the test binary for people to look at.
    const std::string shot = "tray_menu.png";
    ASSERT_EQ(test::run({"import", "-window", "root", "-crop",
                         std::to_string(menuGeometry.width) + "x" + std::to_string(menuGeometry.height) +
                             "+" + std::to_string(menuGeometry.x) + "+" + std::to_string(menuGeometry.y),
                         shot}),
              0);
    const double spread = std::atof(
        test::capture("convert " + shot + " -format '%[fx:standard_deviation]' info:").c_str());
    EXPECT_GT(spread, 0.02) << "the menu looks blank";

    // Scrolling over each row of the menu: only the slider takes the wheel.
    for (int y = 4; y < menuGeometry.height - 4; y += 4) {
        test::run({"xdotool", "mousemove", std::to_string(menuGeometry.x + menuGeometry.width / 2),
                   std::to_string(menuGeometry.y + y), "click", "4"});
    }
    std::this_thread::sleep_for(300ms);
    test::run({"xdotool", "key", "Escape"});
    EXPECT_TRUE(waitUntil([] { return visibleWindows().size() == 1; }, 3s));
    test::stopProcess(app);
    QSettings settings(QString::fromStdString(config + "/tapsound/tapsound.ini"), QSettings::IniFormat);
    EXPECT_GT(settings.value("volume").toDouble(), 0.5);
    test::stopProcess(tray);
}

}  // namespace
}  // namespace tapsound
