#include "platform/audio_output_pulse.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <utility>

namespace tapsound::platform {

namespace {

constexpr std::size_t kFrameBytes = sizeof(float) * SampleBuffer::kChannels;

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
    : _options(std::move(options)), _rewritten(Mixer::kHistoryFrames * SampleBuffer::kChannels) {
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
    connectLocked();
}

PulseSoundPlayer::~PulseSoundPlayer() {
    if (!_mainloop) return;
    {
        MainloopLock lock(_mainloop);
        disconnectLocked();
    }
    pa_threaded_mainloop_stop(_mainloop);
    pa_threaded_mainloop_free(_mainloop);
}

void PulseSoundPlayer::connectLocked() {
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "tapsound");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "tapsound");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ICON_NAME, "tapsound");
    _context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(_mainloop), "tapsound", properties);
    pa_proplist_free(properties);
    if (!_context) {
        _failed = true;
        return;
    }
    pa_context_set_state_callback(_context, &PulseSoundPlayer::onContextState, this);
    const char* server = _options.server.empty() ? nullptr : _options.server.c_str();
    // No autospawn: a desktop tool should not start a sound server of its own.
    if (pa_context_connect(_context, server, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) _failed = true;
}

void PulseSoundPlayer::disconnectLocked() {
    if (_stream) {
        pa_stream_set_state_callback(_stream, nullptr, nullptr);
        pa_stream_set_write_callback(_stream, nullptr, nullptr);
        pa_stream_set_underflow_callback(_stream, nullptr, nullptr);
        pa_stream_disconnect(_stream);
        pa_stream_unref(_stream);
        _stream = nullptr;
    }
    if (_context) {
        pa_context_set_state_callback(_context, nullptr, nullptr);
        pa_context_disconnect(_context);
        pa_context_unref(_context);
        _context = nullptr;
    }
    _failed = false;
    _dry = true;
    _primed = false;
    _writtenFrames = 0;
    _mixer.reset();
}

void PulseSoundPlayer::createStreamLocked() {
    const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, SampleBuffer::kSampleRate, SampleBuffer::kChannels};
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, "event");
    _stream = pa_stream_new_with_proplist(_context, "Key sounds", &format, nullptr, properties);
    pa_proplist_free(properties);
    if (!_stream) {
        _failed = true;
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
    // No automatic timing updates: they would wake an idle program up.
    const auto flags = PA_STREAM_ADJUST_LATENCY;
    if (pa_stream_connect_playback(_stream, nullptr, &attributes, flags, nullptr, nullptr) < 0) _failed = true;
}

bool PulseSoundPlayer::ready() {
    if (!_mainloop) return false;
    MainloopLock lock(_mainloop);
    return _stream && pa_stream_get_state(_stream) == PA_STREAM_READY && _primed;
}

bool PulseSoundPlayer::start(std::shared_ptr<const SampleBuffer> samples, float volume) {
    if (!_mainloop || !samples) return false;
    MainloopLock lock(_mainloop);
    if (_failed || !_context) {
        // The server went away or was never there: try again, quietly, for the next press.
        disconnectLocked();
        connectLocked();
        return false;
    }
    if (!_stream || pa_stream_get_state(_stream) != PA_STREAM_READY) return false;
    _mixer.releaseFinished();

    if (_dry) {
        _mixer.start(std::move(samples), volume);
        writeLocked(_options.aheadFrames);
        return true;
    }
    std::size_t back = 0;
    if (_options.rewrite) {
        std::size_t unplayed = unplayedFramesLocked();
        if (unplayed > _options.marginFrames) back = unplayed - _options.marginFrames;
    }
    std::size_t rewritten = _mixer.insert(std::move(samples), volume, back, _rewritten.data());
    if (rewritten > 0) {
        // Replaces the queued audio from `rewritten` frames before the write index onwards.
        pa_stream_write(_stream, _rewritten.data(), rewritten * kFrameBytes, nullptr,
                        -static_cast<std::int64_t>(rewritten * kFrameBytes), PA_SEEK_RELATIVE);
    }
    return true;
}

