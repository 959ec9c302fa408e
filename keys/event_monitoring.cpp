#include <QSlider>

#include "app/app_delegate.h"

namespace tapsound {

namespace {
constexpr std::uint64_t kMonitoredEvents =
    platform::kEventMaskKeyDown | platform::kEventMaskFlagsChanged;  // 0x1400
constexpr std::uint64_t kFourModifiers = platform::kModifierFlagShift |
                                         platform::kModifierFlagControl |
                                         platform::kModifierFlagOption |
                                         platform::kModifierFlagCommand;  // 0x1E0000
constexpr std::uint64_t kCapsLockModifiers = kFourModifiers | platform::kModifierFlagCapsLock;
constexpr std::uint16_t kCapsLockKeyCode = 57;
}  // namespace

void AppDelegate::startEventMonitor() {
    if (!_slider || !_slider->isEnabled()) return;
    // Releases are asked for only when the set has sounds for them, so without such sounds the
    // filter sees exactly the events it always did.
    // Likewise clicks: without sounds for them, the server is not even asked for them.
    const std::uint64_t mask = kMonitoredEvents |
                               (anySlotFilled(_keyUpArray) ? platform::kEventMaskKeyUp : 0) |
                               (hearsClicks() ? platform::kEventMaskMouseButtons : 0);
    if (!_globalEventMonitor) {
        _globalEventMonitor = _platform.eventMonitor.addGlobalMonitorForEventsMatchingMask(
            mask, [this](const platform::Event& event) { doKeyDownEvent(event); });
    }
    if (!_localEventMonitor) {
        _localEventMonitor = _platform.eventMonitor.addLocalMonitorForEventsMatchingMask(
            mask, [this](const platform::Event& event) {
                doKeyDownEvent(event);
                return event;
            });
    }
}

void AppDelegate::endEventMonitor() {
    if (_globalEventMonitor) {
        _platform.eventMonitor.removeMonitor(_globalEventMonitor);
        _globalEventMonitor.reset();
    }
    if (_localEventMonitor) {
        _platform.eventMonitor.removeMonitor(_localEventMonitor);
        _localEventMonitor.reset();
    }
}

void AppDelegate::doKeyDownEvent(const platform::Event& event) {
    if (platform::isMouseButtonEvent(event.type)) {
        const bool down = event.type == platform::EventType::LeftMouseDown ||
                          event.type == platform::EventType::RightMouseDown ||
                          event.type == platform::EventType::OtherMouseDown;
        playButtonSound(event.buttonNumber, down, event.pointerX);
        return;
    }
    if (event.type == platform::EventType::KeyUp) {
        playKeyUpSoundWithKeyCode(static_cast<int>(event.keyCode));
        return;
    }
    if (event.type == platform::EventType::KeyDown) {
        if (event.isARepeat) return;
        // Scroll Lock (0x6B) twice in half a second toggles Mute: heard like any key, never grabbed.
        if (event.keyCode == 0x6B && _scrollLockPresses.press()) toggleMute();
    } else {
        const std::uint64_t mask =
            event.keyCode == kCapsLockKeyCode ? kCapsLockModifiers : kFourModifiers;
        if ((event.modifierFlags & mask) == 0) return;
    }
    playSoundWithKeyCode(static_cast<int>(event.keyCode));
}

}  // namespace tapsound
