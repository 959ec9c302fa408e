// The real program under a private X server and PulseAudio: keys typed with xdotool, its sound
// from the null sink, its icon in IceWM's tray; keys typed elsewhere heard by their physical key.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <QCoreApplication>
#include <QSettings>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <thread>

#include "platform/key_source_x11.h"
#include "tests/support/fake_platform.h"
#include "tests/support/private_session.h"

namespace tapsound {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::waitFor;

class Tapsound : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(session.ok()) << session.error();
        config = session.programConfig();
        unsetenv("TAPSOUND_KEYS");
    }
    void TearDown() override { test::stopProcess(pid); }

    // Starts tapsound with the paths, behind the command words before it (env, prlimit) if any.
    void start(const std::vector<std::string>& paths = {}, std::vector<std::string> argv = {}) {
        argv.push_back(TAPSOUND_BINARY);
        argv.insert(argv.end(), paths.begin(), paths.end());
        pid = test::spawn(argv, log);
        // Ready once its audio output has connected and its key source runs.
        ASSERT_TRUE(session.tapsoundConnected()) << test::readBytes(log);
        std::this_thread::sleep_for(500ms);
    }
    // Runs the command, then counts the sounds heard on the null sink.
    std::size_t soundsHeardAfter(const std::string& command) {
        test::MonitorRecorder recorder(session);
        EXPECT_EQ(test::run({"sh", "-c", command}), 0);
        std::this_thread::sleep_for(400ms);
        return test::findOnsets(recorder.stop(), 0.01f, 4800, &recorder).size();
    }
    // Waits until the set is stored as the one in use: it has loaded and plays.
    bool stored(const char* set) {
        return waitFor([&] { return setting("Bookmark").toString().indexOf(set) != -1; }, 10s);
    }
    // Reads a stored setting, or writes it as the user's settings file would hold it.
    QVariant setting(const char* key, std::optional<QVariant> value = {}) {
        QSettings settings(QString::fromStdString(config + "/tapsound/tapsound.ini"),
                           QSettings::IniFormat);
        if (value) settings.setValue(key, *value);
        return settings.value(key);
    }

    test::PrivateSession session;
    std::string config, log = session.dir() + "/tapsound.log";
    pid_t pid = -1;
};

TEST_F(Tapsound, TypingAnywherePlaysASoundPerPressAndTheSetAndVolumeAreRestored) {
    test::FocusedWindow target;
    ASSERT_TRUE(target.ok());
    start({TAPSOUND_EXAMPLE_SET});
    // Loaded aside, longer on a busy machine: stored once it plays.
    EXPECT_TRUE(stored("Example.tapsnd"));
    EXPECT_EQ(soundsHeardAfter("xdotool key --delay 200 a s space Return BackSpace e"), 6u);
    EXPECT_EQ(target.drainKeyPresses(), 6);
    EXPECT_EQ(test::stopProcess(pid), 0);
    EXPECT_TRUE(stored("Example.tapsnd"));

    start();
    // Restored aside, which a busy machine takes a while for: heard once a press is.
    EXPECT_TRUE(waitFor([&] { return soundsHeardAfter("xdotool key q") == 1; }, 10s));
    EXPECT_EQ(soundsHeardAfter("xdotool key --delay 200 w Tab"), 2u);
    EXPECT_EQ(test::stopProcess(pid), 0);
    setting("volume", 0);
    start();
    EXPECT_EQ(soundsHeardAfter("xdotool key a b"), 0u);  // loaded, but at volume 0
}

// Scroll Lock twice mutes and unmutes from the keyboard; the second press of a muting pair is
// already silent, the second of an unmuting pair is heard.
TEST_F(Tapsound, ScrollLockTwiceTogglesMute) {
    start({TAPSOUND_EXAMPLE_SET});
    ASSERT_TRUE(stored("Example.tapsnd"));
    EXPECT_EQ(soundsHeardAfter("xdotool key --delay 150 Scroll_Lock Scroll_Lock a s"), 1u);
    EXPECT_EQ(soundsHeardAfter("xdotool key --delay 700 Scroll_Lock Scroll_Lock a"), 0u);
    EXPECT_EQ(soundsHeardAfter("xdotool key --delay 150 Scroll_Lock Scroll_Lock a"), 2u);
}

