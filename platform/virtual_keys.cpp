#include "platform/virtual_keys.h"

#include <linux/input-event-codes.h>

#include <cctype>
#include <string>
#include <unordered_map>

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

namespace tapsound::platform {

namespace {

using NameTable = std::unordered_map<std::string, unsigned>;

constexpr std::string_view kLetters = "abcdefghijklmnopqrstuvwxyz";
constexpr unsigned kLetterKeys[] = {KEY_A, KEY_B, KEY_C, KEY_D, KEY_E, KEY_F, KEY_G, KEY_H, KEY_I,
                                    KEY_J, KEY_K, KEY_L, KEY_M, KEY_N, KEY_O, KEY_P, KEY_Q, KEY_R,
                                    KEY_S, KEY_T, KEY_U, KEY_V, KEY_W, KEY_X, KEY_Y, KEY_Z};
constexpr unsigned kDigitKeys[] = {KEY_0, KEY_1, KEY_2, KEY_3, KEY_4,
                                   KEY_5, KEY_6, KEY_7, KEY_8, KEY_9};
constexpr unsigned kKeypadKeys[] = {KEY_KP0, KEY_KP1, KEY_KP2, KEY_KP3, KEY_KP4,
                                    KEY_KP5, KEY_KP6, KEY_KP7, KEY_KP8, KEY_KP9};

unsigned functionKey(unsigned n) {
    if (n <= 10) return KEY_F1 + n - 1;
    if (n <= 12) return KEY_F11 + n - 11;
    return KEY_F13 + n - 13;
}

// Letters, digits, keypad digits and F1-F24 under each program's prefixes.
void addNumbered(NameTable& table, std::string_view letter, std::string_view digit,
                 std::string_view keypad) {
    for (std::size_t i = 0; i < kLetters.size(); ++i) {
        table.emplace(std::string(letter) + kLetters[i], kLetterKeys[i]);
    }
    for (unsigned d = 0; d < 10; ++d) {
        table.emplace(std::string(digit) + std::to_string(d), kDigitKeys[d]);
        if (!keypad.empty()) table.emplace(std::string(keypad) + std::to_string(d), kKeypadKeys[d]);
    }
    for (unsigned n = 1; n <= 24; ++n) table.emplace("f" + std::to_string(n), functionKey(n));
}

NameTable keyboardEventCodes() {
    NameTable table{
        {"backquote", KEY_GRAVE}, {"minus", KEY_MINUS}, {"equal", KEY_EQUAL},
        {"bracketleft", KEY_LEFTBRACE}, {"bracketright", KEY_RIGHTBRACE},
        {"backslash", KEY_BACKSLASH}, {"semicolon", KEY_SEMICOLON}, {"quote", KEY_APOSTROPHE},
        {"comma", KEY_COMMA}, {"period", KEY_DOT}, {"slash", KEY_SLASH},
        {"intlbackslash", KEY_102ND}, {"intlro", KEY_RO}, {"intlyen", KEY_YEN},
        {"backspace", KEY_BACKSPACE}, {"tab", KEY_TAB}, {"enter", KEY_ENTER},
        {"capslock", KEY_CAPSLOCK}, {"shiftleft", KEY_LEFTSHIFT}, {"shiftright", KEY_RIGHTSHIFT},
        {"controlleft", KEY_LEFTCTRL}, {"controlright", KEY_RIGHTCTRL}, {"altleft", KEY_LEFTALT},
        {"altright", KEY_RIGHTALT}, {"metaleft", KEY_LEFTMETA}, {"metaright", KEY_RIGHTMETA},
        {"osleft", KEY_LEFTMETA}, {"osright", KEY_RIGHTMETA}, {"contextmenu", KEY_COMPOSE},
        {"space", KEY_SPACE}, {"escape", KEY_ESC}, {"printscreen", KEY_SYSRQ},
        {"scrolllock", KEY_SCROLLLOCK}, {"pause", KEY_PAUSE}, {"insert", KEY_INSERT},
        {"home", KEY_HOME}, {"pageup", KEY_PAGEUP}, {"delete", KEY_DELETE}, {"end", KEY_END},
        {"pagedown", KEY_PAGEDOWN}, {"arrowup", KEY_UP}, {"arrowdown", KEY_DOWN},
        {"arrowleft", KEY_LEFT}, {"arrowright", KEY_RIGHT}, {"numlock", KEY_NUMLOCK},
        {"numpaddecimal", KEY_KPDOT}, {"numpaddivide", KEY_KPSLASH},
        {"numpadmultiply", KEY_KPASTERISK}, {"numpadsubtract", KEY_KPMINUS},
        {"numpadadd", KEY_KPPLUS}, {"numpadenter", KEY_KPENTER}, {"numpadequal", KEY_KPEQUAL},
        {"numpadcomma", KEY_KPCOMMA}, {"fn", KEY_FN}, {"audiovolumeup", KEY_VOLUMEUP},
        {"audiovolumedown", KEY_VOLUMEDOWN}, {"audiovolumemute", KEY_MUTE},
        {"convert", KEY_HENKAN}, {"nonconvert", KEY_MUHENKAN}, {"kanamode", KEY_KATAKANAHIRAGANA},
        {"lang1", KEY_HANGEUL}, {"lang2", KEY_HANJA}, {"help", KEY_HELP},
        {"mouseleft", BTN_LEFT}, {"mouseright", BTN_RIGHT}, {"mousemiddle", BTN_MIDDLE},
        {"mouse4", BTN_BACK}, {"mouseback", BTN_BACK}, {"mouse5", BTN_FORWARD},
        {"mouseforward", BTN_FORWARD}};
    addNumbered(table, "key", "digit", "numpad");
    return table;
}

NameTable keyboardsoundsNames() {
    NameTable table{
        {"alt", KEY_LEFTALT}, {"alt_l", KEY_LEFTALT}, {"alt_r", KEY_RIGHTALT},
        {"alt_gr", KEY_RIGHTALT}, {"backspace", KEY_BACKSPACE}, {"caps_lock", KEY_CAPSLOCK},
        {"cmd", KEY_LEFTMETA}, {"cmd_l", KEY_LEFTMETA}, {"cmd_r", KEY_RIGHTMETA},
        {"ctrl", KEY_LEFTCTRL}, {"ctrl_l", KEY_LEFTCTRL}, {"ctrl_r", KEY_RIGHTCTRL},
        {"delete", KEY_DELETE}, {"down", KEY_DOWN}, {"end", KEY_END}, {"enter", KEY_ENTER},
        {"esc", KEY_ESC}, {"escape", KEY_ESC}, {"home", KEY_HOME}, {"insert", KEY_INSERT},
        {"left", KEY_LEFT}, {"menu", KEY_COMPOSE}, {"num_lock", KEY_NUMLOCK},
        {"page_down", KEY_PAGEDOWN}, {"page_up", KEY_PAGEUP}, {"pause", KEY_PAUSE},
        {"print_screen", KEY_SYSRQ}, {"right", KEY_RIGHT}, {"scroll_lock", KEY_SCROLLLOCK},
        {"shift", KEY_LEFTSHIFT}, {"shift_l", KEY_LEFTSHIFT}, {"shift_r", KEY_RIGHTSHIFT},
        {"space", KEY_SPACE}, {"tab", KEY_TAB}, {"up", KEY_UP}, {"`", KEY_GRAVE},
        {"-", KEY_MINUS}, {"=", KEY_EQUAL}, {"[", KEY_LEFTBRACE}, {"]", KEY_RIGHTBRACE},
        {"\\", KEY_BACKSLASH}, {";", KEY_SEMICOLON}, {"'", KEY_APOSTROPHE}, {",", KEY_COMMA},
        {".", KEY_DOT}, {"/", KEY_SLASH}, {"media_volume_up", KEY_VOLUMEUP},
        {"media_volume_down", KEY_VOLUMEDOWN}, {"media_volume_mute", KEY_MUTE}};
    addNumbered(table, "", "", "num_");
    return table;
}

NameTable thockNames() {
    NameTable table{
        {"space", KEY_SPACE}, {"enter", KEY_ENTER}, {"return", KEY_ENTER},
        {"backspace", KEY_BACKSPACE}, {"delete", KEY_BACKSPACE},  // the Mac's name for it
        {"forwarddelete", KEY_DELETE}, {"tab", KEY_TAB}, {"escape", KEY_ESC}, {"esc", KEY_ESC},
        {"shift", KEY_LEFTSHIFT}, {"shiftleft", KEY_LEFTSHIFT}, {"shiftright", KEY_RIGHTSHIFT},
        {"command", KEY_LEFTMETA}, {"commandleft", KEY_LEFTMETA},
        {"commandright", KEY_RIGHTMETA}, {"option", KEY_LEFTALT}, {"optionleft", KEY_LEFTALT},
        {"optionright", KEY_RIGHTALT}, {"control", KEY_LEFTCTRL}, {"controlleft", KEY_LEFTCTRL},
        {"controlright", KEY_RIGHTCTRL}, {"capslock", KEY_CAPSLOCK}, {"fn", KEY_FN},
        {"function", KEY_FN}, {"up", KEY_UP}, {"down", KEY_DOWN}, {"arrowup", KEY_UP}, {"arrowdown", KEY_DOWN},
        {"arrowleft", KEY_LEFT}, {"arrowright", KEY_RIGHT}, {"minus", KEY_MINUS},
        {"equal", KEY_EQUAL}, {"equals", KEY_EQUAL}, {"leftbracket", KEY_LEFTBRACE},
        {"rightbracket", KEY_RIGHTBRACE}, {"bracketleft", KEY_LEFTBRACE},
        {"bracketright", KEY_RIGHTBRACE}, {"backslash", KEY_BACKSLASH},
        {"semicolon", KEY_SEMICOLON}, {"quote", KEY_APOSTROPHE}, {"comma", KEY_COMMA},
        {"period", KEY_DOT}, {"slash", KEY_SLASH}, {"grave", KEY_GRAVE},
        {"backquote", KEY_GRAVE}, {"home", KEY_HOME}, {"end", KEY_END}, {"pageup", KEY_PAGEUP},
        {"pagedown", KEY_PAGEDOWN},
        // Mouse packs name the buttons, so the arrows are only ever "arrowLeft" and "arrowRight".
        {"left", BTN_LEFT}, {"right", BTN_RIGHT}, {"middle", BTN_MIDDLE}};
    addNumbered(table, "", "", "keypad");
    return table;
}

NameTable keyEchoNames() {
    NameTable table{
        {"alt", KEY_LEFTALT}, {"altgr", KEY_RIGHTALT}, {"backspace", KEY_BACKSPACE},
        {"capslock", KEY_CAPSLOCK}, {"controlleft", KEY_LEFTCTRL},
        {"controlright", KEY_RIGHTCTRL}, {"delete", KEY_DELETE}, {"downarrow", KEY_DOWN},
        {"end", KEY_END}, {"escape", KEY_ESC}, {"home", KEY_HOME}, {"leftarrow", KEY_LEFT},
        {"metaleft", KEY_LEFTMETA}, {"metaright", KEY_RIGHTMETA}, {"pagedown", KEY_PAGEDOWN},
        {"pageup", KEY_PAGEUP}, {"return", KEY_ENTER}, {"rightarrow", KEY_RIGHT},
        {"shiftleft", KEY_LEFTSHIFT}, {"shiftright", KEY_RIGHTSHIFT}, {"space", KEY_SPACE},
        {"tab", KEY_TAB}, {"uparrow", KEY_UP}, {"printscreen", KEY_SYSRQ},
        {"scrolllock", KEY_SCROLLLOCK}, {"pause", KEY_PAUSE}, {"numlock", KEY_NUMLOCK},
        {"backquote", KEY_GRAVE}, {"minus", KEY_MINUS}, {"equal", KEY_EQUAL},
        {"leftbracket", KEY_LEFTBRACE}, {"rightbracket", KEY_RIGHTBRACE},
        {"semicolon", KEY_SEMICOLON}, {"quote", KEY_APOSTROPHE}, {"backslash", KEY_BACKSLASH},
        {"intlbackslash", KEY_102ND}, {"comma", KEY_COMMA}, {"dot", KEY_DOT},
        {"slash", KEY_SLASH}, {"insert", KEY_INSERT}, {"kpreturn", KEY_KPENTER},
        {"kpminus", KEY_KPMINUS}, {"kpplus", KEY_KPPLUS}, {"kpmultiply", KEY_KPASTERISK},
        {"kpdivide", KEY_KPSLASH}, {"kpdelete", KEY_KPDOT}, {"function", KEY_FN}};
    addNumbered(table, "key", "num", "kp");
    return table;
}

// Buttons as a list of buttons names them; x1 and x2 (button8, button9) are back and forward.
NameTable buttonNames() {
    return {{"left", BTN_LEFT},       {"right", BTN_RIGHT},     {"middle", BTN_MIDDLE},
            {"back", BTN_BACK},       {"forward", BTN_FORWARD}, {"x1", BTN_BACK},
            {"x2", BTN_FORWARD},      {"button8", BTN_BACK},    {"button9", BTN_FORWARD},
            {"side", BTN_SIDE},       {"extra", BTN_EXTRA},     {"task", BTN_TASK}};
}

}  // namespace

std::optional<unsigned> kernelCodeForKeyName(std::string_view name, KeyNaming naming) {
    static const NameTable tables[] = {keyboardEventCodes(), keyboardsoundsNames(), thockNames(),
                                       keyEchoNames(), buttonNames()};
    if (name.empty() || name.size() > 32) return std::nullopt;
    std::string folded(name);
    for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const NameTable& table = tables[static_cast<std::size_t>(naming)];
    const auto found = table.find(folded);
    return found == table.end() ? std::nullopt : std::optional(found->second);
}

}  // namespace tapsound::platform
