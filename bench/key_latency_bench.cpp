// Time from an XTest key press sent here to the controller's key-down handling starting a sound,
// through the X server, XInput 2 raw events and the Qt event loop, under a private Xvfb.
// "flood SECONDS [pipewire] [window]": the real program under an XTest key flood (the pointer over
// its no-tray window with "window"): its peak memory, and how long SIGTERM takes during the flood.
// "clicks N [busy]": the real program with a keyboard set and a mouse pack of tones, N key presses
// and N clicks taken in turns, each timed from XTest to the onset on the null sink's monitor; then
// its CPU under an XTest click flood with no mouse pack and with one. "busy" keeps two cores
// spinning and another program playing quietly meanwhile, as on a desktop in use.
// "quiet N [busy]": the real program, N presses to sound with its quiet checks live against N with
// its watchers finding nothing to watch, in turns.
// "wayland-idle": wake-ups of the Wayland focus watcher on an idle headless sway, against the
// same event loop without it.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDBusConnection>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/main_interface.h"
#include "bench/measure.h"
#include "platform/focus.h"
#include "platform/key_source_x11.h"
#include "tests/support/fake_platform.h"
#include "tests/support/panel.h"
#include "tests/support/private_session.h"
#include "tests/support/sound_files.h"

// Last: Xlib's macros clash with Qt's headers.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

using namespace std::chrono_literals;
using tapsound::test::Clock;
using tapsound::test::percentile;
using tapsound::test::StampedRecorder;

namespace {

long statusKiB(pid_t pid, const char* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    }
    return -1;
}

