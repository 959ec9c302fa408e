// Keys typed with xdotool into another client's window, heard by the controller through XInput 2.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <thread>

#include "platform/key_source_x11.h"
#include "tests/support/fake_platform.h"
#include "tests/support/private_session.h"

namespace tapsound::test {
namespace {

using namespace std::chrono_literals;

class X11Keys : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(session.ok()) << session.error();
        ASSERT_TRUE(window.ok());
        rig->awakeFromNib();
        rig->applicationDidFinishLaunching();
        rig.openOneSoundPerKey();
        ASSERT_TRUE(rig->isMonitoring() && rig.monitor.isSourceRunning());
    }
    // The key codes played after the xdotool command, once the event loop has read what came.
    std::vector<int> playedAfter(const std::string& xdotool) {
        EXPECT_EQ(run({"sh", "-c", xdotool}), 0);
        const auto until = std::chrono::steady_clock::now() + 400ms;
        while (std::chrono::steady_clock::now() < until) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            std::this_thread::sleep_for(5ms);
        }
        return rig.played();
    }

    PrivateSession session{{.display = true, .audio = false}};
    FocusedWindow window;
    ControllerRig rig{true, {}, std::make_unique<platform::X11KeySource>()};
};

TEST_F(X11Keys, EachKeyTypedIntoAnotherProgramPlaysOnceByItsPhysicalKey) {
    const struct {
        const char* xdotool;
        std::vector<int> played;
    } cases[] = {
        // h e l l o space w o r l d
        {"xdotool type --delay 40 'hello world'", {4, 14, 37, 37, 31, 49, 13, 31, 15, 37, 2}},
        // Held past the server's auto-repeat delay: the repeats and the release are not heard.
        {"xdotool keydown a && sleep 1.2 && xdotool keyup a", {0}},
        // Shift down sounds, then the letter; letting go of Shift is silent.
        {"xdotool key shift+a", {56, 0}},
        {"xdotool key Caps_Lock", {57}},  // switched on
        {"xdotool key Caps_Lock", {}},    // switched off
    };
    for (const auto& c : cases) EXPECT_EQ(playedAfter(c.xdotool), c.played) << c.xdotool;
    // Nothing is heard once monitoring ends: the source stops reading keys.
    rig->endEventMonitor();
    EXPECT_EQ(playedAfter("xdotool type --delay 20 dead"), std::vector<int>{});
    rig->startEventMonitor();
    EXPECT_EQ(playedAfter("xdotool type --delay 20 do"), (std::vector<int>{2, 31}));
    EXPECT_GE(window.drainKeyPresses(), 23)
        << "the keys, a repeat too, must still reach their program";
}

}  // namespace
}  // namespace tapsound::test
