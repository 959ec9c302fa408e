#include "platform/audio_output_pulse.h"

#include <pthread.h>
#include <pulse/pulseaudio.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <utility>

namespace tapsound::platform {

namespace {

constexpr std::size_t kFrameBytes = sizeof(float) * SampleBuffer::kChannels;
// Soon at first, for a server that restarts; then once a second while none is there.
constexpr std::uint64_t kFirstRetryUsec = 50 * PA_USEC_PER_MSEC;
constexpr std::uint64_t kLastRetryUsec = PA_USEC_PER_SEC;

std::uint32_t bytes(std::size_t frames) { return static_cast<std::uint32_t>(frames * kFrameBytes); }

// Locks the main loop for the scope: the audio thread runs its callbacks under the same lock.
class MainloopLock {
public:
    explicit MainloopLock(pa_threaded_mainloop* mainloop) : _mainloop(mainloop) { pa_threaded_mainloop_lock(_mainloop); }
    ~MainloopLock() { pa_threaded_mainloop_unlock(_mainloop); }
    MainloopLock(const MainloopLock&) = delete;
    MainloopLock& operator=(const MainloopLock&) = delete;

private:
    pa_threaded_mainloop* _mainloop;
};

}  // namespace

PulseSoundPlayer::PulseSoundPlayer(Options options)
    : _options(std::move(options)),
      _retryDelayUsec(kFirstRetryUsec),
      _rewritten(Mixer::kHistoryFrames * SampleBuffer::kChannels) {
    _options.requestFrames = std::clamp<std::size_t>(_options.requestFrames, 32, 4096);
    _options.aheadFrames = std::clamp<std::size_t>(_options.aheadFrames, _options.requestFrames * 2, 4096);
    _mainloop = pa_threaded_mainloop_new();
    if (!_mainloop) return;
    pa_threaded_mainloop_set_name(_mainloop, "tapsound-audio");
    if (pa_threaded_mainloop_start(_mainloop) < 0) {
        pa_threaded_mainloop_free(_mainloop);
        _mainloop = nullptr;
        return;
    }
    MainloopLock lock(_mainloop);
    // A press is sent to the server by this thread: on a busy machine an ordinary thread can
    // wait tens of milliseconds to run, and a rewrite that late loses the sound's start. Realtime
    // where the system allows it (the lowest priority is enough to go before ordinary work, and
    // stays below the server's own threads); children do not inherit it. Asked under the lock, as
    // every call from outside the loop's thread must be.
    pa_threaded_mainloop_once_unlocked(
        _mainloop,
        [](pa_threaded_mainloop*, void*) {
            sched_param parameters{};
            parameters.sched_priority = sched_get_priority_min(SCHED_RR);
            pthread_setschedparam(pthread_self(), SCHED_RR | SCHED_RESET_ON_FORK, &parameters);
        },
        nullptr);
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(_mainloop);
    _retry = api->time_new(api, nullptr, &PulseSoundPlayer::onRetry, this);  // armed on failure
    _idle = api->time_new(api, nullptr, &PulseSoundPlayer::onIdle, this);    // armed when dry
    _kick = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (_kick >= 0)
        _kickEvent = api->io_new(
            api, _kick, PA_IO_EVENT_INPUT,
            [](pa_mainloop_api*, pa_io_event*, int, pa_io_event_flags_t, void* self) {
                static_cast<PulseSoundPlayer*>(self)->takePendingLocked();
            },
            this);
    connectLocked();
}

PulseSoundPlayer::~PulseSoundPlayer() {
    if (!_mainloop) return;
    {
        MainloopLock lock(_mainloop);
        disconnectLocked();
        pa_threaded_mainloop_get_api(_mainloop)->time_free(_retry);
        pa_threaded_mainloop_get_api(_mainloop)->time_free(_idle);
        if (_kickEvent) pa_threaded_mainloop_get_api(_mainloop)->io_free(_kickEvent);
    }
    pa_threaded_mainloop_stop(_mainloop);
    pa_threaded_mainloop_free(_mainloop);
    if (_kick >= 0) close(_kick);
}

void PulseSoundPlayer::connectLocked() {
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "tapsound");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "tapsound");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ICON_NAME, "tapsound");
    _context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(_mainloop), "tapsound", properties);
    pa_proplist_free(properties);
    if (!_context) {
        retryLaterLocked();
        return;
    }
    pa_context_set_state_callback(_context, &PulseSoundPlayer::onContextState, this);
    const char* server = _options.server.empty() ? nullptr : _options.server.c_str();
    // No autospawn: a desktop tool should not start a sound server of its own.
    // No NOFAIL either: it waits only for a server announced on D-Bus, and a lost connection
    // fails all the same. The retry timer covers both.
    if (pa_context_connect(_context, server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        retryLaterLocked();
    }
}

