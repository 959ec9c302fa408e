#include "platform/key_event_monitor.h"

#include <gtest/gtest.h>

#include "platform/virtual_keys.h"
#include "tests/support/fake_platform.h"

namespace tapsound::platform {
namespace {

constexpr std::uint64_t kBoth = kEventMaskKeyDown | kEventMaskFlagsChanged;

TEST(KeyEventMonitor, TheSourceRunsWhileAMonitorIsInstalledAndHandlersMayRemoveMonitors) {
    auto owned = std::make_unique<test::FakeKeySource>();
    auto& source = *owned;
    KeyEventMonitor monitor(std::move(owned), nullptr);
    std::vector<Event> heard;
    auto first = monitor.addGlobalMonitorForEventsMatchingMask(
        kBoth, [&](const Event& e) { heard.push_back(e); });
    auto second =
        monitor.addGlobalMonitorForEventsMatchingMask(kEventMaskKeyDown, [&](const Event&) {
            monitor.removeMonitor(first);  // while events are being delivered
        });
    EXPECT_EQ(source.starts, 1);
    source.press(kVK_Shift);  // flags-changed: not for the second monitor's mask
    source.press(6);
    source.press(7);
    EXPECT_EQ(heard.size(), 2u);
    monitor.removeMonitor(nullptr);
    monitor.removeMonitor(first);  // twice is harmless
    EXPECT_EQ(source.stops, 0);
    monitor.removeMonitor(second);
    EXPECT_EQ(source.stops, 1);
    EXPECT_FALSE(monitor.isSourceRunning());

    source.startable = false;
    EXPECT_EQ(monitor.addGlobalMonitorForEventsMatchingMask(kBoth, [](const Event&) {}), nullptr);
    KeyEventMonitor none(nullptr, nullptr);
    EXPECT_EQ(none.addGlobalMonitorForEventsMatchingMask(kBoth, [](const Event&) {}), nullptr);
}

}  // namespace
}  // namespace tapsound::platform
