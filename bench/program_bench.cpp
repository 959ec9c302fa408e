// Measures the real program from outside, under a private Xvfb and PulseAudio: key press to sound
// latency, start-up time to a ready tray, private memory with the example set, and idle CPU.
#include <pulse/simple.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/private_session.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The monitor of the null sink, each sample stamped with the time it was played.
class StampedRecorder {
public:
    bool start(const std::string& server, const std::string& source) {
        pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, 48000, 2};
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.fragsize = 128 * 8;
        int error = 0;
        _pa = pa_simple_new(server.c_str(), "program_bench", PA_STREAM_RECORD, source.c_str(),
                            "bench", &spec, nullptr, &attr, &error);
        if (!_pa) return false;
        _thread = std::thread([this] { loop(); });
        return true;
    }
    ~StampedRecorder() {
        _running = false;
        if (_thread.joinable()) _thread.join();
        if (_pa) pa_simple_free(_pa);
    }
    // The time of the first sample after `after` louder than threshold, waiting up to timeout.
    std::optional<Clock::time_point> onsetAfter(Clock::time_point after, float threshold,
                                                std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            {
                std::lock_guard lock(_mutex);
                for (const auto& [time, level] : _loud) {
                    if (time >= after && level > threshold) return time;
                }
            }
            std::this_thread::sleep_for(5ms);
        }
        return std::nullopt;
    }
    void clear() {
        std::lock_guard lock(_mutex);
        _loud.clear();
    }

private:
    void loop() {
        std::vector<float> chunk(128 * 2);
        while (_running) {
            int error = 0;
            if (pa_simple_read(_pa, chunk.data(), chunk.size() * sizeof(float), &error) < 0) break;
            const auto arrived = Clock::now();
            const pa_usec_t latency = pa_simple_get_latency(_pa, &error);
            const auto end = arrived - std::chrono::microseconds(latency);
            std::lock_guard lock(_mutex);
            for (std::size_t i = 0; i < chunk.size() / 2; ++i) {
                const float level = std::max(std::fabs(chunk[i * 2]), std::fabs(chunk[i * 2 + 1]));
                if (level <= 0.002f) continue;
                const auto back = std::chrono::nanoseconds(
                    static_cast<long long>((chunk.size() / 2 - i) * 1e9 / 48000.0));
                _loud.emplace_back(end - back, level);
            }
        }
    }

    pa_simple* _pa = nullptr;
    std::thread _thread;
    std::atomic<bool> _running{true};
    std::mutex _mutex;
    std::vector<std::pair<Clock::time_point, float>> _loud;
};

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

long cpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string content((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = content.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(content.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
}

long privateKiB(pid_t pid) {
    std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    long total = 0;
    while (std::getline(smaps, line)) {
        if (line.rfind("Private_Clean:", 0) == 0 || line.rfind("Private_Dirty:", 0) == 0) {
            total += std::stol(line.substr(line.find(':') + 1));
        }
    }
    return total;
}

}  // namespace

int main(int argc, char** argv) {
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
            latencies.push_back(std::chrono::duration<double, std::milli>(*onset - pressed).count());
        } else {
            ++missed;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(gap(random)));
    }
    std::printf("key press to sound (XTest to onset on the null-sink monitor), %zu presses, %d "
                "missed: median %.2f ms, p99 %.2f ms, min %.2f ms, max %.2f ms\n",
                latencies.size(), missed, percentile(latencies, 0.5), percentile(latencies, 0.99),
                percentile(latencies, 0.0), percentile(latencies, 1.0));

    std::printf("private memory with the example set loaded: %.1f MiB\n", privateKiB(app) / 1024.0);
    std::this_thread::sleep_for(2s);
    const long before = cpuTicks(app);
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const long after = cpuTicks(app);
    std::printf("idle CPU over %d s: %.3f %% of a core\n", idleSeconds,
                100.0 * static_cast<double>(after - before) / sysconf(_SC_CLK_TCK) / idleSeconds);

    XCloseDisplay(display);
    tapsound::test::stopProcess(app);
    tapsound::test::stopProcess(tray);
    return 0;
}