void PulseSoundPlayer::disconnectLocked() {
    dropStreamLocked();
    if (_context) {
        pa_context_set_state_callback(_context, nullptr, nullptr);
        pa_context_disconnect(_context);
        pa_context_unref(_context);
        _context = nullptr;
    }
    _failed = false;
}

void PulseSoundPlayer::dropStreamLocked() {
    _playable = false;
    if (_stream) {
        pa_stream_set_state_callback(_stream, nullptr, nullptr);
        pa_stream_set_write_callback(_stream, nullptr, nullptr);
        pa_stream_set_underflow_callback(_stream, nullptr, nullptr);
        pa_stream_disconnect(_stream);
        pa_stream_unref(_stream);
        _stream = nullptr;
    }
    pa_threaded_mainloop_get_api(_mainloop)->time_restart(_idle, nullptr);
    _dry = true;
    _corked = false;
    _timingValid = false;
    _timingAsked = false;
    _writtenFrames = 0;
    _mixer.reset();
}

void PulseSoundPlayer::retryLaterLocked() {
    if (_failed) return;
    _failed = true;
    timeval due{};
    pa_timeval_add(pa_gettimeofday(&due), _retryDelayUsec);
    pa_threaded_mainloop_get_api(_mainloop)->time_restart(_retry, &due);
    _retryDelayUsec = std::min(_retryDelayUsec * 2, kLastRetryUsec);
}

void PulseSoundPlayer::onRetry(pa_mainloop_api*, pa_time_event*, const timeval*, void* self) {
    auto* player = static_cast<PulseSoundPlayer*>(self);
    // Here, not in the failing context's own callback, the old connection can be freed.
    player->disconnectLocked();
    player->connectLocked();
}

void PulseSoundPlayer::createStreamLocked() {
    const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, SampleBuffer::kSampleRate, SampleBuffer::kChannels};
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, "event");
    _stream = pa_stream_new_with_proplist(_context, "Key sounds", &format, nullptr, properties);
    pa_proplist_free(properties);
    if (!_stream) {
        retryLaterLocked();
        return;
    }
    pa_stream_set_state_callback(_stream, &PulseSoundPlayer::onStreamState, this);
    pa_stream_set_write_callback(_stream, &PulseSoundPlayer::onWriteRequest, this);
    pa_stream_set_underflow_callback(_stream, &PulseSoundPlayer::onUnderflow, this);

    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = bytes(_options.aheadFrames);
    attributes.minreq = bytes(_options.requestFrames);
    // A small prebuffer lets the stream stop when it runs dry and start again on one chunk.
    attributes.prebuf = bytes(_options.requestFrames);
    attributes.fragsize = static_cast<std::uint32_t>(-1);
    // No automatic timing updates: they would wake an idle program up. Corked until the first
    // press, so a sleeping sink sleeps on.
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_START_CORKED);
    _corked = true;
    const char* device = _route.empty() ? nullptr : _route.c_str();
    if (pa_stream_connect_playback(_stream, device, &attributes, flags, nullptr, nullptr) < 0) {
        retryLaterLocked();
    }
}

