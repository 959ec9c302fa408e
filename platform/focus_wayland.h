#pragma once

#include <memory>

#include "platform/focus.h"

namespace tapsound::platform {

// The focused toplevel of a Wayland compositor that offers wlr-foreign-toplevel-management
// (sway, Hyprland, labwc and others): its app_id and whether it is full screen, told by the
// compositor's events on a connection of our own.
class WaylandFocus : public WindowFocus {
  public:
    // Nothing without a compositor, or one that does not tell of its toplevels.
    static std::unique_ptr<WaylandFocus> create(Changed changed);
};

}  // namespace tapsound::platform
