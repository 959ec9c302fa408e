// Both audio outputs against private servers started here, PulseAudio and PipeWire (with
// WirePlumber and pipewire-pulse), measured in interleaved rounds: press to sound from idle (the
// output corked or inactive), from a suspended sink and while typing; the servers' CPU and
// wake-ups with the output idle against no output at all; CPU at 15 presses a second; and for
// PipeWire, frames lost from a long sound at a 64 and a 128 frame quantum while typing. Then press
// to sound beside a floor probe (the lowest a pulse client reaches) heard from the same press: on
// PulseAudio from idle, while typing and over a playing voice; on PipeWire with another program
// holding the graph at 64, 256 and 1024 frames; and what the
// linger after a press costs at a typist's rhythm, in server CPU and wake-ups and in the cycles
// of music playing at 1024 frames.
//
// Each recorder stamps a sample with the time the sink played it, from the server's own account
// of the recorder's delay, and is passive, so the sink may still suspend while it listens.
//
//   audio_output_bench [presses per scenario and server] [quantum] [idle cost: 0 or 1]
//   audio_output_bench held     (the held graphs and the linger only)
#include <pipewire/pipewire.h>
#include <pulse/pulseaudio.h>
#include <pulse/simple.h>
#include <spa/param/audio/format-utils.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/measure.h"
#include "platform/audio_output_pipewire.h"
#include "platform/audio_output_pulse.h"
#include "tests/support/private_session.h"
#include "tests/support/sound_files.h"

namespace {

using namespace std::chrono_literals;
using tapsound::platform::PipeWireSoundPlayer;
using tapsound::platform::PulseSoundPlayer;
using tapsound::platform::SampleBuffer;
using tapsound::test::Clock;
using tapsound::test::percentile;
using tapsound::test::PrivateSession;
using tapsound::test::toneBuffer;

constexpr float kLoud = 0.05f;

// Loud frames with the time the sink played them, and the recorder's own delay seen.
class Recorder {
  public:
    Recorder() {
        _delays.reserve(100000);
        _loud.reserve(100000);
    }
    virtual ~Recorder() = default;
    // channel: 0 left, 1 right, 2 either.
    std::optional<Clock::time_point> onsetAfter(Clock::time_point after,
                                                std::chrono::milliseconds timeout,
                                                int channel = 2) {
        for (const auto deadline = Clock::now() + timeout; Clock::now() < deadline;
             std::this_thread::sleep_for(1ms)) {
            std::lock_guard lock(_mutex);
            for (const Level& frame : _loud) {
                if (frame.at >= after && frame.of(channel) > kLoud) return frame.at;
            }
        }
        return std::nullopt;
    }
    void clear() {
        std::lock_guard lock(_mutex);
        _loud.clear();
    }
    // Frames of a steady level that came out below it: each is audio lost to an xrun.
    long dips(Clock::time_point from, Clock::time_point to, float level, int channel = 2,
              bool quiet = false) {
        std::lock_guard lock(_mutex);
        long count = 0;
        for (const Level& frame : _all) {
            if (frame.at <= from || frame.at >= to || frame.of(channel) >= level * 0.9f) continue;
            if (count++ == 0 && !quiet) {
                std::printf("first lost frame %.1f ms in\n",
                            std::chrono::duration<double, std::milli>(frame.at - from).count());
            }
        }
        return count;
    }
    double medianDelayMs() {
        std::lock_guard lock(_mutex);
        return percentile(_delays, 0.5);
    }
    // Keeps every frame's level (for 30 s at most), room made now: growing the list on the
    // realtime thread would itself miss cycles. Onsets are then looked for on one channel only
    // (the other carrying a steady level).
    void keepAll(int onsetChannel = 2) {
        std::lock_guard lock(_mutex);
        _all.reserve(48000 * 30);
        _keepAll = true;
        _onsetChannel = onsetChannel;
    }

  protected:
    void add(const float* frames, std::size_t count, Clock::time_point first, double delayMs) {
        std::lock_guard lock(_mutex);
        if (_delays.size() < _delays.capacity()) _delays.push_back(delayMs);
        for (std::size_t i = 0; i < count; ++i) {
            const auto at =
                first + std::chrono::nanoseconds(static_cast<long long>(i * 1e9 / 48000));
            const Level frame{at, std::fabs(frames[i * 2]), std::fabs(frames[i * 2 + 1])};
            if (_keepAll) {
                if (_all.size() < _all.capacity()) _all.push_back(frame);
            }
            if (frame.of(_onsetChannel) > 0.002f) _loud.push_back(frame);
        }
    }