bool PulseSoundPlayer::ready() {
    if (!_mainloop) return false;
    MainloopLock lock(_mainloop);
    return !_failed && _stream && pa_stream_get_state(_stream) == PA_STREAM_READY;
}

bool PulseSoundPlayer::corked() {
    if (!_mainloop) return false;
    MainloopLock lock(_mainloop);
    return _corked;
}

bool PulseSoundPlayer::start(std::shared_ptr<const SampleBuffer> samples, float volume) {
    return startVoiced(std::move(samples), volume, Voicing{});
}

// The press is handed to the audio thread rather than played under the loop's lock: taking that
// lock wakes the loop, which then waits on the lock, so each press cost both threads extra
// wake-ups. Here it costs one.
bool PulseSoundPlayer::startVoiced(std::shared_ptr<const SampleBuffer> samples, float volume,
                                   const Voicing& voicing) {
    if (!_mainloop || _kick < 0 || !samples) return false;
    if (_failed.load(std::memory_order_relaxed)) {
        // Someone is typing: look for the server now rather than at the next retry.
        _retryNow = true;
        kick();
        return false;
    }
    if (!_playable.load(std::memory_order_relaxed)) return false;
    // Started, silently: nothing to uncork the stream or wake the sink for.
    if (!std::isfinite(volume) || volume <= 0.0f || samples->frameCount() == 0) return true;
    {
        std::lock_guard<std::mutex> lock(_pendingMutex);
        if (_pending.size() >= kMaxPending) return false;
        _pending.push_back({std::move(samples), volume, voicing});
    }
    kick();
    return true;
}

void PulseSoundPlayer::kick() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = write(_kick, &one, sizeof one);
}

void PulseSoundPlayer::takePendingLocked() {
    std::uint64_t count = 0;
    [[maybe_unused]] const auto taken = read(_kick, &count, sizeof count);
    {
        std::lock_guard<std::mutex> lock(_pendingMutex);
        _taking.swap(_pending);
    }
    if (_retryNow.exchange(false) && _failed) {
        timeval now{};
        pa_threaded_mainloop_get_api(_mainloop)->time_restart(_retry, pa_gettimeofday(&now));
    }
    for (auto& press : _taking) playLocked(std::move(press.samples), press.volume, press.voicing);
    _taking.clear();  // the two vectors trade places, so neither allocates once grown
}

void PulseSoundPlayer::playLocked(std::shared_ptr<const SampleBuffer> samples, float volume,
                                  const Voicing& voicing) {
    if (_failed || !_stream || pa_stream_get_state(_stream) != PA_STREAM_READY) return;
    _mixer.releaseFinished();

    if (_dry) {
        pa_threaded_mainloop_get_api(_mainloop)->time_restart(_idle, nullptr);
        _mixer.start(std::move(samples), volume, voicing);
        writeLocked(_options.aheadFrames);
        // Queued first, so the stream starts on it the moment it is uncorked.
        if (_corked) {
            if (pa_operation* uncork = pa_stream_cork(_stream, 0, nullptr, nullptr))
                pa_operation_unref(uncork);
            _corked = false;
        }
        return;
    }
    const std::size_t back = _options.rewrite ? untakenFramesLocked() : 0;
    std::size_t rewritten = _mixer.insert(std::move(samples), volume, voicing, back, _rewritten.data());
    // Replaces the queued audio from `rewritten` frames before the write index onwards.
    if (rewritten > 0 &&
        pa_stream_write(_stream, _rewritten.data(), rewritten * kFrameBytes, nullptr,
                        -static_cast<std::int64_t>(rewritten * kFrameBytes),
                        PA_SEEK_RELATIVE) < 0) {
        // The mixer holds audio the stream never got; a later rewrite would splice it in mid-voice.
        _mixer.reset();
    }
}

