#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/mixer.h"
#include "platform/sound.h"

struct pa_context;
struct pa_io_event;
struct pa_mainloop_api;
struct pa_stream;
struct pa_threaded_mainloop;
struct pa_time_event;
struct timeval;

namespace tapsound::platform {

// Plays started sounds through a PulseAudio server (or PipeWire's pulse server).
//
// The stream runs dry whenever nothing plays and is corked a moment later, so an idle program
// costs neither itself nor the server any wake-ups and the sink may suspend. A press from idle
// renders and writes its first chunk at once; a press while other voices play rewrites the audio
// still queued at the server, from past the point the server may have taken by now (its last
// timing report, carried forward), so it neither waits behind that audio nor loses its start.
//
// A server that is missing or goes away is looked for again on a timer that runs only while
// disconnected, so the first press after it returns plays.
class PulseSoundPlayer : public SoundPlayer {
public:
    struct Options {
        std::string server;          // empty: the default server
        // Queued while playing. A refill tops it up by this much again, which stays within what
        // the mixer keeps for rewrites, so a press still reaches back to the read position.
        std::size_t aheadFrames = 4096;
        // The server asks for at least this much at a time: while a sound plays it wakes us every
        // 42 ms, and a refill has that long to arrive. Nearly half the queue: the server gives the
        // sink what the queue holds beyond twice this, so the sink holds under a millisecond and
        // a rewrite lands that soon.
        std::size_t requestFrames = 2024;
        // Left untouched past the read position on a rewrite, at least; more while the server
        // answers slowly (a busy machine, no realtime scheduling), since a rewrite that reaches it
        // after it read that far would lose the new sound's start.
        std::size_t marginFrames = 96;
        bool rewrite = true;
        std::chrono::milliseconds linger{300};  // run dry this long before the stream is corked
    };

    PulseSoundPlayer() : PulseSoundPlayer(Options{}) {}
    explicit PulseSoundPlayer(Options options);
    ~PulseSoundPlayer() override;
    PulseSoundPlayer(const PulseSoundPlayer&) = delete;
    PulseSoundPlayer& operator=(const PulseSoundPlayer&) = delete;

    bool start(std::shared_ptr<const SampleBuffer> samples, float volume) override;
    bool startVoiced(std::shared_ptr<const SampleBuffer> samples, float volume,
                     const Voicing& voicing) override;
    // Moves the stream: it is made again on that output, or on the default when empty.
    void routeTo(const std::string& output) override;

    // True once the stream is connected and a press would play; for tests and benchmarks.
    bool ready();
    // Corked: before the first press, and a moment after the stream last ran dry; for tests.
    bool corked();

  private:
    static constexpr std::size_t kMaxPending = 64;
    using Pending = PendingPress;

    void kick();
    void takePendingLocked();
    void playLocked(std::shared_ptr<const SampleBuffer> samples, float volume, const Voicing& voicing);
    void connectLocked();
    void disconnectLocked();
    // Drops the stream and what it queued; the connection stays.
    void dropStreamLocked();
    void retryLaterLocked();
    void createStreamLocked();
    bool writeLocked(std::size_t frames);
    std::size_t untakenFramesLocked();
    void rerouteLocked();

    static void onContextState(pa_context* context, void* self);
    static void onStreamState(pa_stream* stream, void* self);
    static void onWriteRequest(pa_stream* stream, std::size_t bytes, void* self);
    static void onUnderflow(pa_stream* stream, void* self);
    static void onTimingUpdate(pa_stream* stream, int success, void* self);
    static void onRetry(pa_mainloop_api* api, pa_time_event* event, const timeval* due, void* self);
    static void onIdle(pa_mainloop_api* api, pa_time_event* event, const timeval* due, void* self);

    Options _options;
    pa_threaded_mainloop* _mainloop = nullptr;
    pa_context* _context = nullptr;
    pa_stream* _stream = nullptr;
    pa_time_event* _retry = nullptr;  // armed only while disconnected
    pa_time_event* _idle = nullptr;   // armed only while dry and not yet corked
    std::uint64_t _retryDelayUsec = 0;  // grows while the server stays away
    // Presses on their way to the audio thread, which the eventfd wakes.
    int _kick = -1;
    pa_io_event* _kickEvent = nullptr;
    std::mutex _pendingMutex;
    std::vector<Pending> _pending, _taking;
    std::atomic<bool> _retryNow{false};
    // Written by the audio thread, read by the caller's without the loop's lock.
    std::atomic<bool> _failed{false};  // disconnected, a retry armed
    std::atomic<bool> _playable{false};  // the stream is ready
    bool _dry = true;      // nothing queued at the server
    bool _corked = false;
    std::uint64_t _writtenFrames = 0;
    // The server's last timing report: how far it had read, and a time no later than it read
    // that far (when it was asked), so the reckoning from it runs ahead, never behind.
    bool _timingValid = false;
    bool _timingAsked = false;
    std::uint64_t _readFrames = 0;
    std::uint64_t _askedFrames = 0;
    std::uint64_t _runs = 0, _askedRun = 0;  // starts from dry, so a late report is not misread
    std::uint64_t _sinkFrames = 0;
    std::chrono::steady_clock::time_point _askedTime, _readTime;
    // How long the server took to answer lately, the longest first: a rewrite keeps twice that
    // clear of its read position.
    std::array<std::uint32_t, 32> _answerFrames{};
    std::size_t _answerNext = 0;
    Mixer _mixer;
    std::vector<float> _rewritten;
    std::string _route;  // the output the stream is made on; empty for the default
};

}  // namespace tapsound::platform
