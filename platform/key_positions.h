#pragma once

namespace tapsound::platform {

// Where the key of this virtual key code sits across a full-size PC keyboard, as a pan from -1
// (left) to 1 (right): the space bar in the middle, the main block within ±0.75 and the
// navigation block and keypad further right. 0 for codes that name no key.
float keyPosition(int virtualKeyCode);

}  // namespace tapsound::platform
