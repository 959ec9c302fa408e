#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/mixer.h"
#include "platform/sound.h"

struct pa_context;
struct pa_mainloop_api;
struct pa_stream;
struct pa_threaded_mainloop;
struct pa_time_event;
struct timeval;

namespace tapsound::platform {

// Plays started sounds through a PulseAudio server (or PipeWire's pulse server).
//
// The stream runs dry whenever nothing plays, so an idle program gets no audio wake-ups. A press
// from idle renders and writes its first chunk at once; a press while other voices play rewrites
// the audio already queued from just past the read position, so it never waits behind it and the
// stream can keep a longer buffer (fewer wake-ups) while playing.
//
// A server that is missing or goes away is looked for again on a timer that runs only while
// disconnected, so the first press after it returns plays.
class PulseSoundPlayer : public SoundPlayer {
public:
    struct Options {
        std::string server;          // empty: the default server
        std::size_t aheadFrames = 2048;   // queued while playing
        std::size_t requestFrames = 512;  // the server asks for at least this much at a time
        std::size_t marginFrames = 96;    // left untouched past the read position on a rewrite
        bool rewrite = true;
    };

    PulseSoundPlayer() : PulseSoundPlayer(Options{}) {}
    explicit PulseSoundPlayer(Options options);
    ~PulseSoundPlayer() override;
    PulseSoundPlayer(const PulseSoundPlayer&) = delete;
    PulseSoundPlayer& operator=(const PulseSoundPlayer&) = delete;

    bool start(std::shared_ptr<const SampleBuffer> samples, float volume) override;

    // True once the stream plays at its latency (the first silence went through the sink);
    // for tests and benchmarks, which wait on it.
    bool ready();

private:
    void connectLocked();
    void disconnectLocked();
    void retryLaterLocked();
    void createStreamLocked();
    bool writeLocked(std::size_t frames);
    std::size_t unplayedFramesLocked();

    static void onContextState(pa_context* context, void* self);
    static void onStreamState(pa_stream* stream, void* self);
    static void onWriteRequest(pa_stream* stream, std::size_t bytes, void* self);
    static void onUnderflow(pa_stream* stream, void* self);
    static void onTimingUpdate(pa_stream* stream, int success, void* self);
    static void onRetry(pa_mainloop_api* api, pa_time_event* event, const timeval* due, void* self);

    Options _options;
    pa_threaded_mainloop* _mainloop = nullptr;
    pa_context* _context = nullptr;
    pa_stream* _stream = nullptr;
    pa_time_event* _retry = nullptr;  // armed only while disconnected
    std::uint64_t _retryDelayUsec = 0;  // grows while the server stays away
    bool _failed = false;  // disconnected, a retry armed
    bool _dry = true;      // nothing queued at the server
    bool _primed = false;
    std::uint64_t _writtenFrames = 0;
    // Where and when playback last started from dry; the play position is reckoned from it.
    std::uint64_t _anchorFrames = 0;
    std::chrono::steady_clock::time_point _anchorTime;
    std::uint64_t _sinkLatencyFrames = 0;
    Mixer _mixer;
    std::vector<float> _rewritten;
};

}  // namespace tapsound::platform
