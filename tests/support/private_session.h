#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/sound_files.h"

namespace tapsound::test {

// Starts a child process in a group of its own, its output going to the log; its pid, or -1.
pid_t spawn(const std::vector<std::string>& argv, const std::string& logPath = "/dev/null");
// Asks it to end, then kills it; its exit status, or -1 when it did not exit by itself.
int stopProcess(pid_t& pid);
// Runs a command to its end; its exit status, or -1.
int run(const std::vector<std::string>& argv);
// What a shell command printed.
std::string capture(const std::string& command);
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout);
// Starts an Xvfb, writing its number to a file of that name; its pid, and in `display` its name
// (":N") once it accepts.
pid_t startXvfb(const std::string& number, std::string& display, const std::string& screen = "");
// Presses and releases J on the X server through XTest as fast as it takes them, until destroyed
// or for 20 s at most.
class KeyFlood {
  public:
    KeyFlood();
    ~KeyFlood();
    bool gaveUp() const { return _gaveUp; }

  private:
    std::atomic<bool> _flooding{true}, _gaveUp{false};
    std::thread _typist;
};

// A private X server (Xvfb), a private sound server with one null sink and, when asked, a
// private session bus, for tests that need them. Sets DISPLAY, PULSE_SERVER and
// DBUS_SESSION_BUS_ADDRESS for this process and its children. The sound server is PulseAudio, or
// with `pipewire` PipeWire with WirePlumber and pipewire-pulse on a bus of their own.
class PrivateSession {
  public:
    struct Options {
        bool display = true;
        bool audio = true;
        bool bus = false;
        bool pipewire = false;
        // PulseAudio only: a listener keeps the null sink awake; without it the sink suspends
        // one second after its last stream stops.
        bool keepAwake = true;
    };
    PrivateSession();
    explicit PrivateSession(Options options);
    ~PrivateSession();

    bool ok() const { return _ok; }
    const std::string& error() const { return _error; }
    const std::string& dir() const { return _dir.path(); }
    const std::string& pulseServer() const { return _pulseServer; }
    pid_t pulsePid() const { return _pulse; }
    bool pipewire() const { return _pipewire; }
    // The sound server's processes (PulseAudio; or pipewire, wireplumber and pipewire-pulse).
    std::vector<pid_t> serverPids() const;
    // The null sink is suspended (asked through the pulse protocol, which both servers speak).
    bool sinkSuspended() const;
    static constexpr const char* kSinkName = "tapsound_test";
    // Stops the audio server and starts a fresh one on the same socket.
    bool restartAudio();
    // For the real program: Qt on the X server, settings in the session's folder; that folder.
    std::string programConfig() const;
    // A tapsound has connected to the sound server, within 10 s.
    static bool tapsoundConnected();

  private:
    bool startDisplay();
    bool startAudio();
    bool startBus();
    bool startPipeWire();
    bool failed(const char* what) { return _error = what, false; }

    TempDir _dir;
    bool _ok = false;
    std::string _error, _pulseServer;
    bool _pipewire = false, _keepAwake = true;
    pid_t _xvfb = -1, _pulse = -1, _listener = -1, _bus = -1, _pipewireDaemon = -1,
          _wireplumber = -1;
};

// Records the null sink's monitor as 48 kHz stereo float while alive. On PipeWire every buffer is
// placed by the graph's own position, so a cycle the recorder itself missed stays a known hole
// (silence in what stop() returns) and never shifts or shortens what was played.
class MonitorRecorder {
  public:
    // holdQuantum (PipeWire): keep the graph at this many frames while recording, as another
    // program playing would; 0 leaves the quantum to the outputs.
    // sink: another null sink of the session's server, by name.
    explicit MonitorRecorder(const PrivateSession& session, std::uint32_t holdQuantum = 0,
                             const std::string& sink = PrivateSession::kSinkName);
    ~MonitorRecorder();
    MonitorRecorder(const MonitorRecorder&) = delete;
    MonitorRecorder& operator=(const MonitorRecorder&) = delete;
    // Stops recording; the interleaved stereo samples.
    std::vector<float> stop();
    // After stop(): the frames the graph played that the recorder itself missed, and whether
    // one of them is.
    std::size_t lostFrames() const { return _lost; }
    bool lost(std::size_t frame) const;

  private:
    struct Graph;
    std::string _path;
    pid_t _pid = -1;
    std::unique_ptr<Graph> _graph;
    std::size_t _lost = 0;
};

// The frames where the level rises above threshold after at least minGapFrames below it. Frames
// the recorder missed count as neither: a cycle it slept through is no silence of the sound's.
std::vector<std::size_t> findOnsets(const std::vector<float>& interleavedStereo, float threshold,
                                    std::size_t minGapFrames,
                                    const MonitorRecorder* recorder = nullptr);

// Another program's window holding the keyboard focus, as an editor would (xev).
class FocusedWindow {
  public:
    FocusedWindow();
    ~FocusedWindow() { stopProcess(_pid); }
    bool ok() const { return _ok; }
    // The key presses the window received since the last call: keys must still reach their program.
    int drainKeyPresses();

  private:
    TempDir _dir;
    pid_t _pid = -1;
    bool _ok = false;
    std::size_t _read = 0;
};

}  // namespace tapsound::test
