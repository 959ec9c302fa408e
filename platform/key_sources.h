#pragma once

#include <chrono>
#include <memory>

#include "platform/key_source.h"

namespace tapsound::platform {

// The key backend for this session, from a short ordered list. TAPSOUND_KEYS ("x11", "evdev")
// overrides the choice; a Wayland session prefers the input devices, an X11 session XInput 2.
// Always gives a source, if only one that cannot observe keys.
std::unique_ptr<KeySource> chooseKeySource();

// What every source lets through: presses beyond what anyone could hear apart (a few hundred a
// second, after a burst as of a hand on the keyboard) are dropped where they are read, so a flood
// of events costs the rest of the program nothing. Releases always pass: a key never stays down.
class PressLimiter {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr double kPerSecond = 400;
    static constexpr double kBurst = 40;

    bool admit(const KeyEvent& key, Clock::time_point now = Clock::now()) {
        return admit(key.pressed, now);
    }
    bool admit(bool pressed, Clock::time_point now = Clock::now());

private:
    double _allowance = kBurst;
    Clock::time_point _last{};
};

}  // namespace tapsound::platform
