// Keys from the kernel: virtual key codes, recorded input_event streams read through pipes,
// device classification, and devices appearing and vanishing in a watched folder.
#include "platform/key_source_evdev.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <climits>
#include <filesystem>
#include <map>
#include <set>

#include "platform/key_sources.h"
#include "platform/virtual_keys.h"
#include "tests/support/private_session.h"

namespace tapsound::platform {
namespace {

using namespace std::chrono_literals;

using Records = std::vector<input_event>;

input_event record(unsigned type, unsigned code, int value) {
    return {{}, static_cast<__u16>(type), static_cast<__u16>(code), value};
}
input_event key(unsigned code, int value = 1) { return record(EV_KEY, code, value); }
const input_event kReport = record(EV_SYN, SYN_REPORT, 0);
// Writes the records whole, as a device does.
bool writeWhole(int fd, const Records& records) {
    const auto size = ssize_t(records.size() * sizeof(input_event));
    return write(fd, records.data(), size) == size;
}

// "56+" a press of virtual key 56, "56*" a repeat, "56-" a release; "^" where Caps Lock is on;
// then buttons, "b1+" a press of button 1.
std::string heard(const std::vector<KeyEvent>& events,
                  const std::vector<ButtonEvent>& buttons = {}) {
    std::string out;
    for (const auto& e : events) {
        out += std::to_string(e.keyCode) + (e.pressed ? (e.autoRepeat ? "*" : "+") : "-") +
               (e.capsLockOn.value_or(false) ? "^ " : " ");
    }
    for (const auto& b : buttons) out += "b" + std::to_string(b.button) + (b.pressed ? "+ " : "- ");
    return out;
}

// Feeds the first `sent` bytes of the records to a reader through a pipe, in two writes split
// within the first record; a stream cut short ends there, as a device that goes away.
std::string read(const Records& records, std::size_t sent = SIZE_MAX) {
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_NONBLOCK), 0);
    EvdevDeviceReader reader(fds[0]);
    std::vector<KeyEvent> events;
    std::vector<ButtonEvent> buttons;
    bool capsLock = false;
    const bool vanish = sent < records.size() * sizeof(input_event);
    sent = std::min(sent, records.size() * sizeof(input_event));
    const auto* bytes = reinterpret_cast<const char*>(records.data());
    EXPECT_EQ(write(fds[1], bytes, 20), 20);
    EXPECT_TRUE(reader.readAvailable(events, capsLock, &buttons));
    EXPECT_EQ(write(fds[1], bytes + 20, sent - 20), ssize_t(sent - 20));
    if (vanish) close(fds[1]);
    EXPECT_NE(reader.readAvailable(events, capsLock, &buttons), vanish);
    close(fds[0]);
    if (!vanish) close(fds[1]);
    EXPECT_FALSE(capsLock);
    return heard(events, buttons);
}

TEST(EvdevReader, RecordStreamsBecomeKeyEvents) {
    const struct {
        Records records;
        const char* heard;
        std::size_t sent = SIZE_MAX;
    } cases[] = {
        // Press, repeats, a press of a key already down, release; buttons are no keys.
        {{record(EV_MSC, MSC_SCAN, 0x1e), key(KEY_A), kReport, key(KEY_A, 2), key(KEY_A),
          key(KEY_A, 0), kReport, key(KEY_SPACE), key(BTN_LEFT), kReport}, "0+ 0* 0* 0- 49+ b0+ "},
        // Buttons as X numbers them (thumb buttons back and forward); touches, tools, joystick
        // and wheel are no clicks, nor a press of a button already down.
        {{key(BTN_RIGHT), key(BTN_RIGHT), key(BTN_RIGHT, 0), key(BTN_MIDDLE), key(BTN_SIDE),
          key(BTN_EXTRA), key(BTN_BACK), key(BTN_TASK), key(BTN_TOUCH), key(BTN_TOOL_FINGER),
          key(BTN_TRIGGER), record(EV_REL, REL_WHEEL, 1), kReport}, "b1+ b1- b2+ b3+ b4+ b3+ b7+ "},
        // Modifiers are keys of their own; a key of each family, by its physical position.
        {{key(KEY_LEFTSHIFT), key(KEY_RIGHTALT), key(KEY_LEFTMETA), key(KEY_1), key(KEY_GRAVE),
          key(KEY_ENTER), key(KEY_F1), key(KEY_F12), key(KEY_LEFT), key(KEY_KP0), key(KEY_KPENTER),
          key(KEY_DELETE), key(KEY_102ND), key(KEY_YEN), key(KEY_HENKAN)},
         "56+ 61+ 55+ 18+ 50+ 36+ 122+ 111+ 123+ 82+ 76+ 117+ 10+ 93+ 104+ "},
        // Lost events release held keys at the next report and skip the lost packet.
        {{key(KEY_B), kReport, record(EV_SYN, SYN_DROPPED, 0), key(KEY_N), kReport, key(KEY_M)},
         "11+ 11- 46+ "},
        // Caps Lock toggles on its press, not its repeat; the LED set elsewhere wins.
        {{key(KEY_CAPSLOCK), record(EV_LED, LED_CAPSL, 1), key(KEY_CAPSLOCK, 2),
          key(KEY_CAPSLOCK, 0), record(EV_LED, LED_CAPSL, 0), kReport}, "57+^ 57*^ 57-^ "},
        // A device vanishing mid-record releases what it held.
        {{key(KEY_LEFTCTRL), kReport, key(KEY_K)}, "59+ 59- ", 2 * sizeof(input_event) + 10},
    };
    for (const auto& c : cases) EXPECT_EQ(read(c.records, c.sent), c.heard);
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
    const auto mouseEvents = bits({EV_SYN, EV_KEY, EV_REL}, EV_CNT);
    const auto mouse = bits({BTN_LEFT, BTN_RIGHT, BTN_MIDDLE}, KEY_CNT);
    EXPECT_TRUE(isKeyboardFromCapabilities(keyEvents, letters));
    EXPECT_TRUE(isPointerFromCapabilities(mouseEvents, mouse));
    EXPECT_FALSE(isPointerFromCapabilities(keyEvents, letters));
    // A power button, a mouse, nothing at all, no input device.
    EXPECT_FALSE(isKeyboardFromCapabilities(keyEvents, bits({KEY_POWER}, KEY_CNT)));
    EXPECT_FALSE(isKeyboardFromCapabilities(mouseEvents, mouse));
    EXPECT_FALSE(isKeyboardFromCapabilities({}, {}));
    EXPECT_FALSE(isKeyboardDevice(STDIN_FILENO));
    EvdevKeySource unreadable({.directory = "/nonexistent/input"});
    EXPECT_FALSE(unreadable.canObserveKeys() || unreadable.start([](const KeyEvent&) {}));
}