int flood(double seconds, bool pipewire, bool overWindow) {
    namespace test = tapsound::test;
    test::PrivateSession session{{.display = true, .audio = true, .pipewire = pipewire}};
    if (!session.ok()) {
        std::fprintf(stderr, "session: %s\n", session.error().c_str());
        return 1;
    }
    setenv("XDG_CONFIG_HOME", (session.dir() + "/config").c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    pid_t app = test::spawn({TAPSOUND_BINARY, TAPSOUND_EXAMPLE_SET}, session.dir() + "/app.log");
    // No tray here: the stand-in window shows after its grace period.
    std::this_thread::sleep_for(5s);
    if (overWindow) {
        test::run({"sh", "-c",
                   "xdotool search --onlyvisible --classname tapsound | tail -1 | "
                   "xargs -I{} xdotool mousemove --window {} 40 20"});
    }
    const long before = statusKiB(app, "VmRSS:");
    std::atomic<bool> flooding{true};
    std::atomic<long> sent{0};
    std::thread typist([&] {
        Display* display = XOpenDisplay(nullptr);
        const KeyCode key = XKeysymToKeycode(display, XStringToKeysym("j"));
        while (flooding) {
            for (int i = 0; i < 500; ++i) {
                XTestFakeKeyEvent(display, key, True, CurrentTime);
                XTestFakeKeyEvent(display, key, False, CurrentTime);
            }
            XSync(display, False);
            sent += 500;
        }
        XCloseDisplay(display);
    });
    const auto started = Clock::now();
    long peakRss = before;
    std::string trace;
    for (int tick = 1; Clock::now() - started < std::chrono::duration<double>(seconds); ++tick) {
        std::this_thread::sleep_for(100ms);
        const long rss = statusKiB(app, "VmRSS:");
        peakRss = std::max(peakRss, rss);
        if (tick % 10 == 0) trace += " " + std::to_string(rss / 1024);
    }
    const long hwm = statusKiB(app, "VmHWM:");
    const double rate = static_cast<double>(sent) / seconds;
    const auto asked = Clock::now();
    kill(app, SIGTERM);
    int status = 0;
    bool ended = false;
    while (Clock::now() - asked < 20s && !(ended = waitpid(app, &status, WNOHANG) == app)) {
        std::this_thread::sleep_for(1ms);
    }
    const double termMs = std::chrono::duration<double, std::milli>(Clock::now() - asked).count();
    flooding = false;
    typist.join();
    if (!ended) test::stopProcess(app);
    std::printf(
        "%s flood%s, %.0f s at %.0f presses/s: RSS %.1f MB before, peak %.1f MB (VmHWM %.1f MB); "
        "SIGTERM during the flood: %s after %.0f ms; RSS each second (MB):%s\n",
        pipewire ? "PipeWire" : "PulseAudio", overWindow ? " over the window" : "", seconds, rate,
        before / 1024.0, peakRss / 1024.0, hwm / 1024.0,
        ended ? (WIFEXITED(status) ? "exited" : "killed by a signal") : "still running", termMs,
        trace.c_str());
    return 0;
}

// The program's CPU, as a share of one core, while XTest clicks the left button as fast as it can.
double cpuUnderClickFlood(pid_t app, double seconds) {
    std::atomic<bool> flooding{true};
    std::thread clicker([&] {
        Display* display = XOpenDisplay(nullptr);
        while (flooding) {
            for (int i = 0; i < 100; ++i) {
                XTestFakeButtonEvent(display, 1, True, CurrentTime);
                XTestFakeButtonEvent(display, 1, False, CurrentTime);
            }
            XSync(display, False);
        }
        XCloseDisplay(display);
    });
    const double before = tapsound::test::cpuSeconds(app);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double used = tapsound::test::cpuSeconds(app) - before;
    flooding = false;
    clicker.join();
    return 100.0 * used / seconds;
}

int clicks(int presses, bool busy) {
    namespace test = tapsound::test;
    test::PrivateSession session{{.display = true, .audio = true}};
    if (!session.ok()) {
        std::fprintf(stderr, "session: %s\n", session.error().c_str());
        return 1;
    }
    setenv("XDG_CONFIG_HOME", (session.dir() + "/config").c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    const std::string keys = session.dir() + "/key.wav", pack = session.dir() + "/Clicks";
    std::filesystem::create_directories(pack);
    test::writeTone(keys, {.seconds = 0.05, .frequency = 800});
    test::writeTone(pack + "/click.wav", {.seconds = 0.05, .frequency = 1200});
    test::writeBytes(
        pack + "/config.json",
        R"({"metadata": {"name": "Clicks"}, "sounds": {"left": {"down": ["click.wav"]}}})");
    std::vector<pid_t> load;
    if (busy) {
        test::writeTone(session.dir() + "/quiet.wav",
                        {.seconds = 5, .frequency = 300, .amplitude = 0.004});
        load.push_back(
            test::spawn({"sh", "-c", "while :; do paplay " + session.dir() + "/quiet.wav; done"}));
        for (int i = 0; i < 2; ++i)
            load.push_back(test::spawn({"sh", "-c", "while :; do :; done"}));
    }
    pid_t app = test::spawn({TAPSOUND_BINARY, keys}, session.dir() + "/app.log");
    std::this_thread::sleep_for(5s);
    Display* display = XOpenDisplay(nullptr);
    // Away from the no-tray window, whose buttons a click would press.
    XTestFakeMotionEvent(display, -1, DisplayWidth(display, 0) - 5, DisplayHeight(display, 0) - 5,
                         CurrentTime);
    XSync(display, False);
    const double idleBefore = tapsound::test::cpuSeconds(app);
    std::this_thread::sleep_for(5s);
    const double idle = 100.0 * (tapsound::test::cpuSeconds(app) - idleBefore) / 5;
    const double withoutPack = cpuUnderClickFlood(app, 5);
    if (test::run({TAPSOUND_BINARY, pack}) != 0) {
        std::fprintf(stderr, "the mouse pack did not open\n");
        return 1;
    }
    std::this_thread::sleep_for(1s);
    StampedRecorder recorder;
    if (!recorder.start(session.pulseServer(),
                        std::string(test::PrivateSession::kSinkName) + ".monitor")) {
        std::fprintf(stderr, "cannot record\n");
        return 1;
    }
    const KeyCode key = XKeysymToKeycode(display, XStringToKeysym("j"));
    std::mt19937 random(7);
    std::uniform_int_distribution<int> gap(150, 250);
    std::vector<double> latencies[2];
    int missed[2] = {0, 0};
    for (int i = 0; i < 2 * presses; ++i) {
        const bool click = i % 2;
        recorder.clear();
        const auto pressed = Clock::now();
        click ? XTestFakeButtonEvent(display, 1, True, CurrentTime)
              : XTestFakeKeyEvent(display, key, True, CurrentTime);
        XFlush(display);
        const auto onset = recorder.onsetAfter(pressed - 2ms, 0.01f, 300ms);
        click ? XTestFakeButtonEvent(display, 1, False, CurrentTime)
              : XTestFakeKeyEvent(display, key, False, CurrentTime);
        XFlush(display);
        if (onset) {
            latencies[click].push_back(
                std::chrono::duration<double, std::milli>(*onset - pressed).count());
        } else {
            ++missed[click];
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(gap(random)));
    }
    const double withPack = cpuUnderClickFlood(app, 5);
    for (const int click : {0, 1}) {
        std::printf("%s to sound, %zu, %d missed: median %.2f ms, p99 %.2f ms, max %.2f ms\n",
                    click ? "XTest click" : "XTest key press", latencies[click].size(),
                    missed[click], percentile(latencies[click], 0.5),
                    percentile(latencies[click], 0.99), percentile(latencies[click], 1.0));
    }
    std::printf("click minus key, median: %+.2f ms%s\n",
                percentile(latencies[1], 0.5) - percentile(latencies[0], 0.5),
                busy ? " (two cores spinning, another stream playing)" : "");
    std::printf(
        "CPU: %.2f %% of a core idle; under a click flood %.2f %% with no mouse pack, %.2f %% "
        "with one\n",
        idle, withoutPack, withPack);
    XCloseDisplay(display);
    test::stopProcess(app);
    for (pid_t& pid : load) test::stopProcess(pid);
    return 0;
}

// XTest presses of J at random gaps, each timed to the controller's starting its sound.
void timePresses(tapsound::test::ControllerRig& rig, Display* display, int presses,
                 std::mt19937& random, std::vector<double>& latencies, int& missed) {
    auto& started = rig.player->started;
    const KeyCode key = XKeysymToKeycode(display, XStringToKeysym("j"));
    std::uniform_int_distribution<int> gap(5, 30);
    for (int i = 0; i < presses; ++i) {
        const std::size_t before = started.size();
        const auto pressed = Clock::now();
        XTestFakeKeyEvent(display, key, True, CurrentTime);
        XFlush(display);
        while (started.size() == before && Clock::now() - pressed < 500ms) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        }
        if (started.size() > before) {
            latencies.push_back(
                std::chrono::duration<double, std::milli>(started.back().at - pressed).count());
        } else {
            ++missed;
        }
        XTestFakeKeyEvent(display, key, False, CurrentTime);
        XFlush(display);
        const auto until = Clock::now() + std::chrono::milliseconds(gap(random));
        while (Clock::now() < until) QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
    }
}

const char* const kGtkField = R"(
import gi
gi.require_version('Gtk', '3.0')
from gi.repository import Gtk
window = Gtk.Window(title='tapsound-field')
window.add(Gtk.Entry())
window.show_all()
Gtk.main()
)";

