// Time from an XTest key press sent here to the controller's key-down handling starting a sound,
// through the X server, XInput 2 raw events and the Qt event loop, under a private Xvfb.
// "flood SECONDS [pipewire] [window]": the real program under an XTest key flood (the pointer over
// its no-tray window with "window"): its peak memory, and how long SIGTERM takes during the flood.
#include <signal.h>
#include <sys/wait.h>

#include <QApplication>
#include <QEventLoop>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/measure.h"
#include "platform/key_source_x11.h"
#include "tests/support/fake_platform.h"
#include "tests/support/private_session.h"

// Last: Xlib's macros clash with Qt's headers.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

using namespace std::chrono_literals;
using tapsound::test::Clock;

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

}  // namespace

int main(int argc, char** argv) {
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
    auto& started = rig.player->started;

    Display* display = XOpenDisplay(nullptr);
    const KeyCode key = XKeysymToKeycode(display, XStringToKeysym("j"));
    std::mt19937 random(3);
    std::uniform_int_distribution<int> gap(5, 30);
    std::vector<double> latencies;
    int missed = 0;
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
    std::printf(
        "XTest press to key-down handling, %zu presses, %d missed: median %.3f ms, p99 %.3f ms, "
        "max %.3f ms\n",
        latencies.size(), missed, tapsound::test::percentile(latencies, 0.5),
        tapsound::test::percentile(latencies, 0.99), tapsound::test::percentile(latencies, 1.0));
    XCloseDisplay(display);
    return 0;
}