std::size_t PulseSoundPlayer::untakenFramesLocked() {
    // No report yet: queue behind what is there rather than risk writing over taken audio.
    if (!_timingValid) return 0;
    const auto elapsed = std::chrono::steady_clock::now() - _readTime;
    const auto elapsedFrames = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count() * SampleBuffer::kSampleRate /
        1000000);
    // The sink reads ahead of what it plays by up to its own latency, in one go.
    const std::uint64_t slowest = *std::max_element(_answerFrames.begin(), _answerFrames.end());
    const std::uint64_t taken =
        _readFrames + elapsedFrames + _sinkFrames + std::max<std::uint64_t>(_options.marginFrames, 2 * slowest);
    if (taken >= _writtenFrames) return 0;
    return static_cast<std::size_t>(
        std::min<std::uint64_t>(_writtenFrames - taken, Mixer::kHistoryFrames));
}

// False when the voices were dropped: the mixer never runs ahead of what the stream holds, and a
// voice that cannot be queued now is not played late by the next press.
bool PulseSoundPlayer::writeLocked(std::size_t frames) {
    while (frames > 0) {
        void* data = nullptr;
        std::size_t size = frames * kFrameBytes;
        const bool begun = pa_stream_begin_write(_stream, &data, &size) == 0 && data;
        const std::size_t count = begun ? std::min(frames, size / kFrameBytes) : 0;
        if (count == 0) {
            if (begun) pa_stream_cancel_write(_stream);
            // Nothing rendered, so still in step; a stream with audio queued asks again.
            if (!_dry) return true;
            _mixer.reset();
            return false;
        }
        _mixer.render(static_cast<float*>(data), count);
        // From dry, at the server's read position: while the stream ran dry the server may have
        // read past what we wrote, and audio written behind its read position is never heard.
        const pa_seek_mode_t seek = _dry ? PA_SEEK_RELATIVE_ON_READ : PA_SEEK_RELATIVE;
        if (pa_stream_write(_stream, data, count * kFrameBytes, nullptr, 0, seek) < 0) {
            pa_stream_cancel_write(_stream);
            _mixer.reset();
            return false;
        }
        if (_dry) {
            // Until the server reports, it has read up to where this audio begins, from now on.
            _readFrames = _writtenFrames;
            _readTime = std::chrono::steady_clock::now();
            _timingValid = true;
            _dry = false;
            ++_runs;  // a report asked for before this is of no use now
        }
        _writtenFrames += count;
        frames -= count;
    }
    // One report per write while playing (awake then anyway) keeps the read position current.
    if (!_timingAsked) {
        if (pa_operation* update =
                pa_stream_update_timing_info(_stream, &PulseSoundPlayer::onTimingUpdate, this)) {
            pa_operation_unref(update);
            _timingAsked = true;
            _askedTime = std::chrono::steady_clock::now();
            _askedFrames = _writtenFrames;
            _askedRun = _runs;
        }
    }
    return true;
}

void PulseSoundPlayer::onTimingUpdate(pa_stream* stream, int success, void* self) {
    auto* player = static_cast<PulseSoundPlayer*>(self);
    player->_timingAsked = false;
    const auto answered = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - player->_askedTime);
    player->_answerFrames[player->_answerNext++ % player->_answerFrames.size()] =
        static_cast<std::uint32_t>(std::min<std::int64_t>(
            answered.count() * SampleBuffer::kSampleRate / 1000000, Mixer::kHistoryFrames));
    const pa_timing_info* timing = success ? pa_stream_get_timing_info(stream) : nullptr;
    if (!timing || timing->read_index_corrupt || timing->write_index_corrupt || player->_dry ||
        player->_askedRun != player->_runs) {
        return;
    }
    // The server counts from where it first read; its write index then stood where ours did
    // when we asked (it answers after taking every write sent before the question).
    const std::int64_t behind =
        (timing->write_index - timing->read_index) / static_cast<std::int64_t>(kFrameBytes);
    player->_timingValid = true;
    player->_readFrames =
        player->_askedFrames - static_cast<std::uint64_t>(std::clamp<std::int64_t>(
                                   behind, 0, static_cast<std::int64_t>(player->_askedFrames)));
    player->_readTime = player->_askedTime;
    // A sink woken late renders up to its whole configured latency at once, more than it held
    // when it answered: no less than that may have been read by the time a rewrite arrives.
    const pa_usec_t ahead = std::max(timing->sink_usec, timing->configured_sink_usec);
    player->_sinkFrames = std::min<std::uint64_t>(
        ahead * SampleBuffer::kSampleRate / PA_USEC_PER_SEC, Mixer::kHistoryFrames);
}

