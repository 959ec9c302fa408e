#pragma once

#include <chrono>

namespace tapsound {

// Tells a key pressed twice within half a second; a third press starts a new pair.
class DoublePress {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kWithin{500};

    bool press(Clock::time_point now = Clock::now()) {
        const bool second = _armed && now >= _first && now - _first <= kWithin;
        _armed = !second;
        _first = now;
        return second;
    }

  private:
    bool _armed = false;
    Clock::time_point _first{};
};

}  // namespace tapsound
