#include "tests/support/private_session.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

namespace tapsound::test {

namespace {

std::string makeTempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tapsound-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) return {};
    return buffer.data();
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

pid_t spawnWithFd(const std::vector<std::string>& argv, const std::string& logPath, int keepFd) {
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        setpgid(0, 0);
        int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0) dup2(null, 0);
        if (log >= 0) {
            dup2(log, 1);
            dup2(log, 2);
        }
        for (int fd = 3; fd < 1024; ++fd) {
            if (fd != keepFd) close(fd);
        }
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

}  // namespace

pid_t spawn(const std::vector<std::string>& argv, const std::string& logPath) {
    return spawnWithFd(argv, logPath, -1);
}

void stopProcess(pid_t& pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    pid = -1;
}

std::string capture(const std::string& command) {
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[512];
        while (fgets(buffer, sizeof buffer, pipe)) output += buffer;
        pclose(pipe);
    }
    return output;
}

int run(const std::vector<std::string>& argv, const std::string& logPath) {
    pid_t pid = spawn(argv, logPath);
    if (pid < 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

PrivateSession::PrivateSession(Options options) {
    _dir = makeTempDir();
    if (_dir.empty()) {
        _error = "cannot make a temporary folder";
        return;
    }
    setenv("XDG_RUNTIME_DIR", _dir.c_str(), 1);
    chmod(_dir.c_str(), 0700);
    _ok = (!options.display || startDisplay()) && (!options.audio || startAudio());
}

PrivateSession::~PrivateSession() {
    stopProcess(_listener);
    stopProcess(_pulse);
    stopProcess(_xvfb);
    if (!_dir.empty()) run({"rm", "-rf", _dir});
}

bool PrivateSession::startDisplay() {
    int fds[2];
    if (pipe(fds) != 0) return false;
    _xvfb = spawnWithFd({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1280x800x24",
                         "-nolisten", "tcp", "-noreset"},
                        _dir + "/xvfb.log", fds[1]);
    close(fds[1]);
    std::string number;
    // Xvfb writes the display number it chose once it accepts connections.
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    waitFor(
        [&] {
            char buffer[32];
            ssize_t n = read(fds[0], buffer, sizeof buffer);
            if (n > 0) number.append(buffer, static_cast<std::size_t>(n));
            return number.find('\n') != std::string::npos;
        },
        std::chrono::seconds(10));
    close(fds[0]);
    while (!number.empty() && (number.back() == '\n' || number.back() == ' ')) number.pop_back();
    if (_xvfb < 0 || number.empty()) {
        _error = "Xvfb did not start";
        return false;
    }
    _display = ":" + number;
    setenv("DISPLAY", _display.c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
    return true;
}

bool PrivateSession::startAudio() {
    const std::string socket = _dir + "/pulse-native";
    setenv("HOME", _dir.c_str(), 1);
    const auto launched = std::chrono::steady_clock::now();
    _pulse = spawn({"pulseaudio", "-n", "--daemonize=no", "--use-pid-file=no", "--exit-idle-time=-1",
                    "--log-target=stderr", "--log-level=error",
                    "-L", "module-native-protocol-unix socket=" + socket + " auth-anonymous=1",
                    "-L",
                    std::string("module-null-sink sink_name=") + kSinkName +
                        " rate=48000 channels=2 format=float32le"},
                   _dir + "/pulse.log");
    _pulseServer = "unix:" + socket;
    setenv("PULSE_SERVER", _pulseServer.c_str(), 1);
    const bool up = waitFor([&] { return run({"pactl", "info"}) == 0; }, std::chrono::seconds(10));
    if (!up) {
        _error = "pulseaudio did not start";
        return false;
    }
    run({"pactl", "set-default-sink", kSinkName});
    // An idle null sink sleeps in two-second blocks and only hears of a lower latency when one
    // ends, so streams connecting early would be held back and lumped together. A low-latency
    // listener on its monitor keeps it awake like a real device, once the first block is over.
    _listener = spawn({"parec", "-d", std::string(kSinkName) + ".monitor", "--latency-msec=5", "--raw"});
    std::this_thread::sleep_until(launched + std::chrono::milliseconds(2200));
    return true;
}

bool PrivateSession::restartAudio() {
    stopProcess(_listener);
    stopProcess(_pulse);
    return startAudio();
}

MonitorRecorder::MonitorRecorder(const PrivateSession& session) {
    _path = session.dir() + "/monitor-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) +
            ".raw";
    pid_t pid = fork();
    if (pid == 0) {
        int out = ::open(_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0) dup2(out, 1);
        execlp("parec", "parec", "-d", (std::string(PrivateSession::kSinkName) + ".monitor").c_str(),
               "--format=float32le", "--rate=48000", "--channels=2", "--raw", "--latency-msec=5",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    _pid = pid;
    // parec needs a moment before the stream is connected.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

MonitorRecorder::~MonitorRecorder() { stopProcess(_pid); }

std::vector<float> MonitorRecorder::stop() {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stopProcess(_pid);
    std::ifstream in(_path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

std::vector<std::size_t> findOnsets(const std::vector<float>& interleavedStereo, float threshold,
                                    std::size_t minGapFrames) {
    std::vector<std::size_t> onsets;
    std::size_t quiet = minGapFrames;
    for (std::size_t frame = 0; frame * 2 + 1 < interleavedStereo.size(); ++frame) {
        const float level = std::max(std::fabs(interleavedStereo[frame * 2]),
                                     std::fabs(interleavedStereo[frame * 2 + 1]));
        if (level > threshold) {
            if (quiet >= minGapFrames) onsets.push_back(frame);
            quiet = 0;
        } else {
            ++quiet;
        }
    }
    return onsets;
}

}  // namespace tapsound::test
