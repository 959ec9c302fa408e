#pragma once

#include <memory>

#include "platform/key_source.h"

namespace tapsound::platform {

// The key backend for this session, from a short ordered list. TAPSOUND_KEYS ("x11", "evdev")
// overrides the choice; a Wayland session prefers the input devices, an X11 session XInput 2.
// Always gives a source, if only one that cannot observe keys.
std::unique_ptr<KeySource> chooseKeySource();

}  // namespace tapsound::platform
