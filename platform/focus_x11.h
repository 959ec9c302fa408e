#pragma once

#include <memory>

#include "platform/focus.h"

namespace tapsound::platform {

// The window that has the focus on X11: its application (the class name of WM_CLASS) and whether
// it is full screen. Followed by property events on the root window and on that window alone.
class X11Focus : public WindowFocus {
  public:
    // Nothing without an X server to ask.
    static std::unique_ptr<X11Focus> create(Changed changed);
};

}  // namespace tapsound::platform