std::size_t PulseSoundPlayer::unplayedFramesLocked() {
    // Our own clock, not the server's timing reports: it is current even right after a start,
    // and asking the server on every press would cost a round trip.
    const auto elapsed = std::chrono::steady_clock::now() - _anchorTime;
    const auto elapsedFrames = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count() * SampleBuffer::kSampleRate /
        1000000);
    const std::uint64_t heardFrames =
        _anchorFrames + (elapsedFrames > _sinkLatencyFrames ? elapsedFrames - _sinkLatencyFrames : 0);
    if (heardFrames >= _writtenFrames) return 0;
    return static_cast<std::size_t>(std::min<std::uint64_t>(_writtenFrames - heardFrames, Mixer::kHistoryFrames));
}

void PulseSoundPlayer::writeLocked(std::size_t frames) {
    while (frames > 0) {
        void* data = nullptr;
        std::size_t size = frames * kFrameBytes;
        if (pa_stream_begin_write(_stream, &data, &size) < 0 || !data) return;
        std::size_t count = std::min(frames, size / kFrameBytes);
        if (count == 0) {
            pa_stream_cancel_write(_stream);
            return;
        }
        _mixer.render(static_cast<float*>(data), count);
        if (pa_stream_write(_stream, data, count * kFrameBytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) return;
        if (_dry) {
            _dry = false;
            _anchorFrames = _writtenFrames;
            _anchorTime = std::chrono::steady_clock::now();
            // One timing request per start from dry tells how far behind the sink plays.
            if (pa_operation* update = pa_stream_update_timing_info(_stream, &PulseSoundPlayer::onTimingUpdate, this)) {
                pa_operation_unref(update);
            }
        }
        _writtenFrames += count;
        frames -= count;
    }
}

void PulseSoundPlayer::onTimingUpdate(pa_stream* stream, int success, void* self) {
    auto* player = static_cast<PulseSoundPlayer*>(self);
    const pa_timing_info* timing = success ? pa_stream_get_timing_info(stream) : nullptr;
    if (!timing) return;
    player->_sinkLatencyFrames = std::min<std::uint64_t>(timing->sink_usec * SampleBuffer::kSampleRate / PA_USEC_PER_SEC,
                                                         Mixer::kHistoryFrames);
}

void PulseSoundPlayer::onContextState(pa_context* context, void* self) {
    auto* player = static_cast<PulseSoundPlayer*>(self);
    switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY:
            player->createStreamLocked();
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            player->_failed = true;
            break;
        default:
            break;
    }
}

void PulseSoundPlayer::onStreamState(pa_stream* stream, void* self) {
    auto* player = static_cast<PulseSoundPlayer*>(self);
    pa_stream_state_t state = pa_stream_get_state(stream);
    // A moment of silence at once wakes a sleeping sink up to our latency before the first press.
    if (state == PA_STREAM_READY) player->writeLocked(player->_options.requestFrames);
    if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) player->_failed = true;
}

void PulseSoundPlayer::onWriteRequest(pa_stream*, std::size_t bytes, void* self) {
    auto* player = static_cast<PulseSoundPlayer*>(self);
    // Nothing playing: write nothing and let the stream run dry, so idle costs no wake-ups.
    if (player->_mixer.idle()) return;
    player->writeLocked(bytes / kFrameBytes);
}

void PulseSoundPlayer::onUnderflow(pa_stream*, void* self) {
    auto* player = static_cast<PulseSoundPlayer*>(self);
    player->_dry = true;
    player->_primed = true;
    // A voice started just as the queue ran out would otherwise wait for a request that never comes.
    if (!player->_mixer.idle()) player->writeLocked(player->_options.aheadFrames);
}

}  // namespace tapsound::platform