  private:
    struct Level {
        Clock::time_point at;
        float left, right;
        float of(int channel) const {
            return channel == 0 ? left : channel == 1 ? right : std::max(left, right);
        }
    };
    std::mutex _mutex;
    std::vector<Level> _loud, _all;
    std::vector<double> _delays;
    bool _keepAll = false;
    int _onsetChannel = 2;
};

// A stream of the bench's own on a thread loop of its own, in the sound format played;
// `process` is handed `self`. Connected last, once what `process` reads is made; gone first.
class LoopStream {
  public:
    LoopStream(const char* name, pw_properties* context) : _name(name) {
        _loop = pw_thread_loop_new(name, nullptr);
        _context = pw_context_new(pw_thread_loop_get_loop(_loop), context, 0);
        pw_thread_loop_start(_loop);
    }
    void connect(pw_properties* properties, pw_direction direction, void (*process)(void*),
                 void* self) {
        pw_thread_loop_lock(_loop);
        _core = pw_context_connect(_context, nullptr, 0);
        _events.version = PW_VERSION_STREAM_EVENTS;
        _events.process = process;
        stream = pw_stream_new(_core, _name, properties);
        pw_stream_add_listener(stream, &_hook, &_events, self);
        std::uint8_t storage[512];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
        const spa_pod* params[] = {tapsound::platform::buildSoundFormat(builder)};
        pw_stream_connect(
            stream, direction, PW_ID_ANY,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                         PW_STREAM_FLAG_RT_PROCESS),
            params, 1);
        pw_thread_loop_unlock(_loop);
    }
    ~LoopStream() {
        pw_thread_loop_lock(_loop);
        if (stream) pw_stream_destroy(stream);
        if (_core) pw_core_disconnect(_core);
        pw_thread_loop_unlock(_loop);
        pw_thread_loop_stop(_loop);
        pw_context_destroy(_context);
        pw_thread_loop_destroy(_loop);
    }
    LoopStream(const LoopStream&) = delete;
    LoopStream& operator=(const LoopStream&) = delete;

    pw_stream* stream = nullptr;

  private:
    const char* _name;
    pw_thread_loop* _loop;
    pw_context* _context;
    pw_core* _core = nullptr;
    spa_hook _hook{};
    pw_stream_events _events{};
};

// The sink's monitor through PipeWire's own protocol, at the quantum of the output measured.
class PipeWireRecorder : public Recorder {
  public:
    PipeWireRecorder(const std::string& sink, std::uint32_t quantum) {
        const std::string latency = std::to_string(quantum) + "/48000";
        _pw.connect(pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                                      PW_KEY_TARGET_OBJECT, sink.c_str(),
                                      PW_KEY_STREAM_CAPTURE_SINK, "true", PW_KEY_NODE_LATENCY,
                                      latency.c_str(), PW_KEY_NODE_PASSIVE, "true", nullptr),
                    PW_DIRECTION_INPUT, &PipeWireRecorder::onProcess, this);
    }
    // The graph's quantum in the last cycle heard.
    std::uint32_t cycleFrames() const { return _cycle.load(std::memory_order_relaxed); }

  private:
    static void onProcess(void* self) {
        auto* recorder = static_cast<PipeWireRecorder*>(self);
        pw_stream* stream = recorder->_pw.stream;
        pw_buffer* buffer = pw_stream_dequeue_buffer(stream);
        if (!buffer) return;
        pw_time time{};
        pw_stream_get_time_n(stream, &time, sizeof time);
        const spa_data& data = buffer->buffer->datas[0];
        if (data.data && time.rate.denom) {
            // The cycle's start on the graph's clock, less the delay from the sink to here.
            const double delay = static_cast<double>(time.delay) * time.rate.num / time.rate.denom;
            const auto first = Clock::time_point(std::chrono::nanoseconds(time.now)) -
                               std::chrono::nanoseconds(static_cast<long long>(delay * 1e9));
            recorder->add(static_cast<const float*>(data.data) + data.chunk->offset / sizeof(float),
                          data.chunk->size / 8, first, delay * 1e3);
        }
        recorder->_cycle.store(data.chunk->size / 8, std::memory_order_relaxed);
        pw_stream_queue_buffer(stream, buffer);
    }

    std::atomic<std::uint32_t> _cycle{0};
    LoopStream _pw{"recorder", nullptr};
};

