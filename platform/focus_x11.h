#pragma once

#include <QString>
#include <functional>
#include <memory>

namespace tapsound::platform {

// The window that has the focus on X11: its application (the class name of WM_CLASS) and whether
// it is full screen. Followed by property events on the root window and on that window alone.
class X11Focus {
  public:
    struct Window {
        QString application;  // empty when unknown
        bool fullScreen = false;
    };
    // Nothing without an X server to ask.
    static std::unique_ptr<X11Focus> create(std::function<void(const Window&)> changed);
    virtual ~X11Focus() = default;
};

}  // namespace tapsound::platform
