// The input-device reader fed recorded input_event streams through pipes, device classification,
// and keyboards appearing and vanishing in a watched folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <optional>
#include <thread>
#include <vector>

#include "platform/key_source_evdev.h"
#include "platform/key_sources.h"
#include "platform/virtual_keys.h"
#include "tests/support/sound_files.h"

namespace tapsound::platform {
namespace {

using namespace std::chrono_literals;

input_event record(unsigned type, unsigned code, int value) {
    input_event event{};
    event.type = static_cast<__u16>(type);
    event.code = static_cast<__u16>(code);
    event.value = value;
    return event;
}
input_event keyRecord(unsigned code, int value) { return record(EV_KEY, code, value); }
input_event report() { return record(EV_SYN, SYN_REPORT, 0); }

void writeRecords(int fd, const std::vector<input_event>& records) {
    ASSERT_EQ(write(fd, records.data(), records.size() * sizeof(input_event)),
              static_cast<ssize_t>(records.size() * sizeof(input_event)));
}

struct Pipe {
    Pipe() {
        EXPECT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    }
    ~Pipe() {
        if (fds[0] >= 0) close(fds[0]);
        closeWriter();
    }
    void closeWriter() {
        if (fds[1] >= 0) close(fds[1]);
        fds[1] = -1;
    }
    int fds[2] = {-1, -1};
};

std::vector<std::pair<int, int>> summary(const std::vector<KeyEvent>& events) {
    // (virtual key code, 1 press / 2 repeat / 0 release)
    std::vector<std::pair<int, int>> out;
    for (const auto& e : events) out.emplace_back(e.keyCode, e.pressed ? (e.autoRepeat ? 2 : 1) : 0);
    return out;
}

TEST(EvdevReader, PressRepeatReleaseAndAKeyAlreadyDownIsARepeat) {
    Pipe pipe;
    EvdevDeviceReader reader(pipe.fds[0]);
    bool capsLock = false;
    std::vector<KeyEvent> events;
    writeRecords(pipe.fds[1], {record(EV_MSC, MSC_SCAN, 0x1e), keyRecord(KEY_A, 1), report(),
                               keyRecord(KEY_A, 2), report(), keyRecord(KEY_A, 2), report(),
                               keyRecord(KEY_A, 1), report(),  // a second press without release
                               keyRecord(KEY_A, 0), report(), keyRecord(KEY_SPACE, 1), report(),
                               keyRecord(KEY_SPACE, 0), report(), keyRecord(BTN_LEFT, 1), report()});
    EXPECT_TRUE(reader.readAvailable(events, capsLock));
    EXPECT_EQ(summary(events), (std::vector<std::pair<int, int>>{
                                   {0, 1}, {0, 2}, {0, 2}, {0, 2}, {0, 0}, {kVK_Space, 1}, {kVK_Space, 0}}));
}

TEST(EvdevReader, RecordsSplitAcrossReadsAndModifiersArriveWhole) {
    Pipe pipe;
    EvdevDeviceReader reader(pipe.fds[0]);
    bool capsLock = false;
    std::vector<KeyEvent> events;
    const std::vector<input_event> records = {keyRecord(KEY_LEFTSHIFT, 1), report(), keyRecord(KEY_RIGHTALT, 1),
                                              report(), keyRecord(KEY_LEFTMETA, 1), report()};
    const auto* bytes = reinterpret_cast<const unsigned char*>(records.data());
    const std::size_t total = records.size() * sizeof(input_event);
    // A record cut in the middle waits for its rest.
    ASSERT_EQ(write(pipe.fds[1], bytes, 20), 20);
    EXPECT_TRUE(reader.readAvailable(events, capsLock));
    EXPECT_TRUE(events.empty());
    ASSERT_EQ(write(pipe.fds[1], bytes + 20, total - 20), static_cast<ssize_t>(total - 20));
    EXPECT_TRUE(reader.readAvailable(events, capsLock));
    EXPECT_EQ(summary(events), (std::vector<std::pair<int, int>>{
                                   {kVK_Shift, 1}, {kVK_RightOption, 1}, {kVK_Command, 1}}));
}

TEST(EvdevReader, CapsLockTogglesOnPressAndFollowsTheLed) {
    Pipe pipe;
    EvdevDeviceReader reader(pipe.fds[0]);
    bool capsLock = false;
    std::vector<KeyEvent> events;
    writeRecords(pipe.fds[1], {keyRecord(KEY_CAPSLOCK, 1), report(), record(EV_LED, LED_CAPSL, 1), report(),
                               keyRecord(KEY_CAPSLOCK, 2), keyRecord(KEY_CAPSLOCK, 0), report()});
    EXPECT_TRUE(reader.readAvailable(events, capsLock));
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].capsLockOn, true);
    EXPECT_TRUE(events[1].autoRepeat) << "a held Caps Lock does not toggle again";
    EXPECT_EQ(events[1].capsLockOn, true);
    EXPECT_TRUE(capsLock);
    // Another keyboard's press (or the compositor) switched it off: the LED says so.
    writeRecords(pipe.fds[1], {record(EV_LED, LED_CAPSL, 0), report()});
    events.clear();
    EXPECT_TRUE(reader.readAvailable(events, capsLock));
    EXPECT_FALSE(capsLock);
    EXPECT_TRUE(events.empty());
}