// The first start plays the example set. A path that is missing or holds no sound is told, ends
// with 1 and changes nothing, whether tapsound runs or not; of several paths the last one wins.
TEST_F(Tapsound, TheFirstStartPlaysAndBadPathsAreToldWithoutChangingAnything) {
    // A name that is not UTF-8 opens byte for byte.
    const std::string empty = session.dir() + "/Empty", tone = session.dir() + "/tone\xff.wav";
    fs::create_directories(empty);
    test::writeBytes(empty + "/notes.txt", "no sound");
    ASSERT_TRUE(test::writeTone(tone, {.seconds = 0.05}));
    start();
    EXPECT_TRUE(stored("Example.tapsnd"));
    EXPECT_EQ(soundsHeardAfter("xdotool key --delay 200 a s"), 2u);
    const std::string bad[][2] = {
        {"/nonexistent/nothing.wav", "/nonexistent/nothing.wav: No such file or directory"},
        {tone + " Gone.tapsnd", "Gone.tapsnd: No such file or directory"},
        {empty, empty + ": No sound tapsound can play"}};
    for (const auto& [arguments, says] : bad) {
        EXPECT_EQ(test::capture("timeout 10 " TAPSOUND_BINARY " " + arguments + " 2>&1; echo $?"),
                  "tapsound: " + says + "\n1\n");
        EXPECT_EQ(soundsHeardAfter("xdotool key a"), 1u) << arguments;
    }
    EXPECT_EQ(test::stopProcess(pid), 0);
    EXPECT_NE(setting("Bookmark").toString().indexOf("Example.tapsnd"), -1);
    EXPECT_EQ(test::run({"timeout", "10", TAPSOUND_BINARY, empty}), 1);
    EXPECT_NE(setting("Bookmark").toString().indexOf("Example.tapsnd"), -1);
    start({empty, tone});
    // Stored once it has loaded, which a busy machine may take a while for.
    EXPECT_TRUE(waitFor(
        [&] {
            return test::readBytes(config + "/tapsound/tapsound.ini").find("/tone\\xff.wav)") !=
                   std::string::npos;
        },
        10s));
    EXPECT_EQ(test::stopProcess(pid), 0);
}

// One tapsound per graphical session: another display of the same user runs its own. It obeys
// only its user, and outlives a flood of connections that exhausts its descriptors.
TEST_F(Tapsound, OneInstancePerSessionObeyingOnlyItsUserThroughAnyFlood) {
    const std::string empty = session.dir() + "/Empty", folder = session.dir() + "/tapsound";
    fs::create_directories(empty);
    start({TAPSOUND_EXAMPLE_SET}, {"prlimit", "--nofile=128:128"});
    std::string display;
    pid_t xvfb = test::startXvfb(session.dir() + "/other-display", display);
    ASSERT_FALSE(display.empty());
    pid_t other = test::spawn({"env", "DISPLAY=" + display, TAPSOUND_BINARY});
    EXPECT_FALSE(waitFor([&] { return waitpid(other, nullptr, WNOHANG) == other; }, 3s))
        << "a start in another session is handed to this one";
    test::stopProcess(other);
    test::stopProcess(xvfb);

    std::string socketPath;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().extension() == ".socket") socketPath = entry.path();
    const auto connected = [&socketPath] {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
        socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
        return connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? fd : -1;
    };
    // Another user, let through the folder, is not obeyed.
    chmod(session.dir().c_str(), 0711);
    chmod(folder.c_str(), 0711);
    chmod(socketPath.c_str(), 0777);
    const std::string request = empty + "\n";
    const pid_t stranger = fork();
    if (stranger == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        const int fd = connected();
        // It may already have been turned away: sent or not, it got through to the socket.
        if (fd >= 0) send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        _exit(fd >= 0 ? 0 : 1);
    }
    int status = -1;
    waitpid(stranger, &status, 0);
    EXPECT_EQ(status, 0);
    for (const std::string& path : {folder, session.dir()}) chmod(path.c_str(), 0700);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(soundsHeardAfter("xdotool key a"), 1u) << "the stranger's set was opened";

    std::vector<int> idle;
    for (int i = 0; i < 300; ++i) idle.push_back(connected());
    EXPECT_EQ(test::run({"timeout", "5", TAPSOUND_BINARY}), 0) << "not answered while flooded";
    for (int fd : idle) close(fd);
    EXPECT_EQ(test::run({"timeout", "5", TAPSOUND_BINARY}), 0) << "not answered after a flood";
}

