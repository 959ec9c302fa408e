#include <gtest/gtest.h>

#include "platform/key_event_monitor.h"
#include "platform/virtual_keys.h"

namespace tapsound::platform {
namespace {

class FakeKeySource : public KeySource {
public:
    std::string name() const override { return "fake"; }
    bool canObserveKeys() override { return true; }
    bool start(std::function<void(const KeyEvent&)> handler) override {
        ++starts;
        this->handler = std::move(handler);
        return startable;
    }
    void stop() override {
        ++stops;
        handler = nullptr;
    }
    void press(std::uint16_t code, bool repeat = false) { handler({code, true, repeat, {}}); }
    void release(std::uint16_t code) { handler({code, false, false, {}}); }

    std::function<void(const KeyEvent&)> handler;
    int starts = 0, stops = 0;
    bool startable = true;
};

constexpr std::uint64_t kBoth = kEventMaskKeyDown | kEventMaskFlagsChanged;

struct Monitor : ::testing::Test {
    void SetUp() override {
        auto fake = std::make_unique<FakeKeySource>();
        source = fake.get();
        monitor = std::make_unique<KeyEventMonitor>(std::move(fake), [this] { return focused; });
        global = monitor->addGlobalMonitorForEventsMatchingMask(
            kBoth, [this](const Event& e) { globalEvents.push_back(e); });
        local = monitor->addLocalMonitorForEventsMatchingMask(kBoth, [this](const Event& e) {
            localEvents.push_back(e);
            return e;
        });
    }
    FakeKeySource* source = nullptr;
    std::unique_ptr<KeyEventMonitor> monitor;
    MonitorToken global, local;
    std::vector<Event> globalEvents, localEvents;
    bool focused = false;
};

TEST_F(Monitor, HeldLetterIsOnePressThenRepeats) {
    source->press(0x00);
    source->press(0x00, true);
    source->press(0x00);  // a second press without a release is a repeat too
    source->release(0x00);
    source->press(0x00);
    ASSERT_EQ(globalEvents.size(), 4u);
    EXPECT_EQ(globalEvents[0].type, EventType::KeyDown);
    EXPECT_FALSE(globalEvents[0].isARepeat);
    EXPECT_TRUE(globalEvents[1].isARepeat);
    EXPECT_TRUE(globalEvents[2].isARepeat);
    EXPECT_FALSE(globalEvents[3].isARepeat);
}

TEST_F(Monitor, ModifiersReportTheirFlagsAfterTheChange) {
    source->press(kVK_Shift);
    source->press(kVK_Shift, true);  // a held modifier's repeats say nothing
    source->press(kVK_Command);
    source->press(0x01);
    source->release(kVK_Command);
    source->release(kVK_Shift);
    source->press(kVK_RightOption);
    source->press(kVK_RightControl);
    source->press(kVK_Function);
    ASSERT_EQ(globalEvents.size(), 8u);
    const std::uint64_t shift = kModifierFlagShift, command = kModifierFlagCommand;
    EXPECT_EQ(globalEvents[0].type, EventType::FlagsChanged);
    EXPECT_EQ(globalEvents[0].keyCode, kVK_Shift);
    EXPECT_EQ(globalEvents[0].modifierFlags, shift);
    EXPECT_EQ(globalEvents[1].modifierFlags, shift | command);
    EXPECT_EQ(globalEvents[2].type, EventType::KeyDown);
    EXPECT_EQ(globalEvents[2].modifierFlags, shift | command);
    EXPECT_EQ(globalEvents[3].keyCode, kVK_Command);
    EXPECT_EQ(globalEvents[3].modifierFlags, shift);
    EXPECT_EQ(globalEvents[4].modifierFlags, 0u);
    EXPECT_EQ(globalEvents[5].modifierFlags, kModifierFlagOption);
    EXPECT_EQ(globalEvents[6].modifierFlags, kModifierFlagOption | kModifierFlagControl);
    EXPECT_EQ(globalEvents[7].modifierFlags,
              kModifierFlagOption | kModifierFlagControl | kModifierFlagFunction);
}

TEST_F(Monitor, CapsLockTogglesOnPressOnly) {
    source->press(kVK_CapsLock);
    source->release(kVK_CapsLock);
    source->press(kVK_CapsLock);
    source->release(kVK_CapsLock);
    source->handler({kVK_CapsLock, true, false, true});  // the backend knows the lock is on
    ASSERT_EQ(globalEvents.size(), 3u);
    EXPECT_EQ(globalEvents[0].keyCode, kVK_CapsLock);
    EXPECT_EQ(globalEvents[0].modifierFlags, kModifierFlagCapsLock);
    EXPECT_EQ(globalEvents[1].modifierFlags, 0u);
    EXPECT_EQ(globalEvents[2].modifierFlags, kModifierFlagCapsLock);
    source->press(0x02);
    EXPECT_EQ(globalEvents.back().modifierFlags, kModifierFlagCapsLock);
}

TEST_F(Monitor, EachEventGoesEitherToOurWindowsOrToOthers) {
    source->press(0x03);
    focused = true;
    source->press(0x04);
    EXPECT_EQ(globalEvents.size(), 1u);
    ASSERT_EQ(localEvents.size(), 1u);
    EXPECT_EQ(localEvents[0].keyCode, 0x04);
}

TEST_F(Monitor, SourceRunsOnlyWhileMonitored) {
    EXPECT_EQ(source->starts, 1);
    monitor->removeMonitor(global);
    EXPECT_EQ(source->stops, 0);
    monitor->removeMonitor(nullptr);
    monitor->removeMonitor(global);  // twice is harmless
    monitor->removeMonitor(local);
    EXPECT_EQ(source->stops, 1);
    EXPECT_FALSE(monitor->isSourceRunning());
    global = monitor->addGlobalMonitorForEventsMatchingMask(kEventMaskKeyDown, [](const Event&) {});
    EXPECT_EQ(source->starts, 2);
}

TEST_F(Monitor, AHandlerMayRemoveMonitorsWhileEventsAreDelivered) {
    auto second = monitor->addGlobalMonitorForEventsMatchingMask(kBoth, [this](const Event&) {
        monitor->removeMonitor(global);
        monitor->removeMonitor(local);
    });
    source->press(0x05);
    monitor->removeMonitor(second);
    EXPECT_EQ(source->stops, 1);
}

TEST_F(Monitor, MasksSelectTheEventTypes) {
    std::vector<Event> onlyKeys;
    monitor->removeMonitor(global);
    global = monitor->addGlobalMonitorForEventsMatchingMask(
        kEventMaskKeyDown, [&](const Event& e) { onlyKeys.push_back(e); });
    source->press(kVK_Shift);
    source->press(0x06);
    ASSERT_EQ(onlyKeys.size(), 1u);
    EXPECT_EQ(onlyKeys[0].type, EventType::KeyDown);
}

TEST(KeyEventMonitor, ASourceThatCannotStartInstallsNothing) {
    auto fake = std::make_unique<FakeKeySource>();
    fake->startable = false;
    KeyEventMonitor monitor(std::move(fake), nullptr);
    EXPECT_EQ(monitor.addGlobalMonitorForEventsMatchingMask(kBoth, [](const Event&) {}), nullptr);
    KeyEventMonitor none(nullptr, nullptr);
    EXPECT_EQ(none.addGlobalMonitorForEventsMatchingMask(kBoth, [](const Event&) {}), nullptr);
}

}  // namespace
}  // namespace tapsound::platform