TEST(EvdevReader, DeviceVanishingMidStreamReleasesWhatItHeld) {
    Pipe pipe;
    EvdevDeviceReader reader(pipe.fds[0]);
    bool capsLock = false;
    std::vector<KeyEvent> events;
    writeRecords(pipe.fds[1], {keyRecord(KEY_LEFTCTRL, 1), report(), keyRecord(KEY_J, 1), report()});
    // Half a record, then the end.
    const input_event half = keyRecord(KEY_K, 1);
    ASSERT_EQ(write(pipe.fds[1], &half, 10), 10);
    pipe.closeWriter();
    EXPECT_FALSE(reader.readAvailable(events, capsLock));
    auto seen = summary(events);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0], (std::pair<int, int>{kVK_Control, 1}));
    EXPECT_EQ(seen[1], (std::pair<int, int>{38, 1}));
    // Both released, in either order; the half record is dropped.
    std::sort(seen.begin() + 2, seen.end());
    EXPECT_EQ(seen[2], (std::pair<int, int>{38, 0}));
    EXPECT_EQ(seen[3], (std::pair<int, int>{kVK_Control, 0}));
}

TEST(EvdevReader, LostEventsReleaseHeldKeysAtTheNextReport) {
    Pipe pipe;
    EvdevDeviceReader reader(pipe.fds[0]);
    bool capsLock = false;
    std::vector<KeyEvent> events;
    writeRecords(pipe.fds[1], {keyRecord(KEY_B, 1), report(), record(EV_SYN, SYN_DROPPED, 0),
                               keyRecord(KEY_N, 1),  // part of the lost packet: ignored
                               report(), keyRecord(KEY_M, 1), report()});
    EXPECT_TRUE(reader.readAvailable(events, capsLock));
    EXPECT_EQ(summary(events), (std::vector<std::pair<int, int>>{{11, 1}, {11, 0}, {46, 1}}));
}

std::vector<unsigned long> bits(std::initializer_list<unsigned> set, unsigned count) {
    constexpr unsigned perWord = sizeof(unsigned long) * CHAR_BIT;
    std::vector<unsigned long> words((count + perWord - 1) / perWord);
    for (unsigned bit : set) words[bit / perWord] |= 1UL << (bit % perWord);
    return words;
}

TEST(EvdevDevices, KeyboardsAreTheDevicesWithLetterKeys) {
    std::initializer_list<unsigned> letters = {KEY_Q, KEY_W, KEY_E, KEY_R, KEY_T, KEY_Y, KEY_U, KEY_I, KEY_O,
                                               KEY_P, KEY_A, KEY_S, KEY_D, KEY_F, KEY_G, KEY_H, KEY_J, KEY_K,
                                               KEY_L, KEY_Z, KEY_X, KEY_C, KEY_V, KEY_B, KEY_N, KEY_M};
    const auto keyEvents = bits({EV_SYN, EV_KEY, EV_MSC, EV_LED, EV_REP}, EV_CNT);
    EXPECT_TRUE(isKeyboardFromCapabilities(keyEvents, bits(letters, KEY_CNT)));
    // Letter bits without EV_KEY, a power button, a mouse, a media-key node.
    EXPECT_FALSE(isKeyboardFromCapabilities(bits({EV_SYN, EV_MSC}, EV_CNT), bits(letters, KEY_CNT)));
    EXPECT_FALSE(isKeyboardFromCapabilities(keyEvents, bits({KEY_POWER}, KEY_CNT)));
    EXPECT_FALSE(isKeyboardFromCapabilities(bits({EV_SYN, EV_KEY, EV_REL}, EV_CNT),
                                            bits({BTN_LEFT, BTN_RIGHT, BTN_MIDDLE}, KEY_CNT)));
    EXPECT_FALSE(isKeyboardFromCapabilities(keyEvents, bits({KEY_VOLUMEUP, KEY_MUTE, KEY_PLAYPAUSE}, KEY_CNT)));
    // Short or empty bit arrays are read safely.
    EXPECT_FALSE(isKeyboardFromCapabilities({}, {}));
    // Something that is not an input device at all.
    Pipe pipe;
    EXPECT_FALSE(isKeyboardDevice(pipe.fds[0]));
}

