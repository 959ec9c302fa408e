// Measures the real program from outside, under a private Xvfb, session bus and sound server: key
// press to sound latency, start-up time to a ready tray, and its footprint (idle CPU and wake-ups,
// CPU while typing, private dirty memory, RSS) on PulseAudio and on PipeWire, each beside a
// reference process typed at in the same run: the peer bucklespring (Debian's package, run as a
// yardstick only), since absolute figures drift between machines.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/measure.h"
#include "tests/support/private_session.h"

namespace {

using tapsound::test::Clock;
using tapsound::test::percentile;
using tapsound::test::StampedRecorder;
using namespace std::chrono_literals;

constexpr const char* kPeer = "/usr/games/buckle";

struct Footprint {
    double idleCpu = 0, idleWakeUpsPerSecond = 0, typingCpu = 0, typingWakeUpsPerSecond = 0;
    long dirtyKiB = 0, rssKiB = 0;
};

void printRow(const char* who, const Footprint& f) {
    std::printf("  %-28s idle %.2f %% (%.1f wake-ups/s)  typing %.2f %% (%.0f wake-ups/s)  dirty %.2f MiB  RSS %.1f MiB\n",
                who, f.idleCpu, f.idleWakeUpsPerSecond, f.typingCpu, f.typingWakeUpsPerSecond, f.dirtyKiB / 1024.0,
                f.rssKiB / 1024.0);
}

bool waitForTrayIcon(Clock::duration timeout) {
    const auto launched = Clock::now();
    while (Clock::now() - launched < timeout) {
        if (!tapsound::test::capture("xdotool search --classname tapsound 2>/dev/null").empty())
            return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

// Typing as a person at `perSecond` presses a second, each key held a moment, for `seconds`.
void type(Display* display, int perSecond, int seconds) {
    const char* keys[] = {"a", "s", "d", "f", "j", "k", "l", "e", "space", "BackSpace"};
    const auto period = std::chrono::microseconds(1000000 / perSecond);
    auto next = Clock::now();
    for (int i = 0; i < perSecond * seconds; ++i) {
        const KeyCode key = XKeysymToKeycode(display, XStringToKeysym(keys[i % 10]));
        XTestFakeKeyEvent(display, key, True, CurrentTime);
        XFlush(display);
        std::this_thread::sleep_for(25ms);
        XTestFakeKeyEvent(display, key, False, CurrentTime);
        XFlush(display);
        next += period;
        std::this_thread::sleep_until(next);
    }
}

// Both processes measured over the same seconds, so a busy machine weighs on both alike.
std::pair<Footprint, Footprint> footprint(bool pipewire, int idleSeconds, int typingSeconds) {
    tapsound::test::PrivateSession session{{.bus = true, .pipewire = pipewire}};
    if (!session.ok()) {
        std::fprintf(stderr, "session: %s\n", session.error().c_str());
        std::exit(1);
    }
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    pid_t tray = tapsound::test::spawn({"icewm"}, session.dir() + "/icewm.log");
    std::this_thread::sleep_for(1500ms);
    pid_t app = tapsound::test::spawn({TAPSOUND_BINARY, TAPSOUND_EXAMPLE_SET},
                                      session.dir() + "/tapsound.log");
    if (access(kPeer, X_OK) != 0) {
        std::fprintf(stderr, "%s is missing: scripts/install-deps --tests installs it\n", kPeer);
        std::exit(1);
    }
    pid_t reference = tapsound::test::spawn({kPeer, "-f"}, session.dir() + "/reference.log");
    if (!waitForTrayIcon(15s)) std::fprintf(stderr, "no tray icon\n");
    // Settled: the set loaded (it is stored once it plays) and start-up's work done.
    tapsound::test::waitFor(
        [&] {
            return tapsound::test::capture("grep -rl Example.tapsnd '" + session.dir() +
                                           "/.config' 2>/dev/null")
                       .size() > 0;
        },
        15s);
    Display* display = XOpenDisplay(nullptr);
    // One burst first, so both have opened their streams and touched their sounds.
    type(display, 15, 2);
    std::this_thread::sleep_for(3s);

    std::pair<Footprint, Footprint> result;
    auto measure = [&](pid_t pid, Footprint& f, const tapsound::test::ProcessSample& a,
                       const tapsound::test::ProcessSample& b, bool idle) {
        const double seconds = std::chrono::duration<double>(b.at - a.at).count();
        const double cpu = 100.0 * (b.cpuSeconds - a.cpuSeconds) / seconds;
        const double wakeUps = static_cast<double>(b.switches - a.switches) / seconds;
        (idle ? f.idleCpu : f.typingCpu) = cpu;
        (idle ? f.idleWakeUpsPerSecond : f.typingWakeUpsPerSecond) = wakeUps;
        // A binary linked moments ago is still dirty in the page cache, and smaps counts
        // those pages as the process's own until they are written back.
        sync();
        f.dirtyKiB = tapsound::test::privateDirtyKiB(pid);
        f.rssKiB = tapsound::test::residentKiB(pid);
    };
    {
        const auto ours = tapsound::test::sample(app), theirs = tapsound::test::sample(reference);
        std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
        measure(app, result.first, ours, tapsound::test::sample(app), true);
        measure(reference, result.second, theirs, tapsound::test::sample(reference), true);
    }
    {
        const auto ours = tapsound::test::sample(app), theirs = tapsound::test::sample(reference);
        type(display, 15, typingSeconds);
        measure(app, result.first, ours, tapsound::test::sample(app), false);
        measure(reference, result.second, theirs, tapsound::test::sample(reference), false);
    }
    std::printf("%s, %d s idle then %d s typing at 15 presses/s, same run:\n",
                pipewire ? "PipeWire" : "PulseAudio", idleSeconds, typingSeconds);
    printRow("tapsound", result.first);
    printRow("bucklespring", result.second);
    std::printf("  typing CPU, ours / reference: %.2fx\n",
                result.first.typingCpu / result.second.typingCpu);

    XCloseDisplay(display);
    tapsound::test::stopProcess(reference);
    tapsound::test::stopProcess(app);
    tapsound::test::stopProcess(tray);
    return result;
}

void latency(int presses) {
    tapsound::test::PrivateSession session;
    if (!session.ok()) {
        std::fprintf(stderr, "session: %s\n", session.error().c_str());
        std::exit(1);
    }
    setenv("XDG_CONFIG_HOME", (session.dir() + "/config").c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    pid_t tray = tapsound::test::spawn({"icewm"}, session.dir() + "/icewm.log");
    std::this_thread::sleep_for(1500ms);

    const auto launched = Clock::now();
    pid_t app = tapsound::test::spawn({TAPSOUND_BINARY, TAPSOUND_EXAMPLE_SET},
                                      session.dir() + "/tapsound.log");
    const bool ready = waitForTrayIcon(15s);
    const double startupMs =
        std::chrono::duration<double, std::milli>(Clock::now() - launched).count();
    std::printf("start-up to tray icon window: %s %.0f ms\n", ready ? "" : "(no tray icon!)",
                startupMs);
    std::this_thread::sleep_for(1500ms);

    StampedRecorder recorder;
    if (!recorder.start(session.pulseServer(),
                        std::string(tapsound::test::PrivateSession::kSinkName) + ".monitor")) {
        std::fprintf(stderr, "cannot record\n");
        std::exit(1);
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
    XCloseDisplay(display);
    tapsound::test::stopProcess(app);
    tapsound::test::stopProcess(tray);
}

}  // namespace

// program_bench [presses for the latency, 0 to skip] [idle seconds] [typing seconds] [pulse|pipewire]
int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int presses = argc > 1 ? std::atoi(argv[1]) : 200;
    const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 20;
    const int typingSeconds = argc > 3 ? std::atoi(argv[3]) : 30;
    if (presses > 0) latency(presses);
    const std::string only = argc > 4 ? argv[4] : "";
    for (bool pipewire : {false, true}) {
        if (only.empty() || only == (pipewire ? "pipewire" : "pulse"))
            footprint(pipewire, idleSeconds, typingSeconds);
    }
    return 0;
}
