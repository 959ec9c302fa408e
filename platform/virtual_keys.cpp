#include "platform/virtual_keys.h"

#include <linux/input-event-codes.h>

namespace tapsound::platform {

// By physical position: the kernel names the key, not the character the layout gives it.
std::optional<std::uint16_t> virtualKeyCodeForKernelKey(unsigned kernelKeyCode) {
    switch (kernelKeyCode) {
        case KEY_A: return 0x00;
        case KEY_S: return 0x01;
        case KEY_D: return 0x02;
        case KEY_F: return 0x03;
        case KEY_H: return 0x04;
        case KEY_G: return 0x05;
        case KEY_Z: return 0x06;
        case KEY_X: return 0x07;
        case KEY_C: return 0x08;
        case KEY_V: return 0x09;
        case KEY_102ND: return 0x0A;  // ISO section, left of Z
        case KEY_B: return 0x0B;
        case KEY_Q: return 0x0C;
        case KEY_W: return 0x0D;
        case KEY_E: return 0x0E;
        case KEY_R: return 0x0F;
        case KEY_Y: return 0x10;
        case KEY_T: return 0x11;
        case KEY_1: return 0x12;
        case KEY_2: return 0x13;
        case KEY_3: return 0x14;
        case KEY_4: return 0x15;
        case KEY_6: return 0x16;
        case KEY_5: return 0x17;
        case KEY_EQUAL: return 0x18;
        case KEY_9: return 0x19;
        case KEY_7: return 0x1A;
        case KEY_MINUS: return 0x1B;
        case KEY_8: return 0x1C;
        case KEY_0: return 0x1D;
        case KEY_RIGHTBRACE: return 0x1E;
        case KEY_O: return 0x1F;
        case KEY_U: return 0x20;
        case KEY_LEFTBRACE: return 0x21;
        case KEY_I: return 0x22;
        case KEY_P: return 0x23;
        case KEY_ENTER: return kVK_Return;
        case KEY_L: return 0x25;
        case KEY_J: return 0x26;
        case KEY_APOSTROPHE: return 0x27;
        case KEY_K: return 0x28;
        case KEY_SEMICOLON: return 0x29;
        case KEY_BACKSLASH: return 0x2A;
        case KEY_COMMA: return 0x2B;
        case KEY_SLASH: return 0x2C;
        case KEY_N: return 0x2D;
        case KEY_M: return 0x2E;
        case KEY_DOT: return 0x2F;
        case KEY_TAB: return kVK_Tab;
        case KEY_SPACE: return kVK_Space;
        case KEY_GRAVE: return 0x32;
        case KEY_ZENKAKUHANKAKU: return 0x32;  // JIS keyboards have it where others have `
        case KEY_BACKSPACE: return kVK_Delete;
        case KEY_ESC: return kVK_Escape;
        case KEY_RIGHTMETA: return kVK_RightCommand;
        case KEY_LEFTMETA: return kVK_Command;
        case KEY_LEFTSHIFT: return kVK_Shift;
        case KEY_CAPSLOCK: return kVK_CapsLock;
        case KEY_LEFTALT: return kVK_Option;
        case KEY_LEFTCTRL: return kVK_Control;
        case KEY_RIGHTSHIFT: return kVK_RightShift;
        case KEY_RIGHTALT: return kVK_RightOption;
        case KEY_RIGHTCTRL: return kVK_RightControl;
        case KEY_FN: return kVK_Function;
        case KEY_F17: return 0x40;
        case KEY_KPDOT: return 0x41;
        case KEY_KPASTERISK: return 0x43;
        case KEY_KPPLUS: return 0x45;
        case KEY_NUMLOCK: return 0x47;  // keypad Clear
        case KEY_VOLUMEUP: return 0x48;
        case KEY_VOLUMEDOWN: return 0x49;
        case KEY_MUTE: return 0x4A;
        case KEY_KPSLASH: return 0x4B;
        case KEY_KPENTER: return 0x4C;
        case KEY_KPMINUS: return 0x4E;
        case KEY_F18: return 0x4F;
        case KEY_F19: return 0x50;
        case KEY_KPEQUAL: return 0x51;
        case KEY_KP0: return 0x52;
        case KEY_KP1: return 0x53;
        case KEY_KP2: return 0x54;
        case KEY_KP3: return 0x55;
        case KEY_KP4: return 0x56;
        case KEY_KP5: return 0x57;
        case KEY_KP6: return 0x58;
        case KEY_KP7: return 0x59;
        case KEY_F20: return 0x5A;
        case KEY_KP8: return 0x5B;
        case KEY_KP9: return 0x5C;
        case KEY_YEN: return 0x5D;
        case KEY_RO: return 0x5E;
        case KEY_KPJPCOMMA: return 0x5F;
        case KEY_KPCOMMA: return 0x5F;
        case KEY_F5: return 0x60;
        case KEY_F6: return 0x61;
        case KEY_F7: return 0x62;
        case KEY_F3: return 0x63;
        case KEY_F8: return 0x64;
        case KEY_F9: return 0x65;
        case KEY_MUHENKAN: return 0x66;  // JIS Eisu
        case KEY_HANJA: return 0x66;
        case KEY_F11: return 0x67;
        case KEY_HENKAN: return 0x68;  // JIS Kana
        case KEY_KATAKANAHIRAGANA: return 0x68;
        case KEY_KATAKANA: return 0x68;
        case KEY_HIRAGANA: return 0x68;
        case KEY_HANGEUL: return 0x68;
        case KEY_F13: return 0x69;
        case KEY_SYSRQ: return 0x69;  // Print Screen, Scroll Lock and Pause sit where F13-F15 do
        case KEY_SCROLLLOCK: return 0x6B;
        case KEY_PAUSE: return 0x71;
        case KEY_F16: return 0x6A;
        case KEY_F14: return 0x6B;
        case KEY_F10: return 0x6D;
        case KEY_COMPOSE: return 0x6E;  // the context-menu key
        case KEY_F12: return 0x6F;
        case KEY_F15: return 0x71;
        case KEY_INSERT: return 0x72;  // Help sits where Insert does
        case KEY_HELP: return 0x72;
        case KEY_HOME: return 0x73;
        case KEY_PAGEUP: return 0x74;
        case KEY_DELETE: return 0x75;  // forward delete
        case KEY_F4: return 0x76;
        case KEY_END: return 0x77;
        case KEY_F2: return 0x78;
        case KEY_PAGEDOWN: return 0x79;
        case KEY_F1: return 0x7A;
        case KEY_LEFT: return 0x7B;
        case KEY_RIGHT: return 0x7C;
        case KEY_DOWN: return 0x7D;
        case KEY_UP: return 0x7E;
        default: return std::nullopt;
    }
}

std::optional<unsigned> kernelKeyForScancode(unsigned scancode) {
    if (scancode >= 1 && scancode <= 88) return scancode;
    if (scancode >= 91 && scancode <= 93) return KEY_F13 + (scancode - 91);
    if (scancode >= 99 && scancode <= 107) return KEY_F16 + (scancode - 99);
    // The high byte only marks the key as extended (0x0E, 0xE0, and 0xEE for the keypad's
    // navigation keys with Num Lock off), so the low byte names it.
    if (scancode < 0x0E00 || scancode > 0xFFFF) return std::nullopt;
    switch (scancode & 0xFF) {
        case 0x1C: return KEY_KPENTER;
        case 0x1D: return KEY_RIGHTCTRL;
        case 0x35: return KEY_KPSLASH;
        case 0x37: return KEY_SYSRQ;
        case 0x38: return KEY_RIGHTALT;
        case 0x45: return KEY_PAUSE;
        case 0x47: return KEY_HOME;
        case 0x48: return KEY_UP;
        case 0x49: return KEY_PAGEUP;
        case 0x4B: return KEY_LEFT;
        case 0x4D: return KEY_RIGHT;
        case 0x4F: return KEY_END;
        case 0x50: return KEY_DOWN;
        case 0x51: return KEY_PAGEDOWN;
        case 0x52: return KEY_INSERT;
        case 0x53: return KEY_DELETE;
        case 0x5B: return KEY_LEFTMETA;
        case 0x5C: return KEY_RIGHTMETA;
        case 0x5D: return KEY_COMPOSE;
        default: return std::nullopt;
    }
}

}  // namespace tapsound::platform
