#include "platform/key_positions.h"

#include <array>

namespace tapsound::platform {

namespace {

// Key centres in key widths from the keyboard's left edge: a 104-key layout, Mac keys where an
// Apple extended keyboard has them and JIS keys beside the keys they share a row with.
constexpr float kNone = -1.0f;

constexpr std::array<float, 128> kCentres = [] {
    std::array<float, 128> x{};
    for (float& centre : x) centre = kNone;
    // Letters and the number row, by row.
    x[0x32] = 0.5f;  // `
    x[0x12] = 1.5f, x[0x13] = 2.5f, x[0x14] = 3.5f, x[0x15] = 4.5f, x[0x17] = 5.5f;
    x[0x16] = 6.5f, x[0x1A] = 7.5f, x[0x1C] = 8.5f, x[0x19] = 9.5f, x[0x1D] = 10.5f;
    x[0x1B] = 11.5f, x[0x18] = 12.5f;
    x[0x5D] = 13.5f;  // JIS Yen, right of =
    x[0x33] = 14.0f;  // Backspace
    x[0x30] = 0.75f;  // Tab
    x[0x0C] = 2.0f, x[0x0D] = 3.0f, x[0x0E] = 4.0f, x[0x0F] = 5.0f, x[0x11] = 6.0f;
    x[0x10] = 7.0f, x[0x20] = 8.0f, x[0x22] = 9.0f, x[0x1F] = 10.0f, x[0x23] = 11.0f;
    x[0x21] = 12.0f, x[0x1E] = 13.0f, x[0x2A] = 14.25f;
    x[0x39] = 0.875f;  // Caps Lock
    x[0x00] = 2.25f, x[0x01] = 3.25f, x[0x02] = 4.25f, x[0x03] = 5.25f, x[0x05] = 6.25f;
    x[0x04] = 7.25f, x[0x26] = 8.25f, x[0x28] = 9.25f, x[0x25] = 10.25f, x[0x29] = 11.25f;
    x[0x27] = 12.25f;
    x[0x24] = 13.875f;  // Return
    x[0x38] = 1.125f;   // left Shift
    x[0x0A] = 1.75f;    // ISO key left of Z
    x[0x06] = 2.75f, x[0x07] = 3.75f, x[0x08] = 4.75f, x[0x09] = 5.75f, x[0x0B] = 6.75f;
    x[0x2D] = 7.75f, x[0x2E] = 8.75f, x[0x2B] = 9.75f, x[0x2F] = 10.75f, x[0x2C] = 11.75f;
    x[0x5E] = 12.75f;   // JIS Ro, right of /
    x[0x3C] = 13.625f;  // right Shift
    // The bottom row.
    x[0x3B] = 0.625f, x[0x37] = 1.875f, x[0x3A] = 3.125f;
    x[0x66] = 3.5f;    // JIS Eisu, left of the space bar
    x[0x31] = 6.875f;  // Space
    x[0x68] = 10.25f;  // JIS Kana, right of the space bar
    x[0x3D] = 10.625f, x[0x36] = 11.875f, x[0x6E] = 13.125f, x[0x3E] = 14.375f;
    // Escape and the function keys; F13-F15 where Print Screen, Scroll Lock and Pause sit.
    x[0x35] = 0.5f;
    x[0x7A] = 2.5f, x[0x78] = 3.5f, x[0x63] = 4.5f, x[0x76] = 5.5f;
    x[0x60] = 7.0f, x[0x61] = 8.0f, x[0x62] = 9.0f, x[0x64] = 10.0f;
    x[0x65] = 11.5f, x[0x6D] = 12.5f, x[0x67] = 13.5f, x[0x6F] = 14.5f;
    x[0x69] = 15.75f, x[0x6B] = 16.75f, x[0x71] = 17.75f;
    // The navigation block; Help and Fn where Insert is.
    x[0x72] = 15.75f, x[0x3F] = 15.75f, x[0x73] = 16.75f, x[0x74] = 17.75f;
    x[0x75] = 15.75f, x[0x77] = 16.75f, x[0x79] = 17.75f;
    x[0x7B] = 15.75f, x[0x7D] = 16.75f, x[0x7E] = 16.75f, x[0x7C] = 17.75f;
    // Above the keypad: F16-F20 and the sound keys.
    x[0x6A] = 19.0f, x[0x40] = 20.0f, x[0x4F] = 21.0f, x[0x50] = 22.0f, x[0x5A] = 22.5f;
    x[0x4A] = 19.5f, x[0x49] = 20.5f, x[0x48] = 21.5f;
    // The keypad.
    x[0x47] = 19.0f, x[0x51] = 20.0f, x[0x4B] = 20.0f, x[0x43] = 21.0f, x[0x4E] = 22.0f;
    x[0x59] = 19.0f, x[0x5B] = 20.0f, x[0x5C] = 21.0f, x[0x45] = 22.0f;
    x[0x56] = 19.0f, x[0x57] = 20.0f, x[0x58] = 21.0f;
    x[0x53] = 19.0f, x[0x54] = 20.0f, x[0x55] = 21.0f, x[0x4C] = 22.0f;
    x[0x52] = 19.5f, x[0x41] = 21.0f, x[0x5F] = 21.0f;
    return x;
}();

constexpr float kSpace = 6.875f;    // the middle
constexpr float kMainEnd = 15.0f;   // the main block's right edge
constexpr float kWholeEnd = 23.0f;  // past the keypad
constexpr float kMain = 0.75f;      // the main block's pan at its edges

}  // namespace

float keyPosition(int virtualKeyCode) {
    if (virtualKeyCode < 0 || virtualKeyCode >= static_cast<int>(kCentres.size())) return 0.0f;
    const float x = kCentres[static_cast<std::size_t>(virtualKeyCode)];
    if (x == kNone) return 0.0f;
    // The main block spreads evenly on either side of the space bar; the blocks to its right
    // share what is left, so they sound further right without squeezing the letters together.
    if (x <= kSpace) return (x - kSpace) / kSpace * kMain;
    if (x <= kMainEnd) return (x - kSpace) / (kMainEnd - kSpace) * kMain;
    return kMain + (x - kMainEnd) / (kWholeEnd - kMainEnd) * (1.0f - kMain);
}

}  // namespace tapsound::platform