// Another program playing, as music, a browser tab or a call does: a node asking the graph for
// `frames` a cycle (node.latency, or node.force-quantum when forced), playing a steady level on
// the right channel (0: silence). It counts the cycles it was asked for less than it asked.
class GraphHolder {
  public:
    GraphHolder(std::uint32_t frames, bool force, float level) : _level(level), _asked(frames) {
        const std::string quantum = std::to_string(frames);
        pw_properties* properties = pw_properties_new(
            PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE,
            "Music", PW_KEY_NODE_LATENCY, (quantum + "/48000").c_str(), nullptr);
        if (force) pw_properties_set(properties, PW_KEY_NODE_FORCE_QUANTUM, quantum.c_str());
        _pw.connect(properties, PW_DIRECTION_OUTPUT, &GraphHolder::onProcess, this);
    }
    long cycles() const { return _cycles; }
    long smallerCycles() const { return _smaller; }

  private:
    static void onProcess(void* self) {
        auto* holder = static_cast<GraphHolder*>(self);
        pw_buffer* buffer = pw_stream_dequeue_buffer(holder->_pw.stream);
        if (!buffer) return;
        spa_data& data = buffer->buffer->datas[0];
        if (data.data) {
            const std::uint32_t frames = std::min<std::uint32_t>(
                data.maxsize / 8, buffer->requested ? buffer->requested : holder->_asked);
            auto* out = static_cast<float*>(data.data);
            for (std::uint32_t i = 0; i < frames; ++i) {
                out[i * 2] = 0;
                out[i * 2 + 1] = holder->_level;
            }
            data.chunk->offset = 0;
            data.chunk->stride = 8;
            data.chunk->size = frames * 8;
            ++holder->_cycles;
            if (frames < holder->_asked) ++holder->_smaller;
        }
        pw_stream_queue_buffer(holder->_pw.stream, buffer);
    }

    float _level;
    std::uint32_t _asked;
    std::atomic<long> _cycles{0}, _smaller{0};
    LoopStream _pw{"holder", pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr)};
};

// The floor: the lowest press-to-sound a desktop program reaches through the pulse protocol. A
// stream asking for a 2 ms buffer that always runs (between clicks it runs dry, which keeps it
// running with nothing queued); told of a press, it writes a click (right channel) at the
// server's read position, ahead of anything (pipewire-pulse grants no less than 16 ms queued).
class FloorProbe {
  public:
    explicit FloorProbe(const std::string& server) {
        for (int i = 0; i < 1440; ++i) {
            _click.push_back(0.0f);
            _click.push_back(0.5f *
                             static_cast<float>(std::sin(2 * M_PI * 1500 * (i + 1) / 48000.0)));
        }
        _loop = pa_threaded_mainloop_new();
        pa_threaded_mainloop_start(_loop);
        pa_threaded_mainloop_lock(_loop);
        _context = pa_context_new(pa_threaded_mainloop_get_api(_loop), "floor");
        pa_context_set_state_callback(_context, &FloorProbe::onContext, this);
        pa_context_connect(_context, server.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr);
        pa_threaded_mainloop_unlock(_loop);
        tapsound::test::waitFor([&] { return ok(); }, 5s);
    }
    ~FloorProbe() {
        pa_threaded_mainloop_lock(_loop);
        if (_stream) pa_stream_disconnect(_stream);
        pa_context_disconnect(_context);
        pa_threaded_mainloop_unlock(_loop);
        pa_threaded_mainloop_stop(_loop);
        if (_stream) pa_stream_unref(_stream);
        pa_context_unref(_context);
        pa_threaded_mainloop_free(_loop);
    }
    bool ok() {
        pa_threaded_mainloop_lock(_loop);
        const bool ready = _stream && pa_stream_get_state(_stream) == PA_STREAM_READY;
        pa_threaded_mainloop_unlock(_loop);
        return ready;
    }
    void click() {
        pa_threaded_mainloop_lock(_loop);
        if (_stream)
            pa_stream_write(_stream, _click.data(), _click.size() * sizeof(float), nullptr, 0,
                            PA_SEEK_RELATIVE_ON_READ);
        pa_threaded_mainloop_unlock(_loop);
    }

  private:
    static void onContext(pa_context* context, void* self) {
        auto* probe = static_cast<FloorProbe*>(self);
        if (pa_context_get_state(context) != PA_CONTEXT_READY) return;
        const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, 48000, 2};
        probe->_stream = pa_stream_new(context, "floor", &format, nullptr);
        pa_buffer_attr attributes{};
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.tlength = 96 * 8;
        attributes.prebuf = 0;
        attributes.minreq = static_cast<std::uint32_t>(-1);
        attributes.fragsize = static_cast<std::uint32_t>(-1);
        pa_stream_set_state_callback(probe->_stream, &FloorProbe::onStream, probe);
        pa_stream_connect_playback(probe->_stream, nullptr, &attributes, PA_STREAM_ADJUST_LATENCY,
                                   nullptr, nullptr);
    }
    static void onStream(pa_stream* stream, void* self) {
        if (pa_stream_get_state(stream) != PA_STREAM_READY) return;
        const std::vector<float> silence(96 * 2);  // starts it running
        pa_stream_write(stream, silence.data(), silence.size() * sizeof(float), nullptr, 0,
                        PA_SEEK_RELATIVE);
        static_cast<void>(self);
    }

    std::vector<float> _click;
    pa_threaded_mainloop* _loop;
    pa_context* _context;
    pa_stream* _stream = nullptr;
};

