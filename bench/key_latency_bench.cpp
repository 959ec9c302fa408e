// Time from an XTest key press sent here to the controller's key-down handling starting a sound,
// through the X server, XInput 2 raw events and the Qt event loop, under a private Xvfb.
#include <QApplication>
#include <QEventLoop>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
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

int main(int argc, char** argv) {
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