// Turns the event loop until `done`, a few seconds at most.
bool turnUntil(const std::function<bool()>& done) {
    return test::waitFor([&] { return QCoreApplication::processEvents(), done(); }, 5s);
}

// FIFOs stand in for device nodes: a writer end is a keyboard, closing it unplugs it.
TEST(EvdevKeySource, KeyboardsPluggedInLaterAreHeardAndUnpluggedOnesLetGo) {
    test::TempDir folder;
    EvdevKeySource source({.directory = folder.path(), .isKeyboard = [](int) { return true; }});
    std::vector<KeyEvent> events;
    const auto plugIn = [&](const char* name) { return mkfifo(folder.file(name).c_str(), 0600); };
    const auto heardAfter = [&](int fd, const Records& records) {
        EXPECT_TRUE(writeWhole(fd, records));
        turnUntil([&] { return !events.empty(); });
        return heard(std::exchange(events, {}));
    };
    EXPECT_FALSE(source.canObserveKeys());
    ASSERT_EQ(plugIn("event0") + plugIn("mouse0"), 0);  // a mouse0 is no event device
    EXPECT_TRUE(source.canObserveKeys());
    ASSERT_TRUE(source.start([&](const KeyEvent& e) { events.push_back(e); }));
    const int first = ::open(folder.file("event0").c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_EQ(plugIn("event7"), 0);
    EXPECT_TRUE(turnUntil([&] { return source.keyboardCount() == 2; }));
    const int second = ::open(folder.file("event7").c_str(), O_WRONLY | O_NONBLOCK);
    EXPECT_EQ(heardAfter(second, {key(KEY_LEFTSHIFT), kReport}), "56+ ");
    // Unplugged with Shift down: the Shift is released, the other keyboard goes on.
    close(second);
    unlink(folder.file("event7").c_str());
    EXPECT_EQ(heardAfter(first, {}), "56- ");
    EXPECT_EQ(heardAfter(first, {key(KEY_S), kReport}), "1+ ");
    source.stop();
    EXPECT_EQ(source.keyboardCount(), 0u);
    close(first);
}

// Mice are opened only while buttons are asked for, plugged in before or after, and let go after.
TEST(EvdevKeySource, PointersAreReadOnlyWhileButtonsAreAskedFor) {
    test::TempDir folder;
    const auto named = [](int fd, const char* prefix) {
        const auto target = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd));
        return target.filename().string().rfind(prefix, 0) == 0;
    };
    EvdevKeySource source({.directory = folder.path(),
                           .isKeyboard = [&](int fd) { return named(fd, "event0"); },
                           .isPointer = [&](int fd) { return named(fd, "event1"); }});
    std::string clicks;
    const auto plugIn = [&](const char* name) {
        EXPECT_EQ(mkfifo(folder.file(name).c_str(), 0600), 0);
        return ::open(folder.file(name).c_str(), O_RDWR | O_NONBLOCK);
    };
    const int keyboard = plugIn("event0"), mouse = plugIn("event10");
    ASSERT_TRUE(source.start([](const KeyEvent&) {}));
    EXPECT_EQ(source.deviceCount(), 1u);
    source.setButtonHandler([&](const ButtonEvent& b) { clicks += heard({}, {b}); });
    EXPECT_EQ(source.deviceCount(), 2u);
    const int later = plugIn("event11");
    const Records click = {key(BTN_LEFT), kReport, key(BTN_LEFT, 0), kReport};
    for (const int fd : {mouse, later}) ASSERT_TRUE(writeWhole(fd, click));
    turnUntil([&] { return clicks.size() >= 16; });
    EXPECT_EQ(clicks, "b0+ b0- b0+ b0- ");
    source.setButtonHandler(nullptr);
    EXPECT_EQ(source.deviceCount(), 1u);
    EXPECT_EQ(source.keyboardCount(), 1u);
    for (const int fd : {keyboard, mouse, later}) close(fd);
}