// Without a runtime folder, lock and socket go to a temporary one that another user may have
// planted: tapsound then says why and runs on its own, never handing paths to the planter.
TEST_F(Tapsound, APlantedInstanceFolderIsRefusedAndTapsoundRunsAlone) {
    const std::string temp = session.dir() + "/tmp",
                      planted = temp + "/tapsound-" + std::to_string(geteuid());
    fs::create_directories(temp);
    chmod(temp.c_str(), 01777);
    const struct {
        std::string plant, says;
    } cases[] = {
        {"mkdir -m 700 " + planted + " && chown nobody " + planted, "owned by another user"},
        {"mkdir -m 777 " + planted, "open to other users"},
        {"ln -s " + session.dir() + " " + planted, "not a folder but a link"}};
    for (const auto& c : cases) {
        fs::remove_all(planted);
        ASSERT_EQ(test::run({"sh", "-c", c.plant}), 0);
        start({}, {"env", "-u", "XDG_RUNTIME_DIR", "TMPDIR=" + temp});
        EXPECT_NE(test::readBytes(log).find(planted + ": " + c.says), std::string::npos) << c.says;
        EXPECT_EQ(test::stopProcess(pid), 0) << c.says;
        fs::remove(log);
    }
}

// A FIFO in place of the settings file is left alone as unset; with nowhere to keep settings,
// tapsound says so and runs on, writing nothing.
TEST_F(Tapsound, SettingsThatCannotBeKeptAreNeverWaitedOn) {
    fs::create_directories(config + "/tapsound");
    ASSERT_EQ(mkfifo((config + "/tapsound/tapsound.ini").c_str(), 0600), 0);
    start();
    EXPECT_EQ(soundsHeardAfter("xdotool key a"), 1u);
    EXPECT_EQ(test::run({"timeout", "5", TAPSOUND_BINARY}), 0);
    EXPECT_EQ(test::stopProcess(pid), 0);
    EXPECT_TRUE(fs::is_fifo(config + "/tapsound/tapsound.ini"));

    const bool storedBefore = fs::exists("/.config/tapsound");
    start({}, {"env", "-u", "HOME", "-u", "XDG_CONFIG_HOME"});
    EXPECT_EQ(soundsHeardAfter("xdotool key a"), 1u);
    EXPECT_EQ(test::stopProcess(pid), 0);
    EXPECT_NE(test::readBytes(log).find("cannot store settings"), std::string::npos);
    EXPECT_EQ(fs::exists("/.config/tapsound"), storedBefore);
}

