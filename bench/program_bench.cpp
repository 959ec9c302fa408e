// Measures the real program from outside, under a private Xvfb and PulseAudio: key press to sound
// latency, start-up time to a ready tray, private memory with the example set, and idle CPU.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/measure.h"
#include "tests/support/private_session.h"

namespace {

using tapsound::test::Clock;
using tapsound::test::percentile;
using tapsound::test::privateKiB;
using tapsound::test::StampedRecorder;
using namespace std::chrono_literals;

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int presses = argc > 1 ? std::atoi(argv[1]) : 200;
    const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 30;
    tapsound::test::PrivateSession session;
    if (!session.ok()) {
        std::fprintf(stderr, "session: %s\n", session.error().c_str());
        return 1;
    }
    setenv("XDG_CONFIG_HOME", (session.dir() + "/config").c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    pid_t tray = tapsound::test::spawn({"icewm"}, session.dir() + "/icewm.log");
    std::this_thread::sleep_for(1500ms);

    const auto launched = Clock::now();
    pid_t app = tapsound::test::spawn({TAPSOUND_BINARY, TAPSOUND_EXAMPLE_SET},
                                      session.dir() + "/tapsound.log");
    bool ready = false;
    while (Clock::now() - launched < 15s) {
        if (!tapsound::test::capture("xdotool search --classname tapsound 2>/dev/null").empty()) {
            ready = true;
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    const double startupMs =
        std::chrono::duration<double, std::milli>(Clock::now() - launched).count();
    std::printf("start-up to tray icon window: %s %.0f ms\n", ready ? "" : "(no tray icon!)",
                startupMs);
    std::this_thread::sleep_for(1500ms);

    StampedRecorder recorder;
    if (!recorder.start(session.pulseServer(),
                        std::string(tapsound::test::PrivateSession::kSinkName) + ".monitor")) {
        std::fprintf(stderr, "cannot record\n");
        return 1;
    }
    Display* display = XOpenDisplay(nullptr);
    const KeyCode key = XKeysymToKeycode(display, XStringToKeysym("j"));
    std::mt19937 random(42);
    std::uniform_int_distribution<int> gap(200, 350);
    std::vector<double> latencies;
    int missed = 0;
    std::this_thread::sleep_for(500ms);
    for (int i = 0; i < presses; ++i) {
        recorder.clear();
        const auto pressed = Clock::now();
        XTestFakeKeyEvent(display, key, True, CurrentTime);
        XFlush(display);
        const auto onset = recorder.onsetAfter(pressed - 2ms, 0.01f, 300ms);
        XTestFakeKeyEvent(display, key, False, CurrentTime);
        XFlush(display);
        if (onset) {
            latencies.push_back(
                std::chrono::duration<double, std::milli>(*onset - pressed).count());
        } else {
            ++missed;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(gap(random)));
    }
    std::printf(
        "key press to sound (XTest to onset on the null-sink monitor), %zu presses, %d "
        "missed: median %.2f ms, p99 %.2f ms, min %.2f ms, max %.2f ms\n",
        latencies.size(), missed, percentile(latencies, 0.5), percentile(latencies, 0.99),
        percentile(latencies, 0.0), percentile(latencies, 1.0));

    std::printf("private memory with the example set loaded: %.1f MiB, of which dirty %.1f MiB\n",
                privateKiB(app) / 1024.0, tapsound::test::privateDirtyKiB(app) / 1024.0);
    std::this_thread::sleep_for(2s);
    const double before = tapsound::test::cpuSeconds(app);
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const double after = tapsound::test::cpuSeconds(app);
    std::printf("idle CPU over %d s: %.3f %% of a core\n", idleSeconds,
                100.0 * (after - before) / idleSeconds);

    XCloseDisplay(display);
    tapsound::test::stopProcess(app);
    tapsound::test::stopProcess(tray);
    return 0;
}