// The same click as the floor's, on the left channel: the two are told apart on one recording.
std::shared_ptr<const SampleBuffer> leftClick() {
    auto buffer = std::make_shared<SampleBuffer>();
    for (int i = 0; i < 1440; ++i) {
        buffer->samples.push_back(
            0.5f * static_cast<float>(std::sin(2 * M_PI * 1500 * (i + 1) / 48000.0)));
        buffer->samples.push_back(0.0f);
    }
    return buffer;
}

// The sink's monitor through the pulse protocol; it does not keep the sink from suspending.
class PulseRecorder : public Recorder {
  public:
    PulseRecorder(const std::string& server, const std::string& source) : _source(source) {
        _loop = pa_threaded_mainloop_new();
        pa_threaded_mainloop_start(_loop);
        pa_threaded_mainloop_lock(_loop);
        _context = pa_context_new(pa_threaded_mainloop_get_api(_loop), "measure");
        pa_context_set_state_callback(_context, &PulseRecorder::onContext, this);
        pa_context_connect(_context, server.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr);
        pa_threaded_mainloop_unlock(_loop);
    }
    ~PulseRecorder() override {
        pa_threaded_mainloop_lock(_loop);
        if (_stream) pa_stream_disconnect(_stream);
        pa_context_disconnect(_context);
        pa_threaded_mainloop_unlock(_loop);
        pa_threaded_mainloop_stop(_loop);
        if (_stream) pa_stream_unref(_stream);
        pa_context_unref(_context);
        pa_threaded_mainloop_free(_loop);
    }

  private:
    static void onContext(pa_context* context, void* self) {
        auto* recorder = static_cast<PulseRecorder*>(self);
        if (pa_context_get_state(context) != PA_CONTEXT_READY) return;
        const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, 48000, 2};
        recorder->_stream = pa_stream_new(context, "measure", &format, nullptr);
        pa_stream_set_read_callback(recorder->_stream, &PulseRecorder::onRead, recorder);
        pa_buffer_attr attributes{};
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.fragsize = 64 * 8;
        pa_stream_connect_record(
            recorder->_stream, recorder->_source.c_str(), &attributes,
            static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                           PA_STREAM_AUTO_TIMING_UPDATE |
                                           PA_STREAM_DONT_INHIBIT_AUTO_SUSPEND));
    }
    static void onRead(pa_stream* stream, std::size_t, void* self) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        while (pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
            const auto arrived = Clock::now();
            pa_usec_t latency = 0;
            int negative = 0;
            pa_stream_get_latency(stream, &latency, &negative);
            const std::size_t frames = bytes / 8;
            // The latency reaches the oldest frame still unread here: this fragment's first.
            const auto first = arrived - std::chrono::microseconds(negative ? 0 : latency);
            if (data)
                static_cast<PulseRecorder*>(self)->add(static_cast<const float*>(data), frames,
                                                       first, latency / 1e3);
            pa_stream_drop(stream);
        }
    }

    std::string _source;
    pa_threaded_mainloop* _loop;
    pa_context* _context;
    pa_stream* _stream = nullptr;
};

// CPU seconds and context switches (each wake-up ends in one) of processes, all their threads.
struct Usage {
    double cpu = 0;
    long switches = 0;
};

Usage usageOf(const std::vector<pid_t>& pids,
              const std::function<bool(const std::string&, const std::string&)>& thread = {}) {
    Usage usage;
    for (pid_t pid : pids) {
        std::error_code error;
        const std::string process = pid ? "/proc/" + std::to_string(pid) : "/proc/self";
        for (const auto& task : std::filesystem::directory_iterator(process + "/task", error)) {
            std::ifstream comm(task.path() / "comm");
            std::string name;
            std::getline(comm, name);
            if (thread && !thread(task.path().filename().string(), name)) continue;
            std::ifstream schedstat(task.path() / "schedstat");
            unsigned long long nanoseconds = 0;
            if (schedstat >> nanoseconds) usage.cpu += static_cast<double>(nanoseconds) / 1e9;
            std::ifstream status(task.path() / "status");
            for (std::string line; std::getline(status, line);) {
                if (line.find("ctxt_switches:") != std::string::npos)
                    usage.switches += std::stol(line.substr(line.find(':') + 1));
            }
        }
    }
    return usage;
}

