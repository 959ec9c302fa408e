#include "platform/key_sources.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/key_source_evdev.h"
#include "platform/key_source_x11.h"

namespace tapsound::platform {

namespace {

struct Backend {
    const char* name;
    std::function<bool()> canRunHere;
    std::function<std::unique_ptr<KeySource>()> create;
    bool preferredOnWayland;
};

const std::vector<Backend>& backends() {
    static const std::vector<Backend> list = {
        {"x11", [] { return X11KeySource::canRunHere(); },
         [] { return std::make_unique<X11KeySource>(); }, false},
        {"evdev", [] { return EvdevKeySource::canRunHere(); },
         [] { return std::make_unique<EvdevKeySource>(); }, true},
    };
    return list;
}

}  // namespace

std::unique_ptr<KeySource> chooseKeySource() {
    const auto& list = backends();
    if (const char* chosen = std::getenv("TAPSOUND_KEYS"); chosen && *chosen) {
        for (const auto& backend : list) {
            if (std::strcmp(backend.name, chosen) == 0) return backend.create();
        }
    }
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (wayland && *wayland) {
        for (const auto& backend : list) {
            if (backend.preferredOnWayland && backend.canRunHere()) return backend.create();
        }
    }
    for (const auto& backend : list) {
        if (backend.canRunHere()) return backend.create();
    }
    return list.front().create();
}

bool PressLimiter::admit(bool pressed, Clock::time_point now) {
    if (!pressed) return true;
    const double seconds = std::chrono::duration<double>(now - _last).count();
    _last = now;
    _allowance = std::min(kBurst, _allowance + std::max(0.0, seconds) * kPerSecond);
    if (_allowance < 1) return false;
    _allowance -= 1;
    return true;
}

}  // namespace tapsound::platform
