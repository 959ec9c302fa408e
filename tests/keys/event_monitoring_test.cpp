#include <gtest/gtest.h>

#include <QSlider>

#include "tests/support/fake_platform.h"

namespace tapsound {
namespace {

using platform::Event;
using platform::EventType;
using test::ControllerRig;

constexpr std::uint64_t kShift = platform::kModifierFlagShift;
constexpr std::uint64_t kCommand = platform::kModifierFlagCommand;
constexpr std::uint64_t kCapsLock = platform::kModifierFlagCapsLock;
constexpr std::uint64_t kFunction = platform::kModifierFlagFunction;

Event keyDown(std::uint16_t code, bool repeat = false, std::uint64_t flags = 0) {
    return Event{EventType::KeyDown, repeat, flags, code};
}
Event flagsChanged(std::uint16_t code, std::uint64_t flags) {
    return Event{EventType::FlagsChanged, false, flags, code};
}

// A trusted run with one sound on every key, monitoring.
struct Monitoring : ::testing::Test {
    void SetUp() override {
        test::writeBytes(rig.dir.file("click.wav"), "sound");
        rig->awakeFromNib();
        rig->applicationDidFinishLaunching();
        rig->openWithFileURL(rig.dir.file("click.wav"));
        ASSERT_TRUE(rig->isMonitoring());
    }
    std::size_t played() const { return rig.player->started.size(); }
    ControllerRig rig;
};

TEST_F(Monitoring, InstallsOneMonitorOfEachKindForKeyDownAndFlagsChanged) {
    EXPECT_EQ(rig.monitor.count(true), 1);
    EXPECT_EQ(rig.monitor.count(false), 1);
    EXPECT_EQ(rig.monitor.masks, (std::vector<std::uint64_t>{0x1400, 0x1400}));
    rig->startEventMonitor();
    rig->startEventMonitor();
    EXPECT_EQ(rig.monitor.installed.size(), 2u);
    rig->endEventMonitor();
    EXPECT_TRUE(rig.monitor.installed.empty());
    EXPECT_FALSE(rig->isMonitoring());
    rig->endEventMonitor();
    EXPECT_EQ(rig.monitor.calls.back(), "removeLocal");
}

TEST_F(Monitoring, HeldLetterSoundsOnceAndReleasesAreSilent) {
    rig.monitor.deliver(keyDown(0));
    rig.monitor.deliver(keyDown(0, true));
    rig.monitor.deliver(keyDown(0, true));
    EXPECT_EQ(played(), 1u);
    rig.monitor.deliver(Event{EventType::KeyUp, false, 0, 0});
    EXPECT_EQ(played(), 1u);
    rig.monitor.deliver(keyDown(0, false, kShift | kCommand));
    EXPECT_EQ(played(), 2u);
}

TEST_F(Monitoring, ModifierChangesSoundWhileACountedModifierIsDown) {
    rig.monitor.deliver(flagsChanged(56, kShift));  // Shift down
    EXPECT_EQ(played(), 1u);
    rig.monitor.deliver(flagsChanged(56, 0));  // Shift up
    EXPECT_EQ(played(), 1u);

    rig.monitor.deliver(flagsChanged(56, kShift));             // Shift down
    rig.monitor.deliver(flagsChanged(55, kShift | kCommand));  // Command down
    rig.monitor.deliver(flagsChanged(55, kShift));             // Command up, Shift still down
    rig.monitor.deliver(flagsChanged(56, 0));                  // Shift up
    EXPECT_EQ(played(), 4u);
}

TEST_F(Monitoring, CapsLockSoundsWhenSwitchedOnOnly) {
    rig.monitor.deliver(flagsChanged(57, kCapsLock));
    EXPECT_EQ(played(), 1u);
    rig.monitor.deliver(flagsChanged(57, 0));
    EXPECT_EQ(played(), 1u);
    rig.monitor.deliver(flagsChanged(57, kShift));
    EXPECT_EQ(played(), 2u);
    // Caps Lock counts only for its own key.
    rig.monitor.deliver(flagsChanged(56, kCapsLock));
    EXPECT_EQ(played(), 2u);
}

TEST_F(Monitoring, FunctionKeyAloneIsSilent) {
    rig.monitor.deliver(flagsChanged(63, kFunction));
    EXPECT_EQ(played(), 0u);
    rig.monitor.deliver(flagsChanged(63, kFunction | kShift));
    EXPECT_EQ(played(), 1u);
}

TEST_F(Monitoring, KeysTypedIntoOurOwnWindowSoundOnceAndPassThrough) {
    const Event typed = keyDown(12, false, kShift);
    rig.monitor.deliver(typed, /*toOwnWindow=*/true);
    EXPECT_EQ(played(), 1u);
    EXPECT_EQ(rig.monitor.lastLocalResult.keyCode, 12);
    EXPECT_EQ(rig.monitor.lastLocalResult.modifierFlags, kShift);
}

TEST(EventMonitoring, NothingIsInstalledWithoutAnEnabledSlider) {
    ControllerRig untrusted(false);
    untrusted->awakeFromNib();
    untrusted->startEventMonitor();
    EXPECT_TRUE(untrusted.monitor.calls.empty());

    ControllerRig empty;
    empty->awakeFromNib();
    ASSERT_FALSE(empty->slider()->isEnabled());
    empty->startEventMonitor();
    EXPECT_TRUE(empty.monitor.calls.empty());
}

TEST(EventMonitoring, OnlyTheMissingMonitorIsInstalledAgain) {
    ControllerRig rig;
    test::writeBytes(rig.dir.file("click.wav"), "sound");
    rig->awakeFromNib();
    rig->openWithFileURL(rig.dir.file("click.wav"));
    EXPECT_NE(rig->globalEventMonitor(), nullptr);
    rig->setGlobalEventMonitor(nullptr);  // as if the platform had returned none
    rig->startEventMonitor();
    EXPECT_EQ(rig.monitor.count(true), 2);  // the missing one is installed again
    EXPECT_EQ(rig.monitor.count(false), 1);
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

TEST(Accessibility, PrivacyPageThatCannotOpenChangesNothing) {
    ControllerRig rig(false);
    rig.workspace.result = false;
    rig->awakeFromNib();
    rig->openPrivacyAccessibility();
    EXPECT_EQ(rig.workspace.opened.size(), 1u);
}

}  // namespace
}  // namespace tapsound
