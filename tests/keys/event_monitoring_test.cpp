// What the key backend reports, through the key event monitor and the controller's filter, to the
// sound of each key.
#include <gtest/gtest.h>

#include <QSlider>

#include "platform/virtual_keys.h"
#include "tests/support/fake_platform.h"

namespace tapsound {
namespace {

using namespace platform;
using test::ControllerRig;

KeyEvent down(std::uint16_t code, bool repeat = false) { return {code, true, repeat, {}}; }
KeyEvent up(std::uint16_t code) { return {code, false, false, {}}; }

// A trusted run with one sound of its own on every key, monitoring.
struct Monitoring : ::testing::Test {
    void SetUp() override {
        rig->awakeFromNib();
        rig->applicationDidFinishLaunching();
        rig.openOneSoundPerKey();
        ASSERT_TRUE(rig->isMonitoring());
    }
    std::vector<int> played(const std::vector<KeyEvent>& keys) {
        for (const auto& key : keys) rig.keys->handler(key);
        return rig.played();
    }
    ControllerRig rig;
};

TEST_F(Monitoring, PressesAndModifierChangesThatLeaveACountedModifierDownPlay) {
    const struct {
        const char* what;
        std::vector<KeyEvent> keys;
        std::vector<int> played;
    } cases[] = {
        {"a held letter sounds once; a press without a release is a repeat too",
         {down(0), down(0, true), down(0), up(0), down(0), up(0)},
         {0, 0}},
        {"modifiers sound going down, and going up while a counted one stays down",
         {down(kVK_Shift), down(kVK_Shift, true), down(kVK_Command), down(1), up(1),
          up(kVK_Command), up(kVK_Shift)},
         {kVK_Shift, kVK_Command, 1, kVK_Command}},
        {"right-side modifiers count; Function alone does not",
         {down(kVK_Function), up(kVK_Function), down(kVK_RightOption), down(kVK_Function),
          up(kVK_Function), up(kVK_RightOption), down(kVK_RightControl), up(kVK_RightControl)},
         {kVK_RightOption, kVK_Function, kVK_Function, kVK_RightControl}},
        {"Caps Lock sounds when switched on, as the backend knows it, and counts for itself only",
         {down(kVK_CapsLock),
          up(kVK_CapsLock),
          down(kVK_CapsLock),
          up(kVK_CapsLock),
          {kVK_CapsLock, true, false, true},
          up(kVK_CapsLock),
          down(kVK_Shift),
          up(kVK_Shift),
          down(kVK_CapsLock),
          up(kVK_CapsLock)},
         {kVK_CapsLock, kVK_CapsLock, kVK_Shift}},
    };
    for (const auto& c : cases) EXPECT_EQ(played(c.keys), c.played) << c.what;
}

TEST_F(Monitoring, KeysTypedIntoOurOwnWindowSoundOnce) {
    rig.focused = true;
    EXPECT_EQ(played({down(12), up(12)}), std::vector<int>{12});
}

TEST_F(Monitoring, TheKeySourceRunsOnlyWhileMonitoredAndMonitorsAreInstalledOnce) {
    rig->startEventMonitor();
    EXPECT_EQ(played({down(3)}), std::vector<int>{3});
    rig->endEventMonitor();
    rig->endEventMonitor();
    EXPECT_FALSE(rig->isMonitoring());
    EXPECT_EQ(rig.keys->stops, 1);
    rig->startEventMonitor();
    EXPECT_EQ(rig.keys->starts, 2);
    rig->applicationWillTerminate();
    EXPECT_EQ(rig.keys->stops, 2);
}

TEST(EventMonitoring, NothingIsInstalledWithoutAnEnabledSliderOrAKeySource) {
    for (bool trusted : {false, true}) {
        ControllerRig rig(trusted);
        rig->awakeFromNib();  // trusted, but nothing loaded: the slider is disabled
        rig->startEventMonitor();
        EXPECT_EQ(rig.keys->starts, 0);
    }
    ControllerRig rig;
    rig.keys->startable = false;  // as where no keyboard can be read
    rig->awakeFromNib();
    test::writeBytes(rig.dir.file("click.wav"), "sound");
    rig->openWithFileURL(rig.dir.file("click.wav"));
    EXPECT_FALSE(rig->isMonitoring());
    rig.keys->startable = true;
    rig->startEventMonitor();  // a later start tries again
    EXPECT_TRUE(rig->isMonitoring());
}

TEST(Accessibility, SampledOncePerLaunchWithPrompt) {
    ControllerRig rig(false);
    rig->awakeFromNib();
    rig.accessibility.trusted = true;  // granted after launch: the run stays untrusted
    rig->applicationDidFinishLaunching();
    EXPECT_EQ(rig.accessibility.calls, 1);
    EXPECT_FALSE(rig->isAccessibilityEnabled());
    test::writeBytes(rig.dir.file("click.wav"), "sound");
    rig->applicationOpenFile(rig.dir.file("click.wav"));
    rig->applicationOpenFile(rig.dir.file("click.wav"));
    EXPECT_FALSE(rig->isMonitoring());
}

}  // namespace
}  // namespace tapsound
