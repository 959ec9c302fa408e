#include "platform/focus.h"

#include <cstdlib>
#include <vector>

#include "platform/focus_wayland.h"
#include "platform/focus_x11.h"

namespace tapsound::platform {

namespace {

bool waylandSession() {
    const char* display = std::getenv("WAYLAND_DISPLAY");
    return display && *display;
}

struct Backend {
    bool (*canRunHere)();
    std::unique_ptr<WindowFocus> (*create)(WindowFocus::Changed);
};

const std::vector<Backend>& backends() {
    static const std::vector<Backend> list = {
        {waylandSession,
         [](WindowFocus::Changed changed) -> std::unique_ptr<WindowFocus> {
             return WaylandFocus::create(std::move(changed));
         }},
        {[] { return !waylandSession(); },
         [](WindowFocus::Changed changed) -> std::unique_ptr<WindowFocus> {
             return X11Focus::create(std::move(changed));
         }},
    };
    return list;
}

}  // namespace

std::unique_ptr<WindowFocus> chooseWindowFocus(WindowFocus::Changed changed) {
    for (const auto& backend : backends()) {
        if (backend.canRunHere()) return backend.create(std::move(changed));
    }
    return nullptr;
}

}  // namespace tapsound::platform
