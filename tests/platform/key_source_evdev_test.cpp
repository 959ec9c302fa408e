// Keys from the kernel: the one table of virtual key codes, the input-device reader fed recorded
// input_event streams through pipes, device classification, and keyboards appearing and vanishing
// in a watched folder.
#include "platform/key_source_evdev.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <climits>
#include <set>
#include <thread>

#include "platform/key_sources.h"
#include "platform/virtual_keys.h"
#include "tests/support/sound_files.h"

namespace tapsound::platform {
namespace {

using namespace std::chrono_literals;
// (virtual key code, 1 press / 2 repeat / 0 release, + 4 where the event says Caps Lock is on)
using Heard = std::vector<std::pair<int, int>>;
using Records = std::vector<input_event>;

input_event record(unsigned type, unsigned code, int value) {
    return {{}, static_cast<__u16>(type), static_cast<__u16>(code), value};
}
input_event key(unsigned code, int value) { return record(EV_KEY, code, value); }
const input_event kReport = record(EV_SYN, SYN_REPORT, 0);

Heard summary(const std::vector<KeyEvent>& events) {
    Heard out;
    for (const auto& e : events)
        out.emplace_back(
            e.keyCode, (e.pressed ? (e.autoRepeat ? 2 : 1) : 0) + 4 * e.capsLockOn.value_or(false));
    return out;
}

// Feeds the first `sent` bytes of the records to a reader through a pipe, in two writes split at
// `split`; closing the writer at the end is the device going away.
Heard read(const Records& records, bool& capsLock, std::size_t split, std::size_t sent,
           bool vanish) {
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_NONBLOCK), 0);
    EvdevDeviceReader reader(fds[0]);
    std::vector<KeyEvent> heard;
    const auto* bytes = reinterpret_cast<const char*>(records.data());
    sent = std::min(sent, records.size() * sizeof(input_event));
    split = std::min(split, sent);
    EXPECT_EQ(write(fds[1], bytes, split), ssize_t(split));
    EXPECT_TRUE(reader.readAvailable(heard, capsLock));
    EXPECT_EQ(write(fds[1], bytes + split, sent - split), ssize_t(sent - split));
    if (vanish) close(fds[1]);
    EXPECT_NE(reader.readAvailable(heard, capsLock), vanish);
    close(fds[0]);
    if (!vanish) close(fds[1]);
    return summary(heard);
}

TEST(EvdevReader, RecordStreamsBecomeKeyEvents) {
    const struct {
        const char* what;
        Records records;
        Heard heard;
        std::size_t split = SIZE_MAX, sent = SIZE_MAX;
        bool vanish = false;
    } cases[] = {
        {"press, repeats, a press of a key already down, release; buttons are no keys",
         {record(EV_MSC, MSC_SCAN, 0x1e), key(KEY_A, 1), kReport, key(KEY_A, 2), key(KEY_A, 1),
          key(KEY_A, 0), kReport, key(KEY_SPACE, 1), key(BTN_LEFT, 1), kReport},
         {{0, 1}, {0, 2}, {0, 2}, {0, 0}, {kVK_Space, 1}}},
        {"a record cut between two reads waits for its rest; modifiers are keys of their own",
         {key(KEY_LEFTSHIFT, 1), kReport, key(KEY_RIGHTALT, 1), key(KEY_LEFTMETA, 1), kReport},
         {{kVK_Shift, 1}, {kVK_RightOption, 1}, {kVK_Command, 1}},
         20},
        {"a key of each family, by its physical position",
         {key(KEY_1, 1), key(KEY_GRAVE, 1), key(KEY_ENTER, 1), key(KEY_F1, 1), key(KEY_F12, 1),
          key(KEY_LEFT, 1), key(KEY_KP0, 1), key(KEY_KPENTER, 1), key(KEY_DELETE, 1),
          key(KEY_102ND, 1), key(KEY_YEN, 1), key(KEY_HENKAN, 1)},
         {{0x12, 1},
          {0x32, 1},
          {36, 1},
          {0x7A, 1},
          {0x6F, 1},
          {0x7B, 1},
          {0x52, 1},
          {0x4C, 1},
          {0x75, 1},
          {0x0A, 1},
          {0x5D, 1},
          {0x68, 1}}},
        {"lost events release held keys at the next report and skip the lost packet",
         {key(KEY_B, 1), kReport, record(EV_SYN, SYN_DROPPED, 0), key(KEY_N, 1), kReport,
          key(KEY_M, 1)},
         {{11, 1}, {11, 0}, {46, 1}}},
        {"Caps Lock toggles on its press, not its repeat; the LED set elsewhere wins",
         {key(KEY_CAPSLOCK, 1), record(EV_LED, LED_CAPSL, 1), key(KEY_CAPSLOCK, 2),
          key(KEY_CAPSLOCK, 0), record(EV_LED, LED_CAPSL, 0), kReport},
         {{kVK_CapsLock, 5}, {kVK_CapsLock, 6}, {kVK_CapsLock, 4}}},
        {"a device vanishing mid-record releases what it held",
         {key(KEY_LEFTCTRL, 1), kReport, key(KEY_K, 1)},
         {{kVK_Control, 1}, {kVK_Control, 0}},
         SIZE_MAX,
         2 * sizeof(input_event) + 10,
         true},
    };
    for (const auto& c : cases) {
        bool capsLock = false;
        EXPECT_EQ(read(c.records, capsLock, c.split, c.sent, c.vanish), c.heard) << c.what;
        EXPECT_FALSE(capsLock) << c.what;
    }
}

