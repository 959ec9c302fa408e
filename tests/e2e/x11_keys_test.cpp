// Keys typed with xdotool into another client's window, heard by the controller through XInput 2.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/key_event_monitor.h"
#include "platform/key_source_x11.h"
#include "tests/support/fake_platform.h"
#include "tests/support/private_session.h"

// Last: Xlib's macros clash with Qt's headers.
#include <X11/Xlib.h>

namespace tapsound::test {
namespace {

using namespace std::chrono_literals;

// A window of a client of its own, holding the keyboard focus, as an editor would.
class OtherClientWindow {
public:
    OtherClientWindow() {
        _display = XOpenDisplay(nullptr);
        if (!_display) return;
        _window = XCreateSimpleWindow(_display, DefaultRootWindow(_display), 10, 10, 300, 200, 0, 0, 0);
        XSelectInput(_display, _window, KeyPressMask | KeyReleaseMask | ExposureMask);
        XMapWindow(_display, _window);
        XSync(_display, False);
        XSetInputFocus(_display, _window, RevertToParent, CurrentTime);
        XSync(_display, False);
    }
    ~OtherClientWindow() {
        if (_display) XCloseDisplay(_display);
    }
    bool ok() const { return _display != nullptr; }
    // The key presses the window itself received: the keys still reach their program.
    int drainPresses() {
        int presses = 0;
        while (XPending(_display)) {
            XEvent event;
            XNextEvent(_display, &event);
            presses += event.type == KeyPress;
        }
        return presses;
    }

private:
    Display* _display = nullptr;
    Window _window = 0;
};

class X11Keys : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session.ok()) << session.error();
        ASSERT_TRUE(window.ok());
        monitor = std::make_unique<platform::KeyEventMonitor>(std::make_unique<platform::X11KeySource>(),
                                                              [] { return false; });
        rig = std::make_unique<ControllerRig>(true, std::string{}, monitor.get());
        // One sound per key code, named by its three decimal digits, so each press tells its key.
        for (const char* name : {"000", "002", "004", "014", "031", "037", "049", "056", "057", "013", "015"}) {
            writeBytes(folder.file(std::string(name) + ".wav"), "sound");
        }
        (*rig)->awakeFromNib();
        (*rig)->applicationDidFinishLaunching();
        (*rig)->openWithFileURL(folder.path());
        ASSERT_TRUE((*rig)->isMonitoring());
        ASSERT_TRUE(monitor->isSourceRunning());
        for (const auto& [path, buffer] : rig->loader.bufferForPath) {
            const auto slash = path.rfind('/');
            codeOfBuffer[buffer] = std::stoi(path.substr(slash + 1, 3));
        }
    }
    void TearDown() override {
        rig.reset();
        monitor.reset();
    }

    int xdotool(const std::vector<std::string>& arguments) {
        std::vector<std::string> command{"xdotool"};
        command.insert(command.end(), arguments.begin(), arguments.end());
        return run(command);
    }
    // The key codes played so far, once the event loop has had time to read what the server sent.
    std::vector<int> playedAfterSettling() {
        const auto until = std::chrono::steady_clock::now() + 400ms;
        while (std::chrono::steady_clock::now() < until) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            std::this_thread::sleep_for(5ms);
        }
        std::vector<int> codes;
        for (const auto& started : rig->player->started) {
            const auto found = codeOfBuffer.find(started.samples);
            codes.push_back(found == codeOfBuffer.end() ? -1 : found->second);
        }
        rig->player->started.clear();
        return codes;
    }

    PrivateSession session{PrivateSession::Options{.display = true, .audio = false}};
    OtherClientWindow window;
    TempDir folder;
    std::unique_ptr<platform::KeyEventMonitor> monitor;
    std::unique_ptr<ControllerRig> rig;
    std::map<const platform::SampleBuffer*, int> codeOfBuffer;
};

TEST_F(X11Keys, TypingIntoAnotherProgramPlaysEachKeyOnceByItsPhysicalKey) {
    ASSERT_EQ(xdotool({"type", "--delay", "40", "hello world"}), 0);
    // h e l l o space w o r l d; "w" and "r" have their own sounds too.
    EXPECT_EQ(playedAfterSettling(), (std::vector<int>{4, 14, 37, 37, 31, 49, 13, 31, 15, 37, 2}));
    EXPECT_EQ(window.drainPresses(), 11) << "the keys must still reach the focused program";
}

TEST_F(X11Keys, HeldKeyIsOnePressAndReleasesAreSilent) {
    // Held past the server's auto-repeat delay: the repeats are not heard.
    ASSERT_EQ(xdotool({"keydown", "a"}), 0);
    std::this_thread::sleep_for(1200ms);
    ASSERT_EQ(xdotool({"keyup", "a"}), 0);
    EXPECT_EQ(playedAfterSettling(), (std::vector<int>{0}));
    EXPECT_GT(window.drainPresses(), 1) << "the server should have repeated the held key";
}

TEST_F(X11Keys, ModifiersSoundAsTheyGoDownAndCapsLockOnlyWhenSwitchedOn) {
    // Shift down sounds, then the letter; letting go of Shift is silent.
    ASSERT_EQ(xdotool({"key", "shift+a"}), 0);
    EXPECT_EQ(playedAfterSettling(), (std::vector<int>{56, 0}));
    ASSERT_EQ(xdotool({"key", "Caps_Lock"}), 0);
    EXPECT_EQ(playedAfterSettling(), (std::vector<int>{57}));
    ASSERT_EQ(xdotool({"key", "Caps_Lock"}), 0);
    EXPECT_EQ(playedAfterSettling(), (std::vector<int>{}));
}

TEST_F(X11Keys, NothingIsHeardOnceMonitoringEnds) {
    (*rig)->endEventMonitor();
    EXPECT_FALSE(monitor->isSourceRunning());
    ASSERT_EQ(xdotool({"type", "--delay", "20", "dead"}), 0);
    EXPECT_EQ(playedAfterSettling(), (std::vector<int>{}));
    (*rig)->startEventMonitor();
    ASSERT_EQ(xdotool({"type", "--delay", "20", "do"}), 0);
    EXPECT_EQ(playedAfterSettling(), (std::vector<int>{2, 31}));
}

}  // namespace
}  // namespace tapsound::test