// A device flooding us (a stuck or hostile uinput device) is read a slice at a time, so the event
// loop turns between slices, and its presses beyond what anyone could hear are dropped; every
// release still arrives, so no key stays down.
TEST(EvdevKeySource, AFloodIsReadASliceAtATimeAndPressesBeyondHearingAreDropped) {
    Records flood;
    for (int i = 0; i < 1200; ++i) flood.insert(flood.end(), {key(KEY_J), key(KEY_J, 0)});
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    ASSERT_TRUE(writeWhole(fds[1], flood));
    EvdevDeviceReader reader(fds[0]);
    std::vector<KeyEvent> slice;
    bool capsLock = false;
    EXPECT_TRUE(reader.readAvailable(slice, capsLock));
    EXPECT_GT(slice.size(), 0u);
    EXPECT_LE(slice.size(), 1024u);
    close(fds[0]);
    close(fds[1]);

    test::TempDir folder;
    ASSERT_EQ(mkfifo(folder.file("event0").c_str(), 0600), 0);
    EvdevKeySource source({.directory = folder.path(), .isKeyboard = [](int) { return true; }});
    int presses = 0, releases = 0;
    ASSERT_TRUE(source.start([&](const KeyEvent& e) { ++(e.pressed ? presses : releases); }));
    const int device = ::open(folder.file("event0").c_str(), O_WRONLY | O_NONBLOCK);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(writeWhole(device, flood));
    while (releases < 1200 && std::chrono::steady_clock::now() - started < 5s)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(releases, 1200);
    EXPECT_GE(presses, PressLimiter::kBurst);
    EXPECT_LE(presses, PressLimiter::kBurst + PressLimiter::kPerSecond * seconds + 1);
    close(device);
}

TEST(KeyBackendChoice, WaylandSessionsReadTheDevicesAndX11SessionsAskTheServer) {
    setenv("DISPLAY", ":0", 1);  // each test runs in a process of its own
    setenv("WAYLAND_DISPLAY", "wayland-0", 1);
    EXPECT_EQ(chooseKeySource()->name(), "evdev") << "XWayland would hear only X11 windows";
    setenv("TAPSOUND_KEYS", "x11", 1);
    EXPECT_EQ(chooseKeySource()->name(), "x11");
    unsetenv("TAPSOUND_KEYS");
    unsetenv("WAYLAND_DISPLAY");
    EXPECT_EQ(chooseKeySource()->name(), "x11");
}

TEST(VirtualKeys, EveryKeyOfAPcKeyboardHasACodeAndNoTwoKeysShareOne) {
    // The main block, function keys, keypad and JIS keys (1..95), the navigation block, Pause, the
    // keypad comma, Yen and the Windows and menu keys.
    std::vector<unsigned> keys = {KEY_PAUSE,    KEY_KPCOMMA,   KEY_YEN,
                                  KEY_LEFTMETA, KEY_RIGHTMETA, KEY_COMPOSE};
    for (unsigned k = KEY_ESC; k <= KEY_KPJPCOMMA; ++k) keys.push_back(k);
    for (unsigned k = KEY_KPENTER; k <= KEY_DELETE; ++k) keys.push_back(k);
    const std::set<unsigned> none = {84, KEY_LINEFEED};
    for (unsigned kernel : keys)
        EXPECT_TRUE(none.count(kernel) || virtualKeyCodeForKernelKey(kernel)) << kernel;
    // Only keys that mean the same on other keyboards, or stand in the same place, share a code.
    const std::set<unsigned> sharing = {KEY_HELP, KEY_HANJA, KEY_HANGEUL, KEY_KATAKANAHIRAGANA,
                                        KEY_KATAKANA, KEY_HIRAGANA, KEY_KPCOMMA, KEY_ZENKAKUHANKAKU,
                                        KEY_SYSRQ, KEY_SCROLLLOCK, KEY_PAUSE};
    std::map<std::uint16_t, unsigned> seen;
    for (unsigned kernel = 0; kernel < KEY_MAX; ++kernel) {
        const auto code = virtualKeyCodeForKernelKey(kernel);
        if (!code || sharing.count(kernel)) continue;
        EXPECT_LT(*code, 128u);
        EXPECT_FALSE(seen.count(*code)) << "kernel keys " << seen[*code] << " and " << kernel;
        seen[*code] = kernel;
    }
    EXPECT_FALSE(virtualKeyCodeForKernelKey(KEY_RESERVED) || virtualKeyCodeForKernelKey(BTN_LEFT) ||
                 virtualKeyCodeForKernelKey(100000));
}

}  // namespace
}  // namespace tapsound::platform