std::vector<unsigned long> bits(std::initializer_list<unsigned> set, unsigned count) {
    constexpr unsigned perWord = sizeof(unsigned long) * CHAR_BIT;
    std::vector<unsigned long> words((count + perWord - 1) / perWord);
    for (unsigned bit : set) words[bit / perWord] |= 1UL << (bit % perWord);
    return words;
}

TEST(EvdevDevices, KeyboardsAreTheDevicesWithLetterKeys) {
    const auto letters = bits(
        {KEY_Q, KEY_W, KEY_E, KEY_R, KEY_T, KEY_Y, KEY_U, KEY_I, KEY_O, KEY_P, KEY_A, KEY_S, KEY_D,
         KEY_F, KEY_G, KEY_H, KEY_J, KEY_K, KEY_L, KEY_Z, KEY_X, KEY_C, KEY_V, KEY_B, KEY_N, KEY_M},
        KEY_CNT);
    const auto keyEvents = bits({EV_SYN, EV_KEY, EV_MSC, EV_LED, EV_REP}, EV_CNT);
    EXPECT_TRUE(isKeyboardFromCapabilities(keyEvents, letters));
    // Letter bits without EV_KEY, a power button, a mouse, a media-key node, nothing at all.
    EXPECT_FALSE(isKeyboardFromCapabilities(bits({EV_SYN, EV_MSC}, EV_CNT), letters));
    EXPECT_FALSE(isKeyboardFromCapabilities(keyEvents, bits({KEY_POWER}, KEY_CNT)));
    EXPECT_FALSE(isKeyboardFromCapabilities(bits({EV_SYN, EV_KEY, EV_REL}, EV_CNT),
                                            bits({BTN_LEFT, BTN_RIGHT, BTN_MIDDLE}, KEY_CNT)));
    EXPECT_FALSE(isKeyboardFromCapabilities(keyEvents, bits({KEY_VOLUMEUP, KEY_MUTE}, KEY_CNT)));
    EXPECT_FALSE(isKeyboardFromCapabilities({}, {}));
    EXPECT_FALSE(isKeyboardDevice(STDIN_FILENO));
    EvdevKeySource unreadable({.directory = "/nonexistent/input"});
    EXPECT_FALSE(unreadable.canObserveKeys());
    EXPECT_FALSE(unreadable.start([](const KeyEvent&) {}));
}

// FIFOs stand in for device nodes: a writer end is a keyboard, closing it unplugs it.
TEST(EvdevKeySource, KeyboardsPluggedInLaterAreHeardAndUnpluggedOnesLetGo) {
    test::TempDir folder;
    EvdevKeySource source({.directory = folder.path(), .isKeyboard = [](int) { return true; }});
    std::vector<KeyEvent> heard;
    const auto plugIn = [&](const char* name) {
        EXPECT_EQ(mkfifo(folder.file(name).c_str(), 0600), 0);
        return [&, name] { return ::open(folder.file(name).c_str(), O_WRONLY | O_NONBLOCK); };
    };
    const auto heardAfter = [&](int writer, const Records& records) {
        if (writer >= 0) {
            EXPECT_GT(write(writer, records.data(), records.size() * sizeof(input_event)), 0);
        }
        for (auto until = std::chrono::steady_clock::now() + 150ms;
             std::chrono::steady_clock::now() < until;) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            std::this_thread::sleep_for(2ms);
        }
        return summary(std::exchange(heard, {}));
    };
    EXPECT_FALSE(source.canObserveKeys());
    const auto openFirst = plugIn("event0");
    plugIn("mouse0");  // not an event device
    EXPECT_TRUE(source.canObserveKeys());
    ASSERT_TRUE(source.start([&](const KeyEvent& e) { heard.push_back(e); }));
    const int first = openFirst();
    EXPECT_EQ(heardAfter(first, {key(KEY_A, 1), key(KEY_A, 0), kReport}), (Heard{{0, 1}, {0, 0}}));

    const auto openSecond = plugIn("event7");
    heardAfter(-1, {});
    EXPECT_EQ(source.keyboardCount(), 2u);
    const int second = openSecond();
    EXPECT_EQ(heardAfter(second, {key(KEY_LEFTSHIFT, 1), kReport}), (Heard{{kVK_Shift, 1}}));
    // Unplugged with Shift down: the Shift is released, the other keyboard goes on.
    close(second);
    unlink(folder.file("event7").c_str());
    EXPECT_EQ(heardAfter(-1, {}), (Heard{{kVK_Shift, 0}}));
    EXPECT_EQ(heardAfter(first, {key(KEY_S, 1), kReport}), (Heard{{1, 1}}));

    source.stop();
    EXPECT_EQ(source.keyboardCount(), 0u);
    close(first);
}

TEST(KeyBackendChoice, WaylandSessionsReadTheDevicesAndX11SessionsAskTheServer) {
    const struct {
        const char *display, *wayland, *override, *chosen;
    } cases[] = {
        {":0", "wayland-0", nullptr, "evdev"},  // XWayland would hear only X11 windows
        {":0", nullptr, nullptr, "x11"},
        {nullptr, nullptr, "x11", "x11"},
    };
    const auto set = [](const char* name, const char* value) {
        value ? setenv(name, value, 1) : unsetenv(name);
    };
    const std::string display = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    for (const auto& c : cases) {
        set("DISPLAY", c.display);
        set("WAYLAND_DISPLAY", c.wayland);
        set("TAPSOUND_KEYS", c.override);
        EXPECT_EQ(chooseKeySource()->name(), c.chosen);
    }
    set("DISPLAY", display.empty() ? nullptr : display.c_str());
    unsetenv("TAPSOUND_KEYS");
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