// The real program typing into a GTK field under IceWM, press to the sound's onset on the null
// sink, its quiet checks live (the focus told by the window manager and the accessibility bus,
// the lock watcher, Silent in Full Screen on and a rule for another application) against the same
// program started where its watchers find nothing to watch (no Wayland compositor for the focus,
// a session bus with no accessibility bus or screen saver), in turns, a fresh start each turn.
int quiet(int argc, char** argv, int presses, bool busy) {
    namespace test = tapsound::test;
    test::PrivateSession session{{.display = true, .audio = true, .bus = true}};
    if (!session.ok()) {
        std::fprintf(stderr, "session: %s\n", session.error().c_str());
        return 1;
    }
    const std::string config = session.dir() + "/config", bare = session.dir() + "/bare-bus";
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    test::writeBytes(config + "/tapsound/tapsound.ini",
                     "[General]\nsilentInFullScreen=1\nsilentIn=@ByteArray(Other)\n");
    test::writeBytes(session.dir() + "/bare.conf",
                     "<busconfig><type>session</type><listen>unix:path=" + bare +
                         "</listen><auth>EXTERNAL</auth><policy context='default'>"
                         "<allow send_destination='*' eavesdrop='true'/><allow eavesdrop='true'/>"
                         "<allow own='*'/></policy></busconfig>");
    std::vector<pid_t> load = {
        test::spawn({"dbus-daemon", "--nofork", "--config-file=" + session.dir() + "/bare.conf"}),
        test::spawn({"icewm"})};
    if (busy) {
        test::writeTone(session.dir() + "/quiet.wav",
                        {.seconds = 5, .frequency = 300, .amplitude = 0.004});
        load.push_back(
            test::spawn({"sh", "-c", "while :; do paplay " + session.dir() + "/quiet.wav; done"}));
        for (int i = 0; i < 2; ++i)
            load.push_back(test::spawn({"sh", "-c", "while :; do :; done"}));
    }
    // A panel on either bus, as on a desktop: its host shows the icon.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    test::PanelWatcher panels[2];
    test::waitFor([&] { return std::filesystem::exists(bare); }, 5s);
    panels[0].offer(
        QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), "panel"));
    panels[1].offer(
        QDBusConnection::connectToBus(QString::fromStdString("unix:path=" + bare), "bare"));
    const std::string tone = session.dir() + "/key.wav";
    test::writeTone(tone, {.seconds = 0.05, .frequency = 800});
    test::writeBytes(session.dir() + "/field.py", kGtkField);
    load.push_back(test::spawn({"/usr/bin/python3", session.dir() + "/field.py"}));
    test::run({"xdotool", "search", "--sync", "--name", "tapsound-field", "windowactivate",
               "--sync"});
    std::unique_ptr<StampedRecorder> recorder;
    Display* display = XOpenDisplay(nullptr);
    const KeyCode key = XKeysymToKeycode(display, XStringToKeysym("j"));
    const auto press = [&]() -> std::optional<double> {
        recorder->clear();
        const auto pressed = Clock::now();
        XTestFakeKeyEvent(display, key, True, CurrentTime);
        XFlush(display);
        const auto onset = recorder->onsetAfter(pressed - 2ms, 0.01f, 300ms);
        XTestFakeKeyEvent(display, key, False, CurrentTime);
        XFlush(display);
        if (!onset) return std::nullopt;
        return std::chrono::duration<double, std::milli>(*onset - pressed).count();
    };
    std::mt19937 random(5);
    std::uniform_int_distribution<int> gap(150, 250);
    std::vector<double> latencies[2];
    int missed[2] = {0, 0};
    const int rounds = 10;
    for (int round = 0; round < 2 * rounds; ++round) {
        const bool on = round % 2 == 0;
        std::vector<std::string> argv = {"env"};
        if (!on) {
            argv.insert(argv.end(), {"WAYLAND_DISPLAY=none", "TAPSOUND_KEYS=x11",
                                     "DBUS_SESSION_BUS_ADDRESS=unix:path=" + bare});
        }
        argv.insert(argv.end(), {TAPSOUND_BINARY, tone});
        for (auto& panel : panels) panel.items.clear();
        pid_t app = test::spawn(argv, session.dir() + "/app.log");
        // Recorded afresh once its output has connected, as the sink's monitor is read best.
        test::waitFor(
            [] { return test::capture("pactl list clients").find("tapsound") != std::string::npos; },
            10s);
        // Its icon shown by the panel: without a StatusNotifier host it would stand in a window.
        test::waitFor(
            [&] { return QCoreApplication::processEvents(), !panels[on ? 0 : 1].items.isEmpty(); },
            10s);
        std::this_thread::sleep_for(1s);
        recorder = std::make_unique<StampedRecorder>();
        if (!recorder->start(session.pulseServer(),
                             std::string(test::PrivateSession::kSinkName) + ".monitor")) {
            std::fprintf(stderr, "cannot record\n");
            return 1;
        }
        // Started once a press is heard; the watchers' first questions answered before timing,
        // as in a program running a while.
        if (!test::waitFor([&] { return press().has_value(); }, 20s)) {
            std::fprintf(stderr, "no sound from tapsound: %s\n",
                         test::readBytes(session.dir() + "/app.log").c_str());
            for (pid_t& pid : load) test::stopProcess(pid);
            return 1;
        }
        std::this_thread::sleep_for(1s);
        for (int i = 0; i < presses / rounds; ++i) {
            const auto latency = press();
            latency ? latencies[on].push_back(*latency) : void(++missed[on]);
            std::this_thread::sleep_for(std::chrono::milliseconds(gap(random)));
        }
        test::stopProcess(app);
    }
    for (const bool on : {false, true}) {
        std::printf(
            "XTest press to sound, quiet checks %s%s, %zu presses, %d missed: median %.2f ms, "
            "p99 %.2f ms, max %.2f ms\n",
            on ? "on " : "off", busy ? " (two cores spinning, another stream playing)" : "",
            latencies[on].size(), missed[on], percentile(latencies[on], 0.5),
            percentile(latencies[on], 0.99), percentile(latencies[on], 1.0));
    }
    std::printf("on minus off, median: %+.2f ms, p99: %+.2f ms\n",
                percentile(latencies[1], 0.5) - percentile(latencies[0], 0.5),
                percentile(latencies[1], 0.99) - percentile(latencies[0], 0.99));
    XCloseDisplay(display);
    for (pid_t& pid : load) test::stopProcess(pid);
    return 0;
}