// Every thread but the main one: the output's loop and PipeWire's data thread (which keeps the
// program's name); no recorder is alive when this is read.
bool engineThread(const std::string& task, const std::string&) {
    return task != std::to_string(getpid());
}

struct Server {
    const char* name;
    std::vector<pid_t> pids;
    std::function<std::unique_ptr<tapsound::platform::SoundPlayer>()> player;
    std::function<std::unique_ptr<Recorder>()> recorder;
    std::function<bool()> sinkSuspended;
};

struct Scenario {
    const char* name;
    std::chrono::milliseconds gapMin, gapMax;
    bool underneath;  // a quiet voice already playing
};

void report(const char* server, const char* what, const std::vector<double>& latencies,
            int missed) {
    std::printf(
        "%-10s %-34s %4zu presses, %d missed: median %.2f ms, p99 %.2f ms, min %.2f, max %.2f\n",
        server, what, latencies.size(), missed, percentile(latencies, 0.5),
        percentile(latencies, 0.99), percentile(latencies, 0.0), percentile(latencies, 1.0));
}

void printUsage(const char* server, const char* what, const Usage& before, const Usage& after,
                double seconds) {
    std::printf("%-10s %-34s %.3f %% of a core, %.1f wake-ups a second\n", server, what,
                100 * (after.cpu - before.cpu) / seconds,
                static_cast<double>(after.switches - before.switches) / seconds);
}

struct Held {
    const char* name;
    std::uint32_t frames;  // 0: nothing else plays
    bool force;
    bool floor = true;  // without it, what a desktop with no low-latency program playing hears
};

// Press to sound beside the floor probe, from the same press, with another program holding the
// graph at each quantum: pressed from idle (the node inactive) and while typing.
void pressesOnHeldGraphs(const std::string& sink, const std::string& pulseServer, int presses) {
    const auto click = leftClick();
    const std::vector<Held> holds = {
        {"held at 64", 64, false},           {"held at 256", 256, false},
        {"held at 1024", 1024, false},       {"forced to 1024", 1024, true},
        {"nothing else", 0, false},          {"1024, no floor", 1024, false, false},
        {"256, no floor", 256, false, false}};
    std::mt19937 random(11);
    for (const Held& held : holds) {
        std::unique_ptr<GraphHolder> holder;
        if (held.frames) holder = std::make_unique<GraphHolder>(held.frames, held.force, 0.0f);
        std::optional<FloorProbe> floor;
        if (held.floor) floor.emplace(pulseServer);
        PipeWireRecorder recorder(sink, 1024);
        PipeWireSoundPlayer player;
        for (int i = 0; i < 200 && !player.ready(); ++i) std::this_thread::sleep_for(10ms);
        std::this_thread::sleep_for(500ms);
        player.start(click, 1.0f);
        std::this_thread::sleep_for(1s);
        for (const bool typing : {false, true}) {
            std::uniform_int_distribution<long> gap(typing ? 120 : 500, typing ? 180 : 800);
            std::vector<double> ours, theirs, graph;
            int missed = 0, floorMissed = 0;
            for (int i = 0; i < presses; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(gap(random)));
                graph.push_back(recorder.cycleFrames());
                recorder.clear();
                const auto pressed = Clock::now();
                player.start(click, 1.0f);
                if (floor) floor->click();
                const auto a = recorder.onsetAfter(pressed - 5ms, 300ms, 0);
                const auto b = floor ? recorder.onsetAfter(pressed - 5ms, 300ms, 1) : a;
                if (!a || !b) {
                    if (!a) ++missed;
                    if (!b) ++floorMissed;
                    continue;
                }
                ours.push_back(std::chrono::duration<double, std::milli>(*a - pressed).count());
                if (floor)
                    theirs.push_back(
                        std::chrono::duration<double, std::milli>(*b - pressed).count());
            }
            std::printf(
                "PipeWire   %-15s %-10s tapsound median %5.2f p99 %5.2f | floor median %5.2f "
                "p99 %5.2f | %zu presses, %d missed, %d by the floor, graph at %.0f frames\n",
                held.name, typing ? "typing" : "from idle", percentile(ours, 0.5),
                percentile(ours, 0.99), percentile(theirs, 0.5), percentile(theirs, 0.99),
                ours.size(), missed, floorMissed, percentile(graph, 0.5));
        }
    }
}