// FIFOs stand in for device nodes: a writer end is a keyboard, closing it unplugs it.
struct WatchedFolder : ::testing::Test {
    void SetUp() override {
        EvdevKeySource::Options options;
        options.directory = folder.path();
        options.isKeyboard = [](int) { return true; };
        source = std::make_unique<EvdevKeySource>(options);
    }
    void plugIn(const std::string& name) { EXPECT_EQ(mkfifo(folder.file(name).c_str(), 0600), 0); }
    int openWriter(const std::string& name) { return ::open(folder.file(name).c_str(), O_WRONLY | O_NONBLOCK); }
    void settle() {
        const auto until = std::chrono::steady_clock::now() + 150ms;
        while (std::chrono::steady_clock::now() < until) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            std::this_thread::sleep_for(2ms);
        }
    }
    test::TempDir folder;
    std::unique_ptr<EvdevKeySource> source;
    std::vector<KeyEvent> heard;
};

TEST_F(WatchedFolder, KeyboardsPluggedInLaterAreHeardAndUnpluggedOnesLetGo) {
    EXPECT_FALSE(source->canObserveKeys());
    plugIn("event0");
    plugIn("mouse0");  // not an event device
    EXPECT_TRUE(source->canObserveKeys());
    ASSERT_TRUE(source->start([this](const KeyEvent& e) { heard.push_back(e); }));
    EXPECT_EQ(source->keyboardCount(), 1u);
    const int first = openWriter("event0");
    ASSERT_GE(first, 0);
    writeRecords(first, {keyRecord(KEY_A, 1), report(), keyRecord(KEY_A, 0), report()});
    settle();
    EXPECT_EQ(summary(heard), (std::vector<std::pair<int, int>>{{0, 1}, {0, 0}}));

    plugIn("event7");
    settle();
    EXPECT_EQ(source->keyboardCount(), 2u);
    const int second = openWriter("event7");
    ASSERT_GE(second, 0);
    heard.clear();
    writeRecords(second, {keyRecord(KEY_LEFTSHIFT, 1), report()});
    settle();
    EXPECT_EQ(summary(heard), (std::vector<std::pair<int, int>>{{kVK_Shift, 1}}));

    // Unplugged with Shift down: the Shift is released, the other keyboard goes on.
    heard.clear();
    close(second);
    unlink(folder.file("event7").c_str());
    settle();
    EXPECT_EQ(summary(heard), (std::vector<std::pair<int, int>>{{kVK_Shift, 0}}));
    EXPECT_EQ(source->keyboardCount(), 1u);
    heard.clear();
    writeRecords(first, {keyRecord(KEY_S, 1), report()});
    settle();
    EXPECT_EQ(summary(heard), (std::vector<std::pair<int, int>>{{1, 1}}));

    source->stop();
    EXPECT_EQ(source->keyboardCount(), 0u);
    close(first);
}

TEST_F(WatchedFolder, AHandlerThatStopsTheSourceEndsDelivery) {
    plugIn("event3");
    ASSERT_TRUE(source->start([this](const KeyEvent& e) {
        heard.push_back(e);
        source->stop();
    }));
    const int writer = openWriter("event3");
    ASSERT_GE(writer, 0);
    writeRecords(writer, {keyRecord(KEY_A, 1), report(), keyRecord(KEY_S, 1), report()});
    settle();
    EXPECT_EQ(heard.size(), 1u);
    EXPECT_EQ(source->keyboardCount(), 0u);
    close(writer);
}

TEST(EvdevKeySourceTest, AFolderThatCannotBeReadObservesNothing) {
    EvdevKeySource::Options options;
    options.directory = "/nonexistent/input";
    EvdevKeySource source(options);
    EXPECT_FALSE(source.canObserveKeys());
    EXPECT_FALSE(source.start([](const KeyEvent&) {}));
}

TEST(KeyBackendChoice, WaylandSessionsReadTheDevicesAndX11SessionsAskTheServer) {
    const auto saved = [](const char* name) {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    const auto display = saved("DISPLAY"), wayland = saved("WAYLAND_DISPLAY"), chosen = saved("TAPSOUND_KEYS");
    unsetenv("TAPSOUND_KEYS");
    setenv("DISPLAY", ":0", 1);
    setenv("WAYLAND_DISPLAY", "wayland-0", 1);
    EXPECT_EQ(chooseKeySource()->name(), "evdev") << "XWayland would hear only X11 windows";
    unsetenv("WAYLAND_DISPLAY");
    EXPECT_EQ(chooseKeySource()->name(), "x11");
    unsetenv("DISPLAY");
    EXPECT_EQ(chooseKeySource()->name(), "evdev");
    setenv("TAPSOUND_KEYS", "x11", 1);
    EXPECT_EQ(chooseKeySource()->name(), "x11");
    const auto restore = [](const char* name, const std::optional<std::string>& value) {
        if (value) setenv(name, value->c_str(), 1); else unsetenv(name);
    };
    restore("DISPLAY", display);
    restore("WAYLAND_DISPLAY", wayland);
    restore("TAPSOUND_KEYS", chosen);
}

}  // namespace
}  // namespace tapsound::platform
