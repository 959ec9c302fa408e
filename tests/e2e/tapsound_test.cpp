#include <gtest/gtest.h>
#include <sndfile.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QSettings>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/private_session.h"
#include "tests/support/sound_files.h"

// Last: Xlib defines macros (Bool, Status) that clash with the headers above.
#include <X11/Xlib.h>

namespace tapsound {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return condition();
}

// Another program's window with the keyboard focus, to type into.
class TargetWindow {
public:
    TargetWindow() {
        _display = XOpenDisplay(nullptr);
        if (!_display) return;
        const int screen = DefaultScreen(_display);
        _window = XCreateSimpleWindow(_display, RootWindow(_display, screen), 100, 100, 300, 200, 0,
                                      BlackPixel(_display, screen), WhitePixel(_display, screen));
        XSelectInput(_display, _window, KeyPressMask | KeyReleaseMask | StructureNotifyMask);
        XStoreName(_display, _window, "typing target");
        XMapRaised(_display, _window);
        XSync(_display, False);
        std::this_thread::sleep_for(200ms);
        XSetInputFocus(_display, _window, RevertToParent, CurrentTime);
        XSync(_display, False);
    }
    ~TargetWindow() {
        if (_display) XCloseDisplay(_display);
    }
    // Key presses that reached this window: the keystrokes are not taken away from it.
    int drainKeyPresses() {
        int presses = 0;
        while (_display && XPending(_display)) {
            XEvent event;
            XNextEvent(_display, &event);
            if (event.type == KeyPress) ++presses;
        }
        return presses;
    }
    bool ok() const { return _display && _window; }

private:
    Display* _display = nullptr;
    Window _window = 0;
};

class Tapsound : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session.ok()) << session.error();
        config = session.dir() + "/config";
        fs::create_directories(config);
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        unsetenv("TAPSOUND_KEYS");
    }
    void TearDown() override { stop(); }

    void start(const std::vector<std::string>& paths = {}) {
        std::vector<std::string> argv{TAPSOUND_BINARY};
        argv.insert(argv.end(), paths.begin(), paths.end());
        pid = test::spawn(argv, session.dir() + "/tapsound.log");
        ASSERT_GT(pid, 0);
        // Ready once its audio output has connected and its key source runs.
        ASSERT_TRUE(waitUntil(
            [] { return test::capture("pactl list clients").find("tapsound") != std::string::npos; },
            10s))
            << test::readBytes(session.dir() + "/tapsound.log");
        std::this_thread::sleep_for(500ms);
    }
    int stop() {
        if (pid <= 0) return -1;
        kill(pid, SIGTERM);
        int status = 0;
        const bool exited = waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 5s);
        if (!exited) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        pid = -1;
        return exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Types the keys, 200 ms apart, and counts the sounds heard on the null sink.
    std::size_t soundsHeardWhileTyping(const std::vector<std::string>& keys) {
        test::MonitorRecorder recorder(session);
        EXPECT_TRUE(recorder.ok());
        std::vector<std::string> argv{"xdotool", "key", "--delay", "200"};
        argv.insert(argv.end(), keys.begin(), keys.end());
        EXPECT_EQ(test::run(argv), 0);
        std::this_thread::sleep_for(400ms);
        const auto samples = recorder.stop();
        return test::findOnsets(samples, 0.01f, 4800).size();
    }
    std::string storedSetting(const std::string& key) {
        QSettings settings(QString::fromStdString(config + "/tapsound/tapsound.ini"),
                           QSettings::IniFormat);
        return settings.value(QString::fromStdString(key)).toString().toStdString();
    }

    test::PrivateSession session;
    std::string config;
    pid_t pid = -1;
};

TEST_F(Tapsound, TypingAnywherePlaysASoundPerPressAndTheSetIsRestored) {
    TargetWindow target;
    ASSERT_TRUE(target.ok());
    start({TAPSOUND_EXAMPLE_SET});

    EXPECT_EQ(soundsHeardWhileTyping({"a", "s", "space", "Return", "BackSpace", "e"}), 6u);
    EXPECT_EQ(target.drainKeyPresses(), 6);

    // Releases, a held key's later presses and a bare modifier release are silent.
    {
        test::MonitorRecorder recorder(session);
        test::run({"xdotool", "keydown", "k"});
        std::this_thread::sleep_for(300ms);
        test::run({"xdotool", "keyup", "k"});
        std::this_thread::sleep_for(300ms);
        test::run({"xdotool", "keydown", "shift"});
        std::this_thread::sleep_for(300ms);
        test::run({"xdotool", "keyup", "shift"});
        std::this_thread::sleep_for(400ms);
        EXPECT_EQ(test::findOnsets(recorder.stop(), 0.01f, 4800).size(), 2u);
    }

    EXPECT_EQ(stop(), 0);
    EXPECT_NE(storedSetting("Bookmark").find("Example.tapsnd"), std::string::npos);

    start();
    EXPECT_EQ(soundsHeardWhileTyping({"q", "w", "Tab"}), 3u);
}

TEST_F(Tapsound, ASecondStartHandsItsPathToTheRunningOne) {
    const std::string single = session.dir() + "/beep.flac";
    ASSERT_TRUE(test::writeTone(single, {.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16, .seconds = 0.05}));
    start();
    EXPECT_EQ(soundsHeardWhileTyping({"a"}), 0u);  // nothing stored, nothing loaded

    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(test::run({TAPSOUND_BINARY, single}), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(soundsHeardWhileTyping({"a", "F5", "KP_1"}), 3u);
    EXPECT_EQ(test::run({TAPSOUND_BINARY}), 0);  // a plain second start just exits
    EXPECT_EQ(stop(), 0);
    EXPECT_NE(storedSetting("Bookmark").find("beep.flac"), std::string::npos);
}

TEST_F(Tapsound, VolumeZeroIsSilentAndBrokenSetsNeverCrash) {
    fs::create_directories(config + "/tapsound");
    {
        std::ofstream conf(config + "/tapsound/tapsound.ini");
        conf << "[General]\nvolume=0\n";
    }
    const std::string broken = session.dir() + "/Broken.tapsnd";
    fs::create_directories(broken + "/Contents/Resources/sounds");
    test::writeBytes(broken + "/Contents/Resources/soundset.plist", "<plist><dict><key>*</key>");
    test::writeBytes(broken + "/Contents/Resources/sounds/click.wav", "RIFF\x10\0\0\0WAVEfmt ");
    start({broken});
    EXPECT_EQ(soundsHeardWhileTyping({"a", "b"}), 0u);
    EXPECT_EQ(test::run({TAPSOUND_BINARY, TAPSOUND_EXAMPLE_SET}), 0);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(soundsHeardWhileTyping({"a", "b"}), 0u);  // loaded, but at volume 0
    EXPECT_EQ(stop(), 0);
    EXPECT_EQ(storedSetting("volume"), "0");
}

}  // namespace
}  // namespace tapsound
