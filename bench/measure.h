#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct pa_simple;

namespace tapsound::test {

using Clock = std::chrono::steady_clock;

// Records a PulseAudio source (the null sink's monitor) and stamps every loud sample with the
// time it was played, for latency measurements.
class StampedRecorder {
public:
    StampedRecorder() = default;
    ~StampedRecorder();
    StampedRecorder(const StampedRecorder&) = delete;
    StampedRecorder& operator=(const StampedRecorder&) = delete;

    bool start(const std::string& server, const std::string& source);
    // The time of the first sample at or after `after` louder than threshold, waiting up to timeout.
    std::optional<Clock::time_point> onsetAfter(Clock::time_point after, float threshold,
                                                std::chrono::milliseconds timeout);
    void clear();

private:
    void loop();

    pa_simple* _pa = nullptr;
    std::thread _thread;
    std::atomic<bool> _running{true};
    std::mutex _mutex;
    std::vector<std::pair<Clock::time_point, float>> _loud;
};

double percentile(std::vector<double> values, double p);
// User plus system CPU time of a process (or of this process with pid 0), in seconds.
double cpuSeconds(pid_t pid = 0);
// CPU time of this process's threads of the given name (as in /proc/self/task/*/comm), in seconds.
double threadCpuSeconds(const std::string& name);
// Private resident memory of a process, in KiB: all of it, or only the dirty pages (what the process
// itself wrote; clean private pages are library code that no other process happens to map).
long privateKiB(pid_t pid);
long privateDirtyKiB(pid_t pid);
long residentKiB(pid_t pid);

// A process's CPU time and its threads' context switches (each a wake-up or a preemption) now.
struct ProcessSample {
    Clock::time_point at;
    double cpuSeconds = 0;
    long switches = 0;
};
ProcessSample sample(pid_t pid);

}  // namespace tapsound::test