// PulseAudio, beside the same floor probe from the same press: from idle (corked), while typing,
// and over a quiet voice still playing, which is written into audio the server already holds.
void pulsePressesBesideTheFloor(const std::string& sink, const std::string& server, int presses) {
    const auto click = leftClick();
    const auto hum = toneBuffer(0.35, 220, 0.004f);  // under the onset threshold
    FloorProbe floor(server);
    PulseRecorder recorder(server, sink + ".monitor");
    PulseSoundPlayer player({.server = server});
    for (int i = 0; i < 200 && !player.ready(); ++i) std::this_thread::sleep_for(10ms);
    std::mt19937 random(13);
    for (const char* scenario : {"from idle", "typing", "over a voice"}) {
        const bool idle = scenario[0] == 'f', over = scenario[0] == 'o';
        std::uniform_int_distribution<long> gap(idle ? 600 : 120, idle ? 900 : 180), lead(20, 250);
        std::vector<double> ours, theirs;
        for (int i = 0; i < presses; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(gap(random)));
            if (over) {
                player.start(hum, 1.0f);
                std::this_thread::sleep_for(std::chrono::milliseconds(lead(random)));
            }
            recorder.clear();
            const auto pressed = Clock::now();
            player.start(click, 1.0f);
            floor.click();
            const auto a = recorder.onsetAfter(pressed - 5ms, 300ms, 0);
            const auto b = recorder.onsetAfter(pressed - 5ms, 300ms, 1);
            if (a) ours.push_back(std::chrono::duration<double, std::milli>(*a - pressed).count());
            if (b) theirs.push_back(std::chrono::duration<double, std::milli>(*b - pressed).count());
        }
        std::printf("PulseAudio %-13s tapsound median %5.2f p99 %5.2f | floor median %5.2f p99 "
                    "%5.2f | %zu and %zu of %d heard\n",
                    scenario, percentile(ours, 0.5), percentile(ours, 0.99),
                    percentile(theirs, 0.5), percentile(theirs, 0.99), ours.size(),
                    theirs.size(), presses);
    }
}

// Gaps between key presses as typists make them: most a fraction of a second apart, a pause
// now and then to think.
std::chrono::milliseconds typingGap(std::mt19937& random) {
    std::lognormal_distribution<double> burst(std::log(180.0), 0.4);
    std::uniform_real_distribution<double> pause(600, 3000);
    const bool pausing = std::uniform_real_distribution<double>(0, 1)(random) < 0.1;
    return std::chrono::milliseconds(static_cast<long>(pausing ? pause(random) : burst(random)));
}

