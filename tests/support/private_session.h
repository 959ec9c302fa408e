#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

struct _XDisplay;

namespace tapsound::test {

// Starts a child process in a group of its own; returns its pid, or -1.
pid_t spawn(const std::vector<std::string>& argv, const std::string& logPath = "/dev/null");
// Asks it to end, then kills it; returns its exit status (-1 when it did not exit by itself).
int stopProcess(pid_t& pid);
// Runs a shell command and returns what it printed.
std::string capture(const std::string& command);
// Runs a command to its end; returns its exit status (-1 when it could not run).
int run(const std::vector<std::string>& argv, const std::string& logPath = "/dev/null");
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// A private X server (Xvfb) and a private PulseAudio server with one null sink, for tests that
// need a display or audio. Sets DISPLAY and PULSE_SERVER for this process and its children.
class PrivateSession {
  public:
    struct Options {
        bool display = true;
        bool audio = true;
    };
    explicit PrivateSession(Options options);
    PrivateSession() : PrivateSession(Options{}) {}
    ~PrivateSession();
    PrivateSession(const PrivateSession&) = delete;
    PrivateSession& operator=(const PrivateSession&) = delete;

    bool ok() const { return _ok; }
    const std::string& error() const { return _error; }
    const std::string& dir() const { return _dir; }  // private temporary folder
    const std::string& pulseServer() const { return _pulseServer; }
    pid_t pulsePid() const { return _pulse; }
    static constexpr const char* kSinkName = "tapsound_test";
    // Stops the audio server and starts a fresh one on the same socket.
    bool restartAudio();

  private:
    bool startDisplay();
    bool startAudio();

    bool _ok = false;
    std::string _error;
    std::string _dir;
    std::string _pulseServer;
    pid_t _xvfb = -1;
    pid_t _pulse = -1;
    pid_t _listener = -1;
};

// Records the null sink's monitor as 48 kHz stereo float while alive (through parec).
class MonitorRecorder {
  public:
    explicit MonitorRecorder(const PrivateSession& session);
    ~MonitorRecorder() { stopProcess(_pid); }
    bool ok() const { return _pid > 0; }
    // Stops recording and returns the interleaved stereo samples.
    std::vector<float> stop();

  private:
    std::string _path;
    pid_t _pid = -1;
};

// Onsets (frame indices) where the absolute level rises above threshold after at least
// minGapFrames frames below it.
std::vector<std::size_t> findOnsets(const std::vector<float>& interleavedStereo, float threshold,
                                    std::size_t minGapFrames);

// A window of another X client holding the keyboard focus, as an editor would.
class FocusedWindow {
  public:
    FocusedWindow();
    ~FocusedWindow();
    FocusedWindow(const FocusedWindow&) = delete;
    FocusedWindow& operator=(const FocusedWindow&) = delete;
    bool ok() const { return _display != nullptr; }
    // The key presses the window itself received: keys must still reach their program.
    int drainKeyPresses();

  private:
    ::_XDisplay* _display = nullptr;
};

}  // namespace tapsound::test
