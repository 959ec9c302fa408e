#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <map>

#include "platform/virtual_keys.h"

namespace tapsound::platform {
namespace {

TEST(VirtualKeys, KnownPairsByPhysicalPosition) {
    const std::map<unsigned, std::uint16_t> known = {
        {KEY_A, 0x00},         {KEY_S, 0x01},          {KEY_Q, 0x0C},        {KEY_Z, 0x06},
        {KEY_M, 0x2E},         {KEY_1, 0x12},          {KEY_5, 0x17},        {KEY_0, 0x1D},
        {KEY_MINUS, 0x1B},     {KEY_GRAVE, 0x32},      {KEY_SLASH, 0x2C},    {KEY_ENTER, 36},
        {KEY_TAB, 48},         {KEY_SPACE, 49},        {KEY_BACKSPACE, 51},  {KEY_ESC, 53},
        {KEY_LEFTMETA, 55},    {KEY_RIGHTMETA, 54},    {KEY_LEFTSHIFT, 56},  {KEY_RIGHTSHIFT, 60},
        {KEY_CAPSLOCK, 57},    {KEY_LEFTALT, 58},      {KEY_RIGHTALT, 61},   {KEY_LEFTCTRL, 59},
        {KEY_RIGHTCTRL, 62},   {KEY_FN, 63},           {KEY_F1, 0x7A},       {KEY_F5, 0x60},
        {KEY_F12, 0x6F},       {KEY_F13, 0x69},        {KEY_LEFT, 0x7B},     {KEY_UP, 0x7E},
        {KEY_KP0, 0x52},       {KEY_KP9, 0x5C},        {KEY_KPENTER, 0x4C},  {KEY_HOME, 0x73},
        {KEY_END, 0x77},       {KEY_PAGEDOWN, 0x79},   {KEY_DELETE, 0x75},   {KEY_INSERT, 0x72},
        {KEY_102ND, 0x0A},     {KEY_YEN, 0x5D},        {KEY_RO, 0x5E},       {KEY_HENKAN, 0x68},
    };
    for (const auto& [kernel, virtualCode] : known) {
        EXPECT_EQ(virtualKeyCodeForKernelKey(kernel), virtualCode) << "kernel key " << kernel;
    }
}

TEST(VirtualKeys, DistinctKeysGetDistinctCodesAndUnknownKeysNone) {
    std::map<std::uint16_t, unsigned> seen;
    // Keys that deliberately share a code with another that means the same on other keyboards.
    const std::map<unsigned, bool> sharing = {{KEY_HELP, true},     {KEY_HANJA, true},
                                              {KEY_HANGEUL, true},  {KEY_KATAKANAHIRAGANA, true}};
    for (unsigned kernel = 0; kernel < KEY_MAX; ++kernel) {
        const auto code = virtualKeyCodeForKernelKey(kernel);
        if (!code || sharing.count(kernel)) continue;
        EXPECT_LT(*code, 128u);
        EXPECT_FALSE(seen.count(*code)) << "kernel keys " << seen[*code] << " and " << kernel;
        seen[*code] = kernel;
    }
    EXPECT_GT(seen.size(), 110u);
    EXPECT_FALSE(virtualKeyCodeForKernelKey(KEY_RESERVED));
    EXPECT_FALSE(virtualKeyCodeForKernelKey(BTN_LEFT));
    EXPECT_FALSE(virtualKeyCodeForKernelKey(100000));
}

}  // namespace
}  // namespace tapsound::platform