// Two starts at the same moment leave exactly one; the socket of a killed one is replaced.
TEST_F(Tapsound, ExactlyOneInstanceWhateverTheTiming) {
    for (int round = 0; round < 5; ++round) {
        pid_t both[] = {test::spawn({TAPSOUND_BINARY}), test::spawn({TAPSOUND_BINARY})};
        int status = -1;
        pid_t exited = 0;
        const auto oneExited = [&] {
            for (pid_t p : both) exited = waitpid(p, &status, WNOHANG) == p ? p : exited;
            return exited > 0;
        };
        ASSERT_TRUE(waitFor(oneExited, 10s));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
        std::this_thread::sleep_for(500ms);
        pid = both[both[0] == exited ? 1 : 0];
        EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "the first one stays up";
        EXPECT_TRUE(round == 4 || test::stopProcess(pid) == 0);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    start({TAPSOUND_EXAMPLE_SET});
    EXPECT_EQ(test::run({TAPSOUND_BINARY}), 0);
    EXPECT_EQ(soundsHeardAfter("xdotool key a"), 1u);
}

// 20,000 sounds (beyond the decoded-audio budget) decode for seconds, off the main thread: later
// starts are answered meanwhile, and quitting does not wait for the load.
TEST_F(Tapsound, ALargeSetLoadsAsideAndQuittingDuringItIsImmediate) {
    const std::string big = session.dir() + "/Big";
    fs::create_directories(big);
    ASSERT_TRUE(test::writeTone(big + "/0.wav", {.seconds = 0.2}));
    const std::string wav = test::readBytes(big + "/0.wav");
    for (int i = 1; i < 20000; ++i) test::writeBytes(big + "/" + std::to_string(i) + ".wav", wav);
    start({big});
    EXPECT_EQ(test::run({"timeout", "1", TAPSOUND_BINARY}), 0);
    const auto quit = std::chrono::steady_clock::now();
    EXPECT_EQ(test::stopProcess(pid), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - quit, 1s);
    EXPECT_TRUE(setting("Bookmark").isNull()) << "the load ended before the quit: a larger set";
}

// A zipped Mechvibes pack with release sounds: a held key is heard going down and coming up,
// each once, its repeats not at all.
TEST_F(Tapsound, AHeldKeyIsHeardOnceGoingDownAndOnceComingUp) {
    const std::string pack = session.dir() + "/pack.zip", tone = session.dir() + "/tone.wav";
    ASSERT_TRUE(test::writeTone(tone, {.seconds = 0.05, .amplitude = 0.8}));
    const std::string down = test::readBytes(tone);
    ASSERT_TRUE(test::writeTone(tone, {.seconds = 0.05, .amplitude = 0.2}));
    ASSERT_TRUE(test::writeZip(
        pack, {{"Pack/config.json",
                R"({"version": 2, "sound": "down.wav", "soundup": "up.wav", "defines": {}})"},
               {"Pack/down.wav", down},
               {"Pack/up.wav", test::readBytes(tone)}}));
    start({pack});
    test::MonitorRecorder recorder(session);
    EXPECT_EQ(test::run({"sh", "-c", "xdotool keydown a && sleep 1 && xdotool keyup a"}), 0);
    std::this_thread::sleep_for(400ms);
    const std::vector<float> heard = recorder.stop();
    const auto onsets = test::findOnsets(heard, 0.01f, 4800, &recorder);
    ASSERT_EQ(onsets.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {  // the press tone, then the release tone, at volume 0.5
        const auto from = heard.begin() + static_cast<std::ptrdiff_t>(onsets[i] * 2);
        const float peak = *std::max_element(from, from + 4800);
        EXPECT_NEAR(peak, i == 0 ? 0.4f : 0.1f, 0.03f) << "sound " << i;
    }
}

std::vector<std::string> visibleWindows() {
    std::istringstream lines(test::capture("xdotool search --onlyvisible --classname tapsound"));
    return {std::istream_iterator<std::string>(lines), std::istream_iterator<std::string>()};
}

// In IceWM's tray, an XEmbed tray.
TEST_F(Tapsound, TrayIconOpensTheMenuWhoseSliderSetsTheVolumeAndWhoseShortcutsWork) {
    pid_t tray = test::spawn({"icewm"}, session.dir() + "/icewm.log");
    std::this_thread::sleep_for(1500ms);
    test::FocusedWindow target;  // keys typed into it are heard beside an XEmbed icon
    ASSERT_TRUE(target.ok());
    start({TAPSOUND_EXAMPLE_SET});
    ASSERT_TRUE(waitFor([] { return visibleWindows().size() == 1; }, 15s)) << "no tray icon";
    const std::string icon = visibleWindows().front();
    std::this_thread::sleep_for(1000ms);
    EXPECT_EQ(soundsHeardAfter("xdotool key --delay 200 a s"), 2u);
    EXPECT_EQ(test::run({"xdotool", "mousemove", "--window", icon, "8", "8", "click", "1"}), 0);
    ASSERT_TRUE(waitFor([] { return visibleWindows().size() == 2; }, 5s));
    const std::string menu = visibleWindows()[visibleWindows()[0] == icon ? 1 : 0];
    std::this_thread::sleep_for(300ms);
    // A picture of the open menu, kept beside the test binary for people to look at; then the
    // wheel over each of its rows, which only the slider takes.
    const std::string shell =
        "eval $(xdotool getwindowgeometry --shell " + menu + "); " +
        "import -window root -crop ${WIDTH}x${HEIGHT}+$X+$Y tray_menu.png && " +
        "convert tray_menu.png -format '%[fx:standard_deviation] ' info:; " +
        "for y in $(seq $((Y + 4)) 4 $((Y + HEIGHT - 4))); do " +
        "xdotool mousemove $((X + WIDTH / 2)) $y click 4; done; echo $HEIGHT";
    std::istringstream shown(test::capture(shell));
    double spread = 0;
    int height = 0;
    shown >> spread >> height;
    EXPECT_GT(spread, 0.02) << "the menu looks blank";
    EXPECT_GT(height, 60);
    test::run({"xdotool", "key", "ctrl+q"});  // the shortcut shown in the open menu quits
    EXPECT_TRUE(waitFor([this] { return waitpid(pid, nullptr, WNOHANG) == pid; }, 3s));
    pid = -1;
    EXPECT_GT(setting("volume").toDouble(), 0.5);
    test::stopProcess(tray);
}

TEST(X11Keys, EachKeyTypedIntoAnotherProgramPlaysOnceByItsPhysicalKey) {
    test::PrivateSession session{{.display = true, .audio = false}};
    ASSERT_TRUE(session.ok()) << session.error();
    test::FocusedWindow window;
    ASSERT_TRUE(window.ok());
    test::ControllerRig rig{true, {}, std::make_unique<platform::X11KeySource>()};
    ASSERT_TRUE(rig.monitorEveryKey() && rig.monitor.isSourceRunning());
    // The key codes played after the xdotool command, once the event loop has read what came.
    const auto playedAfter = [&](const std::string& xdotool) {
        EXPECT_EQ(test::run({"sh", "-c", xdotool}), 0);
        for (int i = 0; i < 40; ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            std::this_thread::sleep_for(10ms);
        }
        return rig.played();
    };
    const struct {
        const char* xdotool;
        std::vector<int> played;
    } cases[] = {
        // h e l l o space w o r l d
        {"xdotool type --delay 40 'hello world'", {4, 14, 37, 37, 31, 49, 13, 31, 15, 37, 2}},
        // Held past the server's auto-repeat delay: the repeats and the release are not heard.
        {"xdotool keydown a && sleep 1.2 && xdotool keyup a", {0}},
        // Shift down sounds, then the letter; letting go of Shift is silent.
        {"xdotool key shift+a", {56, 0}},
        {"xdotool key Caps_Lock", {57}},  // switched on
        {"xdotool key Caps_Lock", {}},    // switched off
    };
    for (const auto& c : cases) EXPECT_EQ(playedAfter(c.xdotool), c.played) << c.xdotool;
    // Nothing is heard once monitoring ends: the source stops reading keys.
    rig->endEventMonitor();
    EXPECT_EQ(playedAfter("xdotool type --delay 20 dead"), std::vector<int>{});
    rig->startEventMonitor();
    EXPECT_EQ(playedAfter("xdotool type --delay 20 do"), (std::vector<int>{2, 31}));
    EXPECT_GE(window.drainKeyPresses(), 23)
        << "the keys, a repeat too, must still reach their program";
}

}  // namespace
}  // namespace tapsound
