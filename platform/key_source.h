#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tapsound::platform {

// The one thing a key backend reports: a physical key went down or up.
struct KeyEvent {
    std::uint16_t keyCode = 0;  // virtual key code
    bool pressed = false;
    bool autoRepeat = false;              // the backend itself knows this press repeats
    std::optional<bool> capsLockOn;       // the lock state after this event, when the backend knows it
};

// A mouse button went down or up.
struct ButtonEvent {
    std::uint8_t button = 0;  // as Event::buttonNumber
    bool pressed = false;
    float pointerX = -1;  // as Event::pointerX
};

class KeySource {
public:
    virtual ~KeySource() = default;
    virtual std::string name() const = 0;
    // Whether keys typed into other programs can be observed here and now.
    virtual bool canObserveKeys() = 0;
    // Delivers events on the main thread through the Qt event loop; false when it cannot start.
    virtual bool start(std::function<void(const KeyEvent&)> handler) = 0;
    virtual void stop() = 0;
    // While running, mouse buttons too; a null handler asks for none, as a start or stop does.
    // Sources that cannot tell buttons ignore it.
    virtual void setButtonHandler(std::function<void(const ButtonEvent&)> handler) {
        (void)handler;
    }
};

}  // namespace tapsound::platform
