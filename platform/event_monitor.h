#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace tapsound::platform {

enum class EventType : std::uint8_t {
    LeftMouseDown = 1,
    LeftMouseUp = 2,
    RightMouseDown = 3,
    RightMouseUp = 4,
    KeyDown = 10,
    KeyUp = 11,
    FlagsChanged = 12,
    OtherMouseDown = 25,
    OtherMouseUp = 26,
};

inline constexpr std::uint64_t kEventMaskKeyDown = 1ull << 10;
inline constexpr std::uint64_t kEventMaskKeyUp = 1ull << 11;
inline constexpr std::uint64_t kEventMaskFlagsChanged = 1ull << 12;
inline constexpr std::uint64_t kEventMaskMouseButtons =
    (1ull << 1) | (1ull << 2) | (1ull << 3) | (1ull << 4) | (1ull << 25) | (1ull << 26);

inline constexpr std::uint64_t kModifierFlagCapsLock = 1ull << 16;
inline constexpr std::uint64_t kModifierFlagShift = 1ull << 17;
inline constexpr std::uint64_t kModifierFlagControl = 1ull << 18;
inline constexpr std::uint64_t kModifierFlagOption = 1ull << 19;
inline constexpr std::uint64_t kModifierFlagCommand = 1ull << 20;
inline constexpr std::uint64_t kModifierFlagNumericPad = 1ull << 21;
inline constexpr std::uint64_t kModifierFlagHelp = 1ull << 22;
inline constexpr std::uint64_t kModifierFlagFunction = 1ull << 23;

// A key-down, key-up, modifier-change or mouse button event, as the backends synthesise it.
struct Event {
    EventType type = EventType::KeyDown;
    bool isARepeat = false;
    std::uint64_t modifierFlags = 0;  // after the change, for a flags-changed event
    std::uint16_t keyCode = 0;        // virtual key code
    // Mouse buttons: 0 left, 1 right, 2 middle, 3 back, 4 forward, then side, extra, task.
    std::uint8_t buttonNumber = 0;
    float pointerX = -1;  // across the screen, 0 left edge to 1 right edge; -1 unknown
};

inline bool isMouseButtonEvent(EventType type) {
    return (kEventMaskMouseButtons >> static_cast<unsigned>(type)) & 1;
}

// What an installed monitor returns; dropping the last reference does not remove it.
class Monitor {
public:
    virtual ~Monitor() = default;
};
using MonitorToken = std::shared_ptr<Monitor>;

class EventMonitor {
public:
    virtual ~EventMonitor() = default;
    // Events that go to other applications; the handler cannot change them. Null when not installed.
    virtual MonitorToken addGlobalMonitorForEventsMatchingMask(
        std::uint64_t mask, std::function<void(const Event&)> handler) = 0;
    // Events that go to our own windows, before they are dispatched.
    virtual MonitorToken addLocalMonitorForEventsMatchingMask(
        std::uint64_t mask, std::function<Event(const Event&)> handler) = 0;
    virtual void removeMonitor(const MonitorToken& monitor) = 0;
};

}  // namespace tapsound::platform
