#include "tests/support/private_session.h"

#include <fcntl.h>
#include <pipewire/pipewire.h>
#include <signal.h>
#include <spa/param/audio/format-utils.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/audio_output_pipewire.h"

// Last: Xlib's macros clash with other headers.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace tapsound::test {

using namespace std::chrono_literals;

pid_t spawn(const std::vector<std::string>& argv, const std::string& logPath) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    setpgid(0, 0);
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(::open("/dev/null", O_RDONLY), 0);
    dup2(log, 1);
    dup2(log, 2);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

int stopProcess(pid_t& pid) {
    if (pid <= 0) return -1;
    kill(pid, SIGTERM);
    int status = 0;
    const bool exited = waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 5s);
    if (!exited) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    pid = -1;
    return exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int run(const std::vector<std::string>& argv) {
    const pid_t pid = spawn(argv);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    for (const auto deadline = std::chrono::steady_clock::now() + timeout;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(20ms)) {
        if (condition()) return true;
    }
    return condition();
}

PrivateSession::PrivateSession() : PrivateSession(Options{}) {}

PrivateSession::PrivateSession(Options options)
    : _pulseServer("unix:" + dir() + (options.pipewire ? "/pulse/native" : "/pulse-native")),
      _pipewire(options.pipewire),
      _keepAwake(options.keepAwake) {
    // Set once, before any thread of a test reads the environment (an audio output retrying).
    setenv("XDG_RUNTIME_DIR", dir().c_str(), 1);
    setenv("HOME", dir().c_str(), 1);
    setenv("PULSE_SERVER", _pulseServer.c_str(), 1);
    // The private PipeWire, if any, is found through the runtime folder and reads its sink from
    // the home folder alone; the desktop's own never is.
    setenv("XDG_CONFIG_HOME", (dir() + "/.config").c_str(), 1);
    unsetenv("PIPEWIRE_RUNTIME_DIR");
    unsetenv("PIPEWIRE_REMOTE");
    _ok = !dir().empty() && (!(options.bus || options.pipewire) || startBus()) &&
          (!options.display || startDisplay()) && (!options.audio || startAudio());
}

PrivateSession::~PrivateSession() {
    for (pid_t* pid : {&_listener, &_pulse, &_wireplumber, &_pipewireDaemon, &_xvfb, &_bus})
        stopProcess(*pid);
}

bool PrivateSession::startBus() {
    const std::string socket = dir() + "/bus";
    _bus = spawn(
        {"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=unix:path=" + socket},
        dir() + "/bus.log");
    // Ready once it answers: the socket shows before the daemon accepts on it.
    const auto answers = [&] {
        return run({"dbus-send", "--bus=unix:path=" + socket, "--print-reply",
                    "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                    "org.freedesktop.DBus.GetId"}) == 0;
    };
    if (!waitFor(answers, 10s)) return failed("dbus-daemon did not start");
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + socket).c_str(), 1);
    return true;
}

pid_t startXvfb(const std::string& number, std::string& display, const std::string& screen) {
    // Xvfb writes the display number it chose once it accepts connections.
    const pid_t pid = spawn(
        {"sh", "-c", "exec Xvfb -displayfd 3 " + screen + " -nolisten tcp -noreset 3>" + number},
        number + ".log");
    if (waitFor([&] { return readBytes(number).find('\n') != std::string::npos; }, 10s))
        display = ":" + readBytes(number).substr(0, readBytes(number).find('\n'));
    return pid;
}

