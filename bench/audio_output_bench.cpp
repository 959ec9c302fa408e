// The audio engine against a private PulseAudio server: press-to-sound latency from idle and while
// another voice plays, and the engine's CPU and wake-ups: idle, typing, and with no server.
//
//   audio_output_bench [presses] [aheadFrames requestFrames marginFrames rewrite]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/measure.h"
#include "platform/audio_output_pulse.h"
#include "tests/support/private_session.h"
#include "tests/support/sound_files.h"

namespace {

using namespace std::chrono_literals;
using tapsound::platform::PulseSoundPlayer;
using tapsound::platform::SampleBuffer;
using tapsound::test::Clock;
using tapsound::test::percentile;

using tapsound::test::toneBuffer;

void report(const char* what, const std::vector<double>& latencies, int missed) {
    std::printf(
        "%s: %zu presses, %d missed: median %.2f ms, p99 %.2f ms, min %.2f ms, max %.2f ms\n", what,
        latencies.size(), missed, percentile(latencies, 0.5), percentile(latencies, 0.99),
        percentile(latencies, 0.0), percentile(latencies, 1.0));
}

// Context switches of the engine's threads: each wake-up ends in one when the thread sleeps again.
long engineSwitches() {
    long total = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (!std::getline(comm, name) || name != "tapsound-audio") continue;
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.find("ctxt_switches:") != std::string::npos) {
                total += std::stol(line.substr(line.find(':') + 1));
            }
        }
    }
    return total;
}

struct Cpu {
    double engine, process, server;
    long engineSwitches;
};

Cpu cpuNow(pid_t server) {
    return {tapsound::test::threadCpuSeconds("tapsound-audio"), tapsound::test::cpuSeconds(),
            tapsound::test::cpuSeconds(server), engineSwitches()};
}

void reportCpu(const char* what, const Cpu& before, const Cpu& after, double seconds) {
    std::printf(
        "%s over %.0f s: engine thread %.3f %% (%.1f wake-ups a second), whole process %.3f %%, "
        "private server %.3f %% of a core\n",
        what, seconds, 100 * (after.engine - before.engine) / seconds,
        static_cast<double>(after.engineSwitches - before.engineSwitches) / seconds,
        100 * (after.process - before.process) / seconds,
        100 * (after.server - before.server) / seconds);
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int presses = argc > 1 ? std::atoi(argv[1]) : 500;
    PulseSoundPlayer::Options options;
    if (argc > 5) {
        options.aheadFrames = static_cast<std::size_t>(std::atoi(argv[2]));
        options.requestFrames = static_cast<std::size_t>(std::atoi(argv[3]));
        options.marginFrames = static_cast<std::size_t>(std::atoi(argv[4]));
        options.rewrite = std::atoi(argv[5]) != 0;
    }
    std::printf("ahead %zu frames, requests %zu, margin %zu, rewrite %s\n", options.aheadFrames,
                options.requestFrames, options.marginFrames, options.rewrite ? "on" : "off");

    tapsound::test::PrivateSession session{{.display = false, .audio = true}};
    if (!session.ok()) {
        std::fprintf(stderr, "session: %s\n", session.error().c_str());
        return 1;
    }
    {
        // Nothing listens here: the engine looks again, less often the longer it stays away.
        PulseSoundPlayer lost({.server = "unix:" + session.dir() + "/absent"});
        std::this_thread::sleep_for(3s);
        const Cpu before = cpuNow(session.pulsePid());
        std::this_thread::sleep_for(10s);
        reportCpu("no server", before, cpuNow(session.pulsePid()), 10);
    }
    PulseSoundPlayer player(options);
    for (int i = 0; i < 500 && !player.ready(); ++i) std::this_thread::sleep_for(10ms);
    if (!player.ready()) {
        std::fprintf(stderr, "the stream never became ready\n");
        return 1;
    }
    auto recorder = std::make_unique<tapsound::test::StampedRecorder>();
    if (!recorder->start(session.pulseServer(),
                         std::string(tapsound::test::PrivateSession::kSinkName) + ".monitor")) {
        std::fprintf(stderr, "cannot record\n");
        return 1;
    }
    std::this_thread::sleep_for(500ms);

    const auto click = toneBuffer(0.03, 1500, 0.5f);
    const auto hum =
        toneBuffer(0.35, 220, 0.004f);  // a quiet voice underneath, below the onset threshold
    std::mt19937 random(7);

    auto measure = [&](bool underneath, std::vector<double>& latencies, int& missed) {
        std::uniform_int_distribution<int> idleGap(120, 320);
        std::uniform_int_distribution<int> lead(20, 250);
        for (int i = 0; i < presses; ++i) {
            if (underneath) {
                player.start(hum, 1.0f);
                std::this_thread::sleep_for(std::chrono::milliseconds(lead(random)));
            }
            recorder->clear();
            const auto pressed = Clock::now();
            player.start(click, 1.0f);
            const auto onset = recorder->onsetAfter(pressed - 2ms, 0.05f, 300ms);
            if (onset) {
                latencies.push_back(
                    std::chrono::duration<double, std::milli>(*onset - pressed).count());
            } else {
                ++missed;
            }
            std::this_thread::sleep_for(
                std::chrono::milliseconds(underneath ? 380 : idleGap(random)));
        }
    };
    std::vector<double> fromIdle, whilePlaying;
    int missedIdle = 0, missedPlaying = 0;
    measure(false, fromIdle, missedIdle);
    report("start to sound from idle", fromIdle, missedIdle);
    measure(true, whilePlaying, missedPlaying);
    report("start to sound while another voice plays", whilePlaying, missedPlaying);

    // The recorder would wake the server and us: stop it before measuring CPU.
    recorder.reset();
    std::this_thread::sleep_for(1s);
    Cpu before = cpuNow(session.pulsePid());
    std::this_thread::sleep_for(10s);
    Cpu after = cpuNow(session.pulsePid());
    reportCpu("idle", before, after, 10);

    const auto typing = toneBuffer(0.04, 1500, 0.3f);
    before = cpuNow(session.pulsePid());
    const auto began = Clock::now();
    for (int i = 0; i < 150; ++i) {
        player.start(typing, 0.5f);
        std::this_thread::sleep_until(began + i * 66667us + 66667us);
    }
    after = cpuNow(session.pulsePid());
    reportCpu("15 presses per second", before, after, 10);
    return 0;
}
