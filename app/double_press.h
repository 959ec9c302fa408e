#pragma once

#include <chrono>
#include <optional>

namespace tapsound {

// Tells a key pressed twice within half a second; a third press starts a new pair.
class DoublePress {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kWithin{500};

    bool press(Clock::time_point now = Clock::now()) {
        if (_first && now - *_first <= kWithin && now >= *_first) {
            _first.reset();
            return true;
        }
        _first = now;
        return false;
    }

  private:
    std::optional<Clock::time_point> _first;
};

}  // namespace tapsound
