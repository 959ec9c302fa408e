#include "platform/key_event_monitor.h"

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <utility>

#include "platform/virtual_keys.h"

namespace tapsound::platform {

struct KeyEventMonitor::Installed : Monitor {
    bool global = true;
    std::uint64_t mask = 0;
    std::function<void(const Event&)> globalHandler;
    std::function<Event(const Event&)> localHandler;
};

namespace {

// The flag a modifier key holds down; Caps Lock is a lock, not held.
std::uint64_t modifierFlag(std::uint16_t code) {
    switch (code) {
        case kVK_Shift:
        case kVK_RightShift: return kModifierFlagShift;
        case kVK_Control:
        case kVK_RightControl: return kModifierFlagControl;
        case kVK_Option:
        case kVK_RightOption: return kModifierFlagOption;
        case kVK_Command:
        case kVK_RightCommand: return kModifierFlagCommand;
        case kVK_Function: return kModifierFlagFunction;
        default: return 0;
    }
}

std::uint64_t maskFor(EventType type) { return 1ull << static_cast<unsigned>(type); }

}  // namespace

KeyEventMonitor::KeyEventMonitor(std::unique_ptr<KeySource> source, std::function<bool()> ownsFocus)
    : _source(std::move(source)), _ownsFocus(std::move(ownsFocus)) {
    _stopTimer.setSingleShot(true);
    QObject::connect(&_stopTimer, &QTimer::timeout, [this] { stopSource(); });
}

KeyEventMonitor::~KeyEventMonitor() {
    if (_running && _source) _source->stop();
}

MonitorToken KeyEventMonitor::addGlobalMonitorForEventsMatchingMask(
    std::uint64_t mask, std::function<void(const Event&)> handler) {
    auto monitor = std::make_shared<Installed>();
    monitor->global = true;
    monitor->mask = mask;
    monitor->globalHandler = std::move(handler);
    return add(std::move(monitor));
}

MonitorToken KeyEventMonitor::addLocalMonitorForEventsMatchingMask(
    std::uint64_t mask, std::function<Event(const Event&)> handler) {
    auto monitor = std::make_shared<Installed>();
    monitor->global = false;
    monitor->mask = mask;
    monitor->localHandler = std::move(handler);
    return add(std::move(monitor));
}

MonitorToken KeyEventMonitor::add(std::shared_ptr<Installed> monitor) {
    if (!_source) return nullptr;
    _stopTimer.stop();
    if (!_running) {
        _held.fill(false);
        _pressSeen.fill(false);
        _buttonPressSeen.fill(false);
        _buttonsAsked = false;
        _running = _source->start([this](const KeyEvent& key) { handleKeyEvent(key); });
        if (!_running) return nullptr;
    }
    _monitors.push_back(monitor);
    askForButtons();
    return monitor;
}

void KeyEventMonitor::askForButtons() {
    bool wanted = false;
    for (const auto& monitor : _monitors)
        wanted = wanted || (monitor->mask & kEventMaskMouseButtons);
    if (!_running || wanted == _buttonsAsked) return;
    _buttonsAsked = wanted;
    _buttonPressSeen.fill(false);
    _source->setButtonHandler(wanted ? std::function<void(const ButtonEvent&)>(
                                           [this](const ButtonEvent& b) { handleButtonEvent(b); })
                                     : nullptr);
}

void KeyEventMonitor::removeMonitor(const MonitorToken& monitor) {
    const auto found = std::find_if(_monitors.begin(), _monitors.end(),
                                    [&](const auto& m) { return m == monitor; });
    if (found == _monitors.end()) return;
    _monitors.erase(found);
    if (_monitors.empty() && _running) {
        // Stopped once the event loop turns: monitors replaced in one go (a set being swapped)
        // keep the source listening, so no press falls into a gap between two connections.
        if (QCoreApplication::instance()) {
            _stopTimer.start(0);
        } else {
            stopSource();
        }
        return;
    }
    askForButtons();
}

void KeyEventMonitor::stopSource() {
    if (!_running || !_monitors.empty()) return;
    _source->stop();
    _running = false;
}

void KeyEventMonitor::handleButtonEvent(const ButtonEvent& button) {
    if (button.button >= _buttonPressSeen.size()) return;
    const bool seen = std::exchange(_buttonPressSeen[button.button], button.pressed);
    if (!button.pressed && !seen) return;  // pressed before we listened
    constexpr EventType kDown[] = {EventType::LeftMouseDown, EventType::RightMouseDown,
                                   EventType::OtherMouseDown};
    constexpr EventType kUp[] = {EventType::LeftMouseUp, EventType::RightMouseUp,
                                 EventType::OtherMouseUp};
    const std::size_t kind = std::min<std::size_t>(button.button, 2);
    const EventType type = button.pressed ? kDown[kind] : kUp[kind];
    Event event{type, false, currentFlags(), 0};
    event.buttonNumber = button.button;
    event.pointerX = button.pointerX;
    deliver(event);
}

std::uint64_t KeyEventMonitor::currentFlags() const {
    std::uint64_t flags = _capsLock ? kModifierFlagCapsLock : 0;
    for (std::size_t code = 0; code < _held.size(); ++code) {
        if (_held[code]) flags |= modifierFlag(static_cast<std::uint16_t>(code));
    }
    return flags;
}

void KeyEventMonitor::handleKeyEvent(const KeyEvent& key) {
    if (key.keyCode >= _held.size()) return;
    bool& held = _held[key.keyCode];
    bool& pressSeen = _pressSeen[key.keyCode];
    const auto released = [&] {
        held = false;
        if (!std::exchange(pressSeen, false)) return;  // pressed before we listened
        deliver(Event{EventType::KeyUp, false, currentFlags(), key.keyCode});
    };
    if (key.keyCode == kVK_CapsLock) {
        // One flags-changed per toggle, on the press; the release changes no flag.
        if (key.pressed && !key.autoRepeat && !held) {
            held = pressSeen = true;
            _capsLock = key.capsLockOn.value_or(!_capsLock);
            deliver(Event{EventType::FlagsChanged, false, currentFlags(), key.keyCode});
        } else if (!key.pressed) {
            if (key.capsLockOn) _capsLock = *key.capsLockOn;
            released();
        }
        return;
    }
    if (modifierFlag(key.keyCode)) {
        if (key.pressed == held) return;  // a modifier's repeats change nothing
        held = key.pressed;
        deliver(Event{EventType::FlagsChanged, false, currentFlags(), key.keyCode});
        if (!key.pressed) deliver(Event{EventType::KeyUp, false, currentFlags(), key.keyCode});
        return;
    }
    if (!key.pressed) {
        released();
        return;
    }
    const bool repeat = key.autoRepeat || held;
    if (!repeat) pressSeen = true;
    held = true;
    deliver(Event{EventType::KeyDown, repeat, currentFlags(), key.keyCode});
}

void KeyEventMonitor::deliver(const Event& event) {
    const bool local = _ownsFocus && _ownsFocus();
    // A handler may remove monitors while it runs.
    const auto monitors = _monitors;
    for (const auto& monitor : monitors) {
        if (monitor->global == local || !(monitor->mask & maskFor(event.type))) continue;
        if (monitor->global) {
            monitor->globalHandler(event);
        } else {
            monitor->localHandler(event);
        }
    }
}

}  // namespace tapsound::platform