// What the linger costs while typing at that rhythm, with music held at 1024 frames: press to
// sound, the server's CPU and wake-ups, and the music's cycles cut short and frames lost.
void lingerCost(const std::string& sink, const std::vector<pid_t>& serverPids) {
    auto bump = std::make_shared<SampleBuffer>();  // left only, never below the music's level
    for (int i = 0; i < 1920; ++i) bump->samples.insert(bump->samples.end(), {0.2f, 0.0f});
    constexpr auto kRun = 20s;
    for (const long linger : {-1L, 0L, 150L, 300L, 600L, 1000L}) {
        GraphHolder music(1024, false, 0.2f);
        PipeWireRecorder recorder(sink, 1024);
        std::optional<PipeWireSoundPlayer> player;
        if (linger >= 0) {
            player.emplace(PipeWireSoundPlayer::Options{
                .remote = "", .linger = std::chrono::milliseconds(linger)});
            for (int i = 0; i < 200 && !player->ready(); ++i) std::this_thread::sleep_for(10ms);
        }
        std::this_thread::sleep_for(1s);
        recorder.keepAll(0);
        std::mt19937 random(5);
        std::vector<double> latencies;
        int fromIdle = 0;
        const Usage before = usageOf(serverPids);
        const long cycles = music.cycles(), smaller = music.smallerCycles();
        const auto began = Clock::now();
        while (Clock::now() < began + kRun) {
            const auto gap = typingGap(random);
            std::this_thread::sleep_for(gap);
            if (!player) continue;
            fromIdle += gap > std::chrono::milliseconds(linger) + 40ms;
            recorder.clear();
            const auto pressed = Clock::now();
            player->start(bump, 1.0f);
            if (const auto onset = recorder.onsetAfter(pressed - 5ms, 300ms, 0))
                latencies.push_back(
                    std::chrono::duration<double, std::milli>(*onset - pressed).count());
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
        const Usage after = usageOf(serverPids);
        const long lost = recorder.dips(began + 100ms, began + kRun, 0.2f, 1, true);
        char name[32];
        std::snprintf(name, sizeof name, linger < 0 ? "no tapsound" : "linger %ld ms", linger);
        std::printf(
            "PipeWire   %-14s %3zu presses (%2d from idle): median %5.2f p99 %5.2f ms | server "
            "%.2f %% of a core, %.0f wake-ups/s | music: %.0f %% of cycles shorter than 1024, "
            "%ld frames lost\n",
            name, latencies.size(), fromIdle, percentile(latencies, 0.5),
            percentile(latencies, 0.99), 100 * (after.cpu - before.cpu) / seconds,
            static_cast<double>(after.switches - before.switches) / seconds,
            100.0 * static_cast<double>(music.smallerCycles() - smaller) /
                static_cast<double>(std::max(1L, music.cycles() - cycles)),
            lost);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    pw_init(&argc, &argv);
    // "held": only the presses beside the floor on held graphs, and the linger's cost.
    const bool heldOnly = argc > 1 && argv[1] == std::string("held");
    const int presses = heldOnly ? 30 : argc > 1 ? std::atoi(argv[1]) : 200;
    const auto quantum = static_cast<std::uint32_t>(
        argc > 2 ? std::atoi(argv[2]) : PipeWireSoundPlayer::Options{}.quantumFrames);
    const bool idleCost = argc > 3 ? std::atoi(argv[3]) != 0 : true;
    const int rounds = 4;

    // PulseAudio first: the PipeWire session's environment (runtime folder, pulse server) wins.
    PrivateSession pulse{{.display = false, .audio = true, .keepAwake = false}};
    PrivateSession pipewire{{.display = false, .audio = true, .pipewire = true}};
    if (!pulse.ok() || !pipewire.ok()) {
        std::fprintf(stderr, "session: %s%s\n", pulse.error().c_str(), pipewire.error().c_str());
        return 1;
    }
    const std::string sink = PrivateSession::kSinkName;
    auto suspended = [](const std::string& server) {
        return tapsound::test::capture("pactl --server=" + server + " list short sinks 2>/dev/null")
                   .find("SUSPENDED") != std::string::npos;
    };
    std::vector<Server> servers = {
        {"PulseAudio", pulse.serverPids(),
         [&] {
             return std::make_unique<PulseSoundPlayer>(
                 PulseSoundPlayer::Options{.server = pulse.pulseServer()});
         },
         [&] { return std::make_unique<PulseRecorder>(pulse.pulseServer(), sink + ".monitor"); },
         [&] { return suspended(pulse.pulseServer()); }},
        {"PipeWire", pipewire.serverPids(),
         [&] {
             return std::make_unique<PipeWireSoundPlayer>(
                 PipeWireSoundPlayer::Options{.remote = "", .quantumFrames = quantum});
         },
         [&] { return std::make_unique<PipeWireRecorder>(sink, quantum); },
         [&] { return suspended(pipewire.pulseServer()); }},
    };

    if (heldOnly) {
        pulsePressesBesideTheFloor(sink, pulse.pulseServer(), presses);
        pressesOnHeldGraphs(sink, pipewire.pulseServer(), presses);
        lingerCost(sink, pipewire.serverPids());
        return 0;
    }

    // Idle cost first, before any output connected: each server alone, then with an idle output.
    for (auto& server : servers) {
        if (!idleCost) break;
        std::this_thread::sleep_for(3s);
        Usage before = usageOf(server.pids);
        std::this_thread::sleep_for(10s);
        printUsage(server.name, "server, no output", before, usageOf(server.pids), 10);
        {
            auto player = server.player();
            player->start(toneBuffer(0.05, 1000, 0.3f), 1.0f);  // once, then idle
            std::this_thread::sleep_for(3s);
            before = usageOf(server.pids);
            const Usage engine = usageOf({0}, engineThread);
            std::this_thread::sleep_for(10s);
            printUsage(server.name, "server, output idle", before, usageOf(server.pids), 10);
            printUsage(server.name, "the output's own threads, idle", engine,
                       usageOf({0}, engineThread), 10);
            std::printf("%-10s sink suspended with the output idle: %s\n", server.name,
                        server.sinkSuspended() ? "yes" : "no");
        }
        std::this_thread::sleep_for(3s);
        before = usageOf(server.pids);
        std::this_thread::sleep_for(10s);
        printUsage(server.name, "server, no output again", before, usageOf(server.pids), 10);
    }

    const auto click = toneBuffer(0.03, 1500, 0.5f);
    const auto hum = toneBuffer(0.35, 220, 0.004f);  // under the onset threshold
    const std::vector<Scenario> scenarios = {
        {"from idle (corked/inactive)", 500ms, 800ms, false},
        {"while typing", 60ms, 200ms, false},
        {"while another voice plays", 60ms, 200ms, true},
        {"from a suspended sink", 2500ms, 2800ms, false},
    };
    struct Result {
        std::vector<double> latencies;
        int missed = 0;
    };
    std::vector<std::vector<Result>> results(servers.size(), std::vector<Result>(scenarios.size()));
    std::vector<double> recorderDelay(servers.size());
    std::mt19937 random(7);
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t s = 0; s < servers.size(); ++s) {
            auto player = servers[s].player();
            auto recorder = servers[s].recorder();
            // A recorder that joins a suspended sink hears nothing at first: wait until it does.
            for (int i = 0; i < 10; ++i) {
                recorder->clear();
                const auto pressed = Clock::now();
                player->start(click, 1.0f);
                if (recorder->onsetAfter(pressed - 5ms, 300ms)) break;
            }
            std::this_thread::sleep_for(1s);
            for (std::size_t c = 0; c < scenarios.size(); ++c) {
                const Scenario& scenario = scenarios[c];
                const int count = c == 3 ? std::max(1, presses / 20) : presses / rounds;
                std::uniform_int_distribution<long> gap(scenario.gapMin.count(),
                                                        scenario.gapMax.count());
                std::uniform_int_distribution<long> lead(20, 250);
                for (int i = 0; i < count; ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(gap(random)));
                    if (c == 3 && !servers[s].sinkSuspended())
                        std::printf("%s: the sink is awake\n", servers[s].name);
                    if (scenario.underneath) {
                        player->start(hum, 1.0f);
                        std::this_thread::sleep_for(std::chrono::milliseconds(lead(random)));
                    }
                    recorder->clear();
                    const auto pressed = Clock::now();
                    player->start(click, 1.0f);
                    if (const auto onset = recorder->onsetAfter(pressed - 5ms, 300ms)) {
                        results[s][c].latencies.push_back(
                            std::chrono::duration<double, std::milli>(*onset - pressed).count());
                    } else {
                        ++results[s][c].missed;
                    }
                }
            }
            recorderDelay[s] = recorder->medianDelayMs();
        }
    }
    for (std::size_t s = 0; s < servers.size(); ++s) {
        std::printf("%-10s recorder's own delay (taken off every figure): %.2f ms median\n",
                    servers[s].name, recorderDelay[s]);
        for (std::size_t c = 0; c < scenarios.size(); ++c) {
            report(servers[s].name, scenarios[c].name, results[s][c].latencies,
                   results[s][c].missed);
        }
    }

    // Typing at 15 presses a second: the output's threads, the whole program, the server.
    const auto typing = toneBuffer(0.04, 1500, 0.3f);
    for (auto& server : servers) {
        auto player = server.player();
        std::this_thread::sleep_for(1s);
        const Usage engine = usageOf({0}, engineThread), process = usageOf({0}),
                    daemon = usageOf(server.pids);
        const auto began = Clock::now();
        for (int i = 0; i < 150; ++i) {
            player->start(typing, 0.5f);
            std::this_thread::sleep_until(began + i * 66667us + 66667us);
        }
        printUsage(server.name, "15 presses/s: output threads", engine, usageOf({0}, engineThread),
                   10);
        printUsage(server.name, "15 presses/s: whole bench process", process, usageOf({0}), 10);
        printUsage(server.name, "15 presses/s: server", daemon, usageOf(server.pids), 10);
    }

    // Frames lost from a steady 10 s level at each quantum while typing goes on over it; the
    // recorder runs at the same quantum, and a cycle either misses counts.
    for (int round = 0; round < 3; ++round) {
        for (std::uint32_t quantum : {64u, 128u}) {
            PipeWireSoundPlayer player({.remote = "", .quantumFrames = quantum});
            for (int i = 0; i < 200 && !player.ready(); ++i) std::this_thread::sleep_for(10ms);
            PipeWireRecorder recorder(sink, quantum);
            recorder.keepAll();
            std::this_thread::sleep_for(1s);
            auto steady = std::make_shared<SampleBuffer>();
            steady->samples.assign(48000 * 11 * 2, 0.2f);
            const auto began = Clock::now();
            player.start(steady, 1.0f);
            auto bump = std::make_shared<SampleBuffer>();  // only ever raises the level
            bump->samples.assign(2400 * 2, 0.1f);
            for (int i = 0; i < 150; ++i) {
                player.start(bump, 1.0f);
                std::this_thread::sleep_until(began + 500ms + i * 66667us);
            }
            std::this_thread::sleep_for(1s);
            std::printf("PipeWire   quantum %u: %ld frames of a steady 10 s level lost\n", quantum,
                        recorder.dips(began + 200ms, began + 10500ms, 0.2f));
        }
    }
    pressesOnHeldGraphs(sink, pipewire.pulseServer(), 30);
    lingerCost(sink, pipewire.serverPids());
    return 0;
}
