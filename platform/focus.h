#pragma once

#include <QString>
#include <functional>
#include <memory>

namespace tapsound::platform {

// The window that has the focus, as the desktop tells it: its application and whether it is full
// screen. Each backend follows the desktop's own change events; nothing is polled.
class WindowFocus {
  public:
    struct Window {
        QString application;  // empty when unknown
        bool fullScreen = false;
    };
    using Changed = std::function<void(const Window&)>;
    virtual ~WindowFocus() = default;
};

// The backend for this session, chosen as the key sources are (a Wayland session's X server
// tells only of X11 programs' windows); nothing where the desktop does not tell.
std::unique_ptr<WindowFocus> chooseWindowFocus(WindowFocus::Changed changed);

}  // namespace tapsound::platform