bool PrivateSession::startDisplay() {
    std::string display;
    _xvfb = startXvfb(dir() + "/display", display, "-screen 0 1280x800x24");
    if (display.empty()) return failed("Xvfb did not start");
    setenv("DISPLAY", display.c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
    return true;
}

bool PrivateSession::startAudio() {
    if (_pipewire) return startPipeWire();
    const std::string socket = dir() + "/pulse-native";
    const auto launched = std::chrono::steady_clock::now();
    _pulse = spawn({"pulseaudio", "-n", "--daemonize=no", "--use-pid-file=no",
                    "--exit-idle-time=-1", "--log-target=stderr", "--log-level=error", "-L",
                    "module-native-protocol-unix socket=" + socket + " auth-anonymous=1", "-L",
                    std::string("module-null-sink sink_name=") + kSinkName +
                        " rate=48000 channels=2 format=float32le",
                    "-L", "module-suspend-on-idle timeout=1"},
                   dir() + "/pulse.log");
    if (!waitFor([&] { return run({"pactl", "info"}) == 0; }, 10s))
        return failed("pulseaudio did not start");
    run({"pactl", "set-default-sink", kSinkName});
    // An idle null sink sleeps in two-second blocks and only hears of a lower latency when one
    // ends, so streams connecting early would be held back and lumped together. A low-latency
    // listener on its monitor keeps it awake like a real device, once the first block is over.
    if (_keepAwake)
        _listener = spawn(
            {"parec", "--raw", "-d", std::string(kSinkName) + ".monitor", "--latency-msec=5"});
    std::this_thread::sleep_until(launched + 2200ms);
    return true;
}

bool PrivateSession::startPipeWire() {
    // The null sink lives in the daemon itself, so it survives pipewire-pulse; it suspends after
    // a second idle, like PulseAudio's here.
    const std::string conf = dir() + "/.config/pipewire/pipewire.conf.d";
    run({"mkdir", "-p", conf});
    writeBytes(conf + "/sink.conf",
               std::string("context.objects = [ { factory = adapter args = {\n") +
                   "  factory.name = support.null-audio-sink node.name = " + kSinkName +
                   "\n  media.class = Audio/Sink audio.position = [ FL FR ] audio.rate = 48000\n" +
                   "  node.driver = true priority.session = 10000 priority.driver = 10000\n" +
                   "  session.suspend-timeout-seconds = 1 monitor.channel-volumes = true\n"
                   "} } ]\n");
    unlink((dir() + "/pulse/native").c_str());
    _pipewireDaemon = spawn({"pipewire"}, dir() + "/pipewire.log");
    if (!waitFor([&] { return access((dir() + "/pipewire-0").c_str(), F_OK) == 0; }, 10s))
        return failed("pipewire did not start");
    _wireplumber = spawn({"wireplumber"}, dir() + "/wireplumber.log");
    _pulse = spawn({"pipewire-pulse"}, dir() + "/pipewire-pulse.log");
    // Ready once WirePlumber has made the null sink the default.
    return waitFor([&] { return capture("pactl get-default-sink 2>/dev/null") ==
                                kSinkName + std::string("\n"); }, 10s) ||
           failed("the PipeWire session did not start");
}

bool PrivateSession::restartAudio() {
    for (pid_t* pid : {&_listener, &_pulse, &_wireplumber, &_pipewireDaemon}) stopProcess(*pid);
    return startAudio();
}

std::string PrivateSession::programConfig() const {
    setenv("XDG_CONFIG_HOME", (dir() + "/config").c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    return dir() + "/config";
}

bool PrivateSession::tapsoundConnected() {
    return waitFor(
        [] { return capture("pactl list clients").find("tapsound") != std::string::npos; }, 10s);
}

KeyFlood::KeyFlood()
    : _typist([this] {
          Display* display = XOpenDisplay(nullptr);
          const KeyCode key = XKeysymToKeycode(display, XStringToKeysym("j"));
          const auto cap = std::chrono::steady_clock::now() + 20s;
          while (_flooding && !(_gaveUp = std::chrono::steady_clock::now() > cap)) {
              for (int i = 0; i < 200; ++i) {
                  XTestFakeKeyEvent(display, key, True, CurrentTime);
                  XTestFakeKeyEvent(display, key, False, CurrentTime);
              }
              XSync(display, False);
          }
          XCloseDisplay(display);
      }) {}

KeyFlood::~KeyFlood() {
    _flooding = false;
    _typist.join();
}

std::vector<pid_t> PrivateSession::serverPids() const {
    std::vector<pid_t> pids;
    for (pid_t pid : {_pulse, _pipewireDaemon, _wireplumber})
        if (pid > 0) pids.push_back(pid);
    return pids;
}

bool PrivateSession::sinkSuspended() const {
    const std::string sinks = capture("pactl list short sinks 2>/dev/null");
    const auto line = sinks.find(std::string("\t") + kSinkName + "\t");
    return line != std::string::npos &&
           sinks.substr(line, sinks.find('\n', line) - line).find("SUSPENDED") != std::string::npos;
}

// A capture of the sink's monitor on PipeWire's own protocol. Each buffer goes where the graph's
// position says it belongs; frames never filled are the recorder's own loss.
struct MonitorRecorder::Graph {
    static constexpr std::size_t kMaxFrames = 48000 * 60;
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook hook{};
    pw_stream_events events{};
    std::vector<float> samples = std::vector<float>(kMaxFrames * 2);
    std::vector<bool> filled = std::vector<bool>(kMaxFrames);  // sized here, never grown there
    std::uint64_t first = 0;
    std::atomic<std::uint64_t> end{0};  // frames from the first one placed
    std::atomic<bool> started{false}, broken{false};

    Graph(std::uint32_t holdQuantum, const std::string& sink) {
        events.version = PW_VERSION_STREAM_EVENTS;
        events.process = &Graph::onProcess;
        static std::once_flag initialized;
        std::call_once(initialized, [] { pw_init(nullptr, nullptr); });
        loop = pw_thread_loop_new("monitor-recorder", nullptr);
        // Realtime where allowed, like the outputs it listens to.
        context =
            pw_context_new(pw_thread_loop_get_loop(loop),
                           pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
        pw_thread_loop_start(loop);
        pw_thread_loop_lock(loop);
        core = pw_context_connect(context, nullptr, 0);
        if (core) {
            // Unheld, it asks for what parec's 5 ms did, leaving smaller quanta to the outputs.
            const std::string frames = std::to_string(holdQuantum ? holdQuantum : 256);
            pw_properties* properties = pw_properties_new(
                PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_TARGET_OBJECT,
                sink.c_str(), PW_KEY_STREAM_CAPTURE_SINK, "true", PW_KEY_NODE_LATENCY,
                (frames + "/48000").c_str(), PW_KEY_NODE_DONT_RECONNECT, "true", nullptr);
            if (holdQuantum)
                pw_properties_set(properties, PW_KEY_NODE_FORCE_QUANTUM, frames.c_str());
            stream = pw_stream_new(core, "monitor recorder", properties);
        }
        if (stream) {
            pw_stream_add_listener(stream, &hook, &events, this);
            std::uint8_t storage[512];
            spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
            const spa_pod* params[] = {tapsound::platform::buildSoundFormat(builder)};
            pw_stream_connect(stream, PW_DIRECTION_INPUT, PW_ID_ANY,
                              static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                           PW_STREAM_FLAG_MAP_BUFFERS |
                                                           PW_STREAM_FLAG_RT_PROCESS),
                              params, 1);
        }
        pw_thread_loop_unlock(loop);
    }

    ~Graph() {
        stop();
        pw_thread_loop_lock(loop);
        if (core) pw_core_disconnect(core);
        pw_thread_loop_unlock(loop);
        pw_thread_loop_stop(loop);
        pw_context_destroy(context);
        pw_thread_loop_destroy(loop);
    }

    void stop() {
        pw_thread_loop_lock(loop);
        if (stream) pw_stream_destroy(stream);
        stream = nullptr;
        pw_thread_loop_unlock(loop);
    }

    static void onProcess(void* self) {
        auto* graph = static_cast<Graph*>(self);
        pw_buffer* buffer = pw_stream_dequeue_buffer(graph->stream);
        if (!buffer) return;
        pw_time time{};
        pw_stream_get_time_n(graph->stream, &time, sizeof time);
        const spa_data& data = buffer->buffer->datas[0];
        if (data.data && data.chunk->size > 0) {
            if (time.rate.num != 1 || time.rate.denom != 48000) graph->broken = true;
            if (!graph->started) graph->first = time.ticks;
            const std::uint64_t at = time.ticks - graph->first;
            const std::size_t frames = data.chunk->size / 8;
            // Earlier than the start, or a position far off: no place to put it exactly.
            if (time.ticks < graph->first || at + frames > kMaxFrames) {
                graph->broken = true;
            } else {
                std::memcpy(graph->samples.data() + at * 2,
                            static_cast<const std::uint8_t*>(data.data) + data.chunk->offset,
                            frames * 8);
                for (std::size_t i = 0; i < frames; ++i) graph->filled[at + i] = true;
                graph->end = std::max<std::uint64_t>(graph->end, at + frames);
                graph->started = true;
            }
        }
        pw_stream_queue_buffer(graph->stream, buffer);
    }
};

MonitorRecorder::MonitorRecorder(const PrivateSession& session, std::uint32_t holdQuantum,
                                 const std::string& sink) {
    _path = session.dir() + "/monitor-" + std::to_string(reinterpret_cast<std::uintptr_t>(this));
    if (session.pipewire())
        _graph = std::make_unique<Graph>(holdQuantum, sink);
    else
        _pid = spawn({"sh", "-c", "exec parec --raw --format=float32le --rate=48000 --channels=2 "
                                  "--latency-msec=5 -d " + sink + ".monitor > " + _path});
    // Until audio flows: a suspended sink wakes up for it in one long block first.
    waitFor([&] { return _graph ? _graph->started.load() : !readBytes(_path).empty(); }, 3s);
    std::this_thread::sleep_for(100ms);
}

MonitorRecorder::~MonitorRecorder() { stopProcess(_pid); }

bool MonitorRecorder::lost(std::size_t frame) const {
    return _graph && frame < _graph->end && !_graph->filled[frame];
}

std::vector<float> MonitorRecorder::stop() {
    std::this_thread::sleep_for(100ms);
    if (_graph) {
        _graph->stop();
        const std::size_t end = _graph->end;
        std::vector<float> samples(_graph->samples.begin(), _graph->samples.begin() + end * 2);
        _lost = static_cast<std::size_t>(
            std::count(_graph->filled.begin(), _graph->filled.begin() + end, false));
        if (_graph->broken) _lost = std::max<std::size_t>(_lost, 1);
        return samples;
    }
    stopProcess(_pid);
    const std::string bytes = readBytes(_path);
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

std::vector<std::size_t> findOnsets(const std::vector<float>& interleavedStereo, float threshold,
                                    std::size_t minGapFrames, const MonitorRecorder* recorder) {
    std::vector<std::size_t> onsets;
    std::size_t quiet = minGapFrames;
    for (std::size_t frame = 0; frame * 2 + 1 < interleavedStereo.size(); ++frame) {
        if (recorder && recorder->lost(frame)) continue;
        const bool loud = std::max(std::fabs(interleavedStereo[frame * 2]),
                                   std::fabs(interleavedStereo[frame * 2 + 1])) > threshold;
        if (loud && quiet >= minGapFrames) onsets.push_back(frame);
        quiet = loud ? 0 : quiet + 1;
    }
    return onsets;
}

FocusedWindow::FocusedWindow() {
    _pid = spawn({"stdbuf", "-oL", "xev", "-name", "tapsound-target", "-event", "keyboard"},
                 _dir.file("xev.log"));
    _ok = waitFor(
        [] {
            return run({"xdotool", "search", "--name", "tapsound-target", "windowfocus",
                        "--sync"}) == 0;
        },
        5s);
}

int FocusedWindow::drainKeyPresses() {
    std::this_thread::sleep_for(100ms);
    const std::string log = readBytes(_dir.file("xev.log"));
    int presses = 0;
    for (auto at = log.find("KeyPress event", _read); at != std::string::npos;
         at = log.find("KeyPress event", at + 1))
        ++presses;
    _read = log.size();
    return presses;
}

}  // namespace tapsound::test
