#include "platform/virtual_keys.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <map>
#include <set>

namespace tapsound::platform {
namespace {

TEST(VirtualKeys, KeysOfEachFamilyGetTheCodeOfTheirPhysicalPosition) {
    const std::map<unsigned, std::uint16_t> samples = {
        {KEY_A, 0x00},       {KEY_Q, 0x0C},       {KEY_1, 0x12},       {KEY_0, 0x1D},
        {KEY_GRAVE, 0x32},   {KEY_ENTER, 36},     {KEY_BACKSPACE, 51}, {KEY_LEFTSHIFT, 56},
        {KEY_RIGHTCTRL, 62}, {KEY_F1, 0x7A},      {KEY_F12, 0x6F},     {KEY_LEFT, 0x7B},
        {KEY_KP0, 0x52},     {KEY_KPENTER, 0x4C}, {KEY_DELETE, 0x75},  {KEY_102ND, 0x0A},
        {KEY_YEN, 0x5D},     {KEY_HENKAN, 0x68},
    };
    for (const auto& [kernel, code] : samples) {
        EXPECT_EQ(virtualKeyCodeForKernelKey(kernel), code) << "kernel key " << kernel;
    }
}

TEST(VirtualKeys, EveryKeyOfAPcKeyboardHasACodeAndNoTwoKeysShareOne) {
    // The main block, function keys and keypad (1..88), the navigation block, Pause and the
    // Windows and menu keys.
    std::vector<unsigned> keys;
    for (unsigned k = KEY_ESC; k <= KEY_F12; ++k) keys.push_back(k);
    for (unsigned k = KEY_KPENTER; k <= KEY_DELETE; ++k) keys.push_back(k);
    keys.insert(keys.end(), {KEY_PAUSE, KEY_LEFTMETA, KEY_RIGHTMETA, KEY_COMPOSE});
    const std::set<unsigned> notYet = {KEY_SYSRQ, KEY_SCROLLLOCK, KEY_PAUSE, KEY_ZENKAKUHANKAKU};
    const std::set<unsigned> noKey = {84, KEY_LINEFEED};
    for (unsigned kernel : keys) {
        if (!notYet.count(kernel) && !noKey.count(kernel)) {
            EXPECT_TRUE(virtualKeyCodeForKernelKey(kernel)) << "kernel key " << kernel;
        }
    }
    // Only keys that mean the same on other keyboards share a code.
    const std::set<unsigned> sharing = {KEY_HELP, KEY_HANJA, KEY_HANGEUL, KEY_KATAKANAHIRAGANA};
    std::map<std::uint16_t, unsigned> seen;
    for (unsigned kernel = 0; kernel < KEY_MAX; ++kernel) {
        const auto code = virtualKeyCodeForKernelKey(kernel);
        if (!code || sharing.count(kernel)) continue;
        EXPECT_LT(*code, 128u);
        EXPECT_FALSE(seen.count(*code)) << "kernel keys " << seen[*code] << " and " << kernel;
        seen[*code] = kernel;
    }
    EXPECT_FALSE(virtualKeyCodeForKernelKey(KEY_RESERVED));
    EXPECT_FALSE(virtualKeyCodeForKernelKey(BTN_LEFT));
    EXPECT_FALSE(virtualKeyCodeForKernelKey(100000));
}

}  // namespace
}  // namespace tapsound::platform
