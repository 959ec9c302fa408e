#include "bench/measure.h"

#include <pulse/simple.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace tapsound::test {

using namespace std::chrono_literals;

StampedRecorder::~StampedRecorder() {
    _running = false;
    if (_thread.joinable()) _thread.join();
    if (_pa) pa_simple_free(_pa);
}

bool StampedRecorder::start(const std::string& server, const std::string& source) {
    pa_sample_spec format{PA_SAMPLE_FLOAT32LE, 48000, 2};
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.fragsize = 128 * 8;
    int error = 0;
    _pa = pa_simple_new(server.c_str(), "tapsound-measure", PA_STREAM_RECORD, source.c_str(),
                        "measure", &format, nullptr, &attributes, &error);
    if (!_pa) return false;
    _thread = std::thread([this] { loop(); });
    return true;
}

std::optional<Clock::time_point> StampedRecorder::onsetAfter(Clock::time_point after,
                                                             float threshold,
                                                             std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        {
            std::lock_guard lock(_mutex);
            for (const auto& [time, level] : _loud) {
                if (time >= after && level > threshold) return time;
            }
        }
        std::this_thread::sleep_for(2ms);
    }
    return std::nullopt;
}

void StampedRecorder::clear() {
    std::lock_guard lock(_mutex);
    _loud.clear();
}

void StampedRecorder::loop() {
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

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

namespace {

double statCpuSeconds(const std::string& path) {
    std::ifstream stat(path);
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
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

namespace {

// Time on a CPU of one task in seconds, from the scheduler's nanosecond count.
double scheduledSeconds(const std::filesystem::path& task) {
    std::ifstream schedstat(task / "schedstat");
    unsigned long long nanoseconds = 0;
    if (!(schedstat >> nanoseconds)) return statCpuSeconds(task / "stat");
    return static_cast<double>(nanoseconds) / 1e9;
}

// The summed CPU time of the tasks of a process whose name passes the filter.
template <typename Filter>
double tasksCpuSeconds(const std::string& process, Filter filter) {
    double total = 0;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(process + "/task", error)) {
        std::ifstream comm(task.path() / "comm");
        std::string threadName;
        std::getline(comm, threadName);
        if (filter(threadName)) total += scheduledSeconds(task.path());
    }
    return total;
}

}  // namespace

double cpuSeconds(pid_t pid) {
    const std::string process =
        pid == 0 ? std::string("/proc/self") : "/proc/" + std::to_string(pid);
    return tasksCpuSeconds(process, [](const std::string&) { return true; });
}

double threadCpuSeconds(const std::string& name) {
    return tasksCpuSeconds("/proc/self",
                           [&](const std::string& threadName) { return threadName == name; });
}

namespace {

long smapsKiB(pid_t pid, std::initializer_list<const char*> fields) {
    std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps_rollup");
    std::string line;
    long total = 0;
    while (std::getline(smaps, line)) {
        for (const char* field : fields) {
            if (line.rfind(field, 0) == 0) total += std::stol(line.substr(line.find(':') + 1));
        }
    }
    return total;
}

}  // namespace

long privateKiB(pid_t pid) { return smapsKiB(pid, {"Private_Clean:", "Private_Dirty:"}); }

long privateDirtyKiB(pid_t pid) { return smapsKiB(pid, {"Private_Dirty:"}); }

long residentKiB(pid_t pid) { return smapsKiB(pid, {"Rss:"}); }

ProcessSample sample(pid_t pid) {
    ProcessSample result{Clock::now(), cpuSeconds(pid), 0};
    std::error_code error;
    const std::string process = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(process, error)) {
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.find("ctxt_switches:") != std::string::npos)
                result.switches += std::stol(line.substr(line.find(':') + 1));
        }
    }
    return result;
}

}  // namespace tapsound::test