void PulseSoundPlayer::onContextState(pa_context* context, void* self) {
    auto* player = static_cast<PulseSoundPlayer*>(self);
    switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY:
            player->createStreamLocked();
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            player->retryLaterLocked();
            break;
        default:
            break;
    }
}

void PulseSoundPlayer::onStreamState(pa_stream* stream, void* self) {
    auto* player = static_cast<PulseSoundPlayer*>(self);
    pa_stream_state_t state = pa_stream_get_state(stream);
    // Connected: the next time the server goes away, look for it again quickly.
    if (state == PA_STREAM_READY) player->_retryDelayUsec = kFirstRetryUsec;
    player->_playable = state == PA_STREAM_READY;
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) player->retryLaterLocked();
}

void PulseSoundPlayer::onWriteRequest(pa_stream*, std::size_t bytes, void* self) {
    auto* player = static_cast<PulseSoundPlayer*>(self);
    // Nothing playing: write nothing and let the stream run dry, so idle costs no wake-ups.
    if (player->_mixer.idle()) return;
    // Beyond what it asks: the queue may run past its target length, and each refill then lasts.
    player->writeLocked(std::max(bytes / kFrameBytes, player->_options.aheadFrames));
}

void PulseSoundPlayer::onUnderflow(pa_stream*, void* self) {
    auto* player = static_cast<PulseSoundPlayer*>(self);
    player->_dry = true;
    if (player->_mixer.idle()) {
        timeval due{};
        pa_timeval_add(pa_gettimeofday(&due),
                       static_cast<pa_usec_t>(player->_options.linger.count()) * PA_USEC_PER_MSEC);
        pa_threaded_mainloop_get_api(player->_mainloop)->time_restart(player->_idle, &due);
    }
    // A voice started just as the queue ran out would otherwise wait for a request that never comes.
    if (!player->_mixer.idle()) player->writeLocked(player->_options.aheadFrames);
}

void PulseSoundPlayer::onIdle(pa_mainloop_api* api, pa_time_event*, const timeval*, void* self) {
    auto* player = static_cast<PulseSoundPlayer*>(self);
    api->time_restart(player->_idle, nullptr);
    if (!player->_stream || !player->_dry || !player->_mixer.idle() || player->_corked) return;
    // A dry stream still keeps the sink running for it; a corked one does not.
    if (pa_operation* cork = pa_stream_cork(player->_stream, 1, nullptr, nullptr)) {
        pa_operation_unref(cork);
        player->_corked = true;
    }
}

void PulseSoundPlayer::routeTo(const std::string& output) {
    if (!_mainloop) return;
    MainloopLock lock(_mainloop);
    if (output == _route) return;
    _route = output;
    rerouteLocked();
}

// A stream made for no device follows the server's default as the user changes it; one moved
// there would stay put. So the stream is made again on its new output, which also keeps a
// reconnection there.
void PulseSoundPlayer::rerouteLocked() {
    if (!_stream || !_context || pa_context_get_state(_context) != PA_CONTEXT_READY) return;
    dropStreamLocked();
    createStreamLocked();
}

}  // namespace tapsound::platform