// Voluntary context switches of this process's main thread: each is a wake-up after a wait.
long mainThreadWakeUps() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
    }
    return -1;
}

int waylandIdle(int argc, char** argv) {
    namespace test = tapsound::test;
    test::PrivateSession session{{.display = false, .audio = false, .bus = true}};
    if (!session.ok()) {
        std::fprintf(stderr, "session: %s\n", session.error().c_str());
        return 1;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    char runtime[] = "/tmp/tapsound-sway-XXXXXX";
    if (!mkdtemp(runtime)) return 1;
    const std::string dir = runtime;
    test::writeBytes(dir + "/config", "xwayland disable\noutput HEADLESS-1 resolution 800x600\n");
    test::writeBytes(dir + "/field.py", kGtkField);
    std::vector<std::string> sway = {"env", "XDG_RUNTIME_DIR=" + dir, "HOME=" + dir,
                                     "WAYLAND_DISPLAY=", "DISPLAY=", "WLR_BACKENDS=headless",
                                     "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman"};
    // sway refuses to run as root.
    if (getuid() == 0 && chown(runtime, 65534, 65534) == 0)
        sway.insert(sway.end(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    sway.insert(sway.end(), {"sway", "-c", dir + "/config"});
    pid_t compositor = test::spawn(sway, dir + "/sway.log");
    std::string socket;
    test::waitFor(
        [&] {
            std::error_code error;
            for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
                const std::string name = entry.path().filename();
                if (name.starts_with("wayland-") && !name.ends_with(".lock")) socket = entry.path();
            }
            return !socket.empty();
        },
        20s);
    setenv("WAYLAND_DISPLAY", socket.c_str(), 1);
    pid_t field = test::spawn({"env", "GDK_BACKEND=wayland", "/usr/bin/python3", dir + "/field.py"});
    QString focused;
    auto focus = tapsound::platform::chooseWindowFocus(
        [&](const tapsound::platform::WindowFocus::Window& window) {
            focused = window.application;
        });
    test::waitFor([&] { return QCoreApplication::processEvents(), !focused.isEmpty(); }, 30s);
    // The window's first states settle before the idle is counted.
    test::waitFor([] { return QCoreApplication::processEvents(), false; }, 2s);
    const auto wakeUpsPerSecond = [] {
        const long before = mainThreadWakeUps();
        QTimer::singleShot(10s, [] { QCoreApplication::quit(); });
        QCoreApplication::exec();
        return (mainThreadWakeUps() - before - 1) / 10.0;  // less the timer's own
    };
    const double with = wakeUpsPerSecond();
    focus.reset();
    const double without = wakeUpsPerSecond();
    std::printf(
        "Wayland focus watcher on an idle sway, the focus on %s: %.1f wake-ups a second; the same "
        "event loop without it: %.1f\n",
        focused.isEmpty() ? "nothing (no window told)" : qPrintable(focused), with, without);
    test::stopProcess(field);
    test::stopProcess(compositor);
    std::filesystem::remove_all(dir);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "quiet") == 0) {
        return quiet(argc, argv, argc > 2 ? std::atoi(argv[2]) : 200,
                     argc > 3 && std::strcmp(argv[3], "busy") == 0);
    }
    if (argc > 1 && std::strcmp(argv[1], "wayland-idle") == 0) return waylandIdle(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "clicks") == 0) {
        return clicks(argc > 2 ? std::atoi(argv[2]) : 200,
                      argc > 3 && std::strcmp(argv[3], "busy") == 0);
    }
    if (argc > 1 && std::strcmp(argv[1], "flood") == 0) {
        const auto has = [&](const char* word) {
            for (int i = 3; i < argc; ++i) {
                if (std::strcmp(argv[i], word) == 0) return true;
            }
            return false;
        };
        return flood(argc > 2 ? std::atof(argv[2]) : 10, has("pipewire"), has("window"));
    }
    const int presses = argc > 1 ? std::atoi(argv[1]) : 1000;
    tapsound::test::PrivateSession session{{.display = true, .audio = false}};
    if (!session.ok()) {
        std::fprintf(stderr, "session: %s\n", session.error().c_str());
        return 1;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);

    tapsound::test::ControllerRig rig(true, {},
                                      std::make_unique<tapsound::platform::X11KeySource>());
    tapsound::test::writeBytes(rig.dir.file("click.wav"), "sound");
    rig->awakeFromNib();
    rig->applicationDidFinishLaunching();
    rig->openWithFileURL(rig.dir.file("click.wav"));
    if (!rig->isMonitoring()) {
        std::fprintf(stderr, "not monitoring\n");
        return 1;
    }

    Display* display = XOpenDisplay(nullptr);
    std::mt19937 random(3);
    std::vector<double> latencies;
    int missed = 0;
    timePresses(rig, display, presses, random, latencies, missed);
    std::printf(
        "XTest press to key-down handling, %zu presses, %d missed: median %.3f ms, p99 %.3f ms, "
        "max %.3f ms\n",
        latencies.size(), missed, tapsound::test::percentile(latencies, 0.5),
        tapsound::test::percentile(latencies, 0.99), tapsound::test::percentile(latencies, 1.0));
    XCloseDisplay(display);
    return 0;
}
