#include "platform/audio_output_pipewire.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/shared_library.h"

namespace tapsound::platform {

namespace {

// libpipewire, mapped only where a PipeWire daemon answers: elsewhere its relocated pages would
// be private memory held for nothing.
struct LibPipeWire {
    decltype(&::pw_context_connect) contextConnect = nullptr;
    decltype(&::pw_context_destroy) contextDestroy = nullptr;
    decltype(&::pw_context_new) contextNew = nullptr;
    decltype(&::pw_core_disconnect) coreDisconnect = nullptr;
    decltype(&::pw_init) init = nullptr;
    decltype(&::pw_log_set_level) logSetLevel = nullptr;
    decltype(&::pw_properties_new) propertiesNew = nullptr;
    decltype(&::pw_properties_set) propertiesSet = nullptr;
    decltype(&::pw_stream_add_listener) streamAddListener = nullptr;
    decltype(&::pw_stream_connect) streamConnect = nullptr;
    decltype(&::pw_stream_dequeue_buffer) streamDequeueBuffer = nullptr;
    decltype(&::pw_stream_destroy) streamDestroy = nullptr;
    decltype(&::pw_stream_new) streamNew = nullptr;
    decltype(&::pw_stream_queue_buffer) streamQueueBuffer = nullptr;
    decltype(&::pw_stream_set_active) streamSetActive = nullptr;
    decltype(&::pw_thread_loop_destroy) threadLoopDestroy = nullptr;
    decltype(&::pw_thread_loop_get_loop) threadLoopGetLoop = nullptr;
    decltype(&::pw_thread_loop_lock) threadLoopLock = nullptr;
    decltype(&::pw_thread_loop_new) threadLoopNew = nullptr;
    decltype(&::pw_thread_loop_start) threadLoopStart = nullptr;
    decltype(&::pw_thread_loop_stop) threadLoopStop = nullptr;
    decltype(&::pw_thread_loop_unlock) threadLoopUnlock = nullptr;
};

const LibPipeWire* loadPipeWire() {
    static const LibPipeWire* const loaded = []() -> const LibPipeWire* {
        SharedLibrary library(TAPSOUND_LIBPIPEWIRE_SONAME);
        static LibPipeWire api;
        library.bind(api.contextConnect, "pw_context_connect");
        library.bind(api.contextDestroy, "pw_context_destroy");
        library.bind(api.contextNew, "pw_context_new");
        library.bind(api.coreDisconnect, "pw_core_disconnect");
        library.bind(api.init, "pw_init");
        library.bind(api.logSetLevel, "pw_log_set_level");
        library.bind(api.propertiesNew, "pw_properties_new");
        library.bind(api.propertiesSet, "pw_properties_set");
        library.bind(api.streamAddListener, "pw_stream_add_listener");
        library.bind(api.streamConnect, "pw_stream_connect");
        library.bind(api.streamDequeueBuffer, "pw_stream_dequeue_buffer");
        library.bind(api.streamDestroy, "pw_stream_destroy");
        library.bind(api.streamNew, "pw_stream_new");
        library.bind(api.streamQueueBuffer, "pw_stream_queue_buffer");
        library.bind(api.streamSetActive, "pw_stream_set_active");
        library.bind(api.threadLoopDestroy, "pw_thread_loop_destroy");
        library.bind(api.threadLoopGetLoop, "pw_thread_loop_get_loop");
        library.bind(api.threadLoopLock, "pw_thread_loop_lock");
        library.bind(api.threadLoopNew, "pw_thread_loop_new");
        library.bind(api.threadLoopStart, "pw_thread_loop_start");
        library.bind(api.threadLoopStop, "pw_thread_loop_stop");
        library.bind(api.threadLoopUnlock, "pw_thread_loop_unlock");
        return library.usable() ? &api : nullptr;
    }();
    return loaded;
}

// Set as the first player is made; a player without the library stays silent. The handle is
// kept for the program's life.
const LibPipeWire* pw = nullptr;

using Clock = std::chrono::steady_clock;
constexpr std::size_t kFrameBytes = sizeof(float) * SampleBuffer::kChannels;
// Soon at first, for a daemon that restarts; then once a second while none is there.
constexpr std::chrono::milliseconds kFirstRetry{50};
constexpr std::chrono::milliseconds kLastRetry{1000};

class LoopLock {
  public:
    explicit LoopLock(pw_thread_loop* loop) : _loop(loop) { pw->threadLoopLock(_loop); }
    ~LoopLock() { pw->threadLoopUnlock(_loop); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

  private:
    pw_thread_loop* _loop;
};

// steady_clock is CLOCK_MONOTONIC here, the clock PipeWire's timers run on.
timespec monotonic(Clock::time_point at) {
    const auto since = at.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    return {static_cast<time_t>(seconds.count()),
            static_cast<long>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count())};
}

void armTimer(pw_loop* loop, spa_source* timer, Clock::time_point due) {
    timespec value = monotonic(due);
    pw_loop_update_timer(loop, timer, &value, nullptr, true);
}

void disarmTimer(pw_loop* loop, spa_source* timer) {
    timespec zero{};
    pw_loop_update_timer(loop, timer, &zero, nullptr, false);
}

}  // namespace

struct PipeWireSoundPlayer::Hooks {
    spa_hook core{};
    spa_hook stream{};
    pw_core_events coreEvents{};
    pw_stream_events streamEvents{};

    Hooks() {
        coreEvents.version = PW_VERSION_CORE_EVENTS;
        coreEvents.error = &Hooks::onCoreError;
        streamEvents.version = PW_VERSION_STREAM_EVENTS;
        streamEvents.state_changed = &Hooks::onStreamState;
        streamEvents.process = &Hooks::onProcess;
    }

    static void onCoreError(void* self, std::uint32_t id, int, int res, const char*) {
        // The connection itself broke (the daemon went away): start over on the retry timer.
        if (id == PW_ID_CORE && res == -EPIPE)
            static_cast<PipeWireSoundPlayer*>(self)->retryLaterLocked();
    }

    static void onStreamState(void* self, pw_stream_state, pw_stream_state state, const char*) {
        auto* player = static_cast<PipeWireSoundPlayer*>(self);
        switch (state) {
            case PW_STREAM_STATE_PAUSED:
            case PW_STREAM_STATE_STREAMING:
                player->_playable = true;
                player->_retryDelay = kFirstRetry;
                break;
            case PW_STREAM_STATE_ERROR:
                player->retryLaterLocked();
                break;
            default:
                break;
        }
    }

    // The realtime thread: no allocation, no lock, no system call. Voices started since the last
    // cycle begin at this buffer's first frame, which the graph has not taken yet.
    static void onProcess(void* self) {
        auto* player = static_cast<PipeWireSoundPlayer*>(self);
        pw_buffer* buffer = pw->streamDequeueBuffer(player->_stream);
        if (!buffer) return;
        Mixer& mixer = player->_mixer;
        const std::uint64_t written = player->_written.load(std::memory_order_acquire);
        std::uint64_t taken = player->_taken.load(std::memory_order_relaxed);
        for (; taken < written; ++taken) {
            const Pending& press = player->_pending[taken % kPending];
            mixer.start(press.samples, press.volume, press.voicing);
            player->_voiceOf[taken % kPending] = mixer.lastStarted();
        }
        spa_data& data = buffer->buffer->datas[0];
        if (data.data) {
            const std::size_t wanted =
                buffer->requested ? buffer->requested : player->_options.quantumFrames;
            const std::size_t frames = std::min<std::size_t>(data.maxsize / kFrameBytes, wanted);
            mixer.render(static_cast<float*>(data.data), frames);
            data.chunk->offset = 0;
            data.chunk->stride = kFrameBytes;
            data.chunk->size = static_cast<std::uint32_t>(frames * kFrameBytes);
        }
        pw->streamQueueBuffer(player->_stream, buffer);

        // Only drops references: the samples stay owned by the pending ring until released.
        mixer.releaseFinished();
        std::uint64_t released = player->_released.load(std::memory_order_relaxed);
        const std::uint64_t oldest = mixer.oldestPlaying();
        while (released < taken && player->_voiceOf[released % kPending] < oldest) ++released;
        player->_released.store(released, std::memory_order_release);
        player->_silent.store(mixer.idle(), std::memory_order_relaxed);
        player->_taken.store(taken, std::memory_order_release);
    }

    static void onRetry(void* self, std::uint64_t) {
        auto* player = static_cast<PipeWireSoundPlayer*>(self);
        // Here, not in the failing core's own callback, the old connection can be freed.
        player->disconnectLocked();
        player->connectLocked();
    }

    static void onIdle(void* self, std::uint64_t) {
        auto* player = static_cast<PipeWireSoundPlayer*>(self);
        if (!player->_stream || !player->_active) return;
        const bool allTaken = player->_taken.load(std::memory_order_acquire) ==
                              player->_written.load(std::memory_order_relaxed);
        if (!allTaken || !player->_silent.load(std::memory_order_relaxed)) {
            // Still sounding (a voice outlasted its expected end, or a cycle came late).
            player->armIdleTimerLocked(Clock::now());
            return;
        }
        pw->streamSetActive(player->_stream, false);
        player->_active = false;
        player->dropReleasedLocked();
    }
};

PipeWireSoundPlayer::PipeWireSoundPlayer(Options options)
    : _options(std::move(options)), _hooks(std::make_unique<Hooks>()), _retryDelay(kFirstRetry) {
    _options.quantumFrames = std::clamp<std::uint32_t>(_options.quantumFrames, 32, 2048);
    // Written once only: the realtime threads of players already made read it.
    if (!pw) pw = loadPipeWire();
    if (!pw) return;
    static std::once_flag initialized;
    std::call_once(initialized, [] {
        pw->init(nullptr, nullptr);
        // Quiet, like the rest of the program (a missing RTKit would warn on every start).
        if (!std::getenv("PIPEWIRE_DEBUG")) pw->logSetLevel(SPA_LOG_LEVEL_NONE);
    });
    _loop = pw->threadLoopNew("tapsound-audio", nullptr);
    if (!_loop) return;
    // The client configuration that gives the data thread realtime priority where allowed.
    _context = pw->contextNew(pw->threadLoopGetLoop(_loop),
                              pw->propertiesNew(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    if (!_context || pw->threadLoopStart(_loop) < 0) {
        if (_context) pw->contextDestroy(_context);
        pw->threadLoopDestroy(_loop);
        _context = nullptr;
        _loop = nullptr;
        return;
    }
    LoopLock lock(_loop);
    pw_loop* loop = pw->threadLoopGetLoop(_loop);
    _retry = pw_loop_add_timer(loop, &Hooks::onRetry, this);
    _idle = pw_loop_add_timer(loop, &Hooks::onIdle, this);
    connectLocked();
}

PipeWireSoundPlayer::~PipeWireSoundPlayer() {
    if (!_loop) return;
    {
        LoopLock lock(_loop);
        pw_loop* loop = pw->threadLoopGetLoop(_loop);
        disconnectLocked();
        pw_loop_destroy_source(loop, _retry);
        pw_loop_destroy_source(loop, _idle);
    }
    pw->threadLoopStop(_loop);
    pw->contextDestroy(_context);
    pw->threadLoopDestroy(_loop);
}

bool PipeWireSoundPlayer::canRunHere() {
    const char* remote = std::getenv("PIPEWIRE_REMOTE");
    std::string path = remote && *remote ? remote : "pipewire-0";
    if (path.front() != '/') {
        const char* dir = std::getenv("PIPEWIRE_RUNTIME_DIR");
        if (!dir || !*dir) dir = std::getenv("XDG_RUNTIME_DIR");
        if (!dir || !*dir) return false;
        path = std::string(dir) + "/" + path;
    }
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool answers =
        connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return answers && loadPipeWire();
}

void PipeWireSoundPlayer::connectLocked() {
    pw_properties* properties = pw->propertiesNew(nullptr, nullptr);
    if (!_options.remote.empty())
        pw->propertiesSet(properties, PW_KEY_REMOTE_NAME, _options.remote.c_str());
    _core = pw->contextConnect(_context, properties, 0);
    if (!_core) {
        retryLaterLocked();
        return;
    }
    pw_core_add_listener(_core, &_hooks->core, &_hooks->coreEvents, this);
    createStreamLocked();
}

void PipeWireSoundPlayer::createStreamLocked() {
    const std::string latency =
        std::to_string(_options.quantumFrames) + "/" + std::to_string(SampleBuffer::kSampleRate);
    pw_properties* properties = pw->propertiesNew(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE,
        "Notification", PW_KEY_APP_NAME, "tapsound", PW_KEY_APP_ID, "tapsound",
        PW_KEY_APP_ICON_NAME, "tapsound", PW_KEY_NODE_NAME, "tapsound", PW_KEY_NODE_DESCRIPTION,
        "Key sounds", PW_KEY_NODE_LATENCY, latency.c_str(), nullptr);
    if (!_route.empty()) pw->propertiesSet(properties, PW_KEY_TARGET_OBJECT, _route.c_str());
    _stream = pw->streamNew(_core, "Key sounds", properties);
    if (!_stream) {
        retryLaterLocked();
        return;
    }
    pw->streamAddListener(_stream, &_hooks->stream, &_hooks->streamEvents, this);

    std::uint8_t storage[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_pod* params[] = {buildSoundFormat(builder)};
    // Inactive until the first press: an idle node keeps the graph from nothing.
    const auto flags =
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                     PW_STREAM_FLAG_RT_PROCESS | PW_STREAM_FLAG_INACTIVE);
    if (pw->streamConnect(_stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) < 0)
        retryLaterLocked();
}

void PipeWireSoundPlayer::disconnectLocked() {
    dropStreamLocked();
    if (_core) {
        spa_hook_remove(&_hooks->core);
        pw->coreDisconnect(_core);
        _core = nullptr;
    }
    _failed = false;
}

void PipeWireSoundPlayer::dropStreamLocked() {
    if (_stream) {
        spa_hook_remove(&_hooks->stream);
        pw->streamDestroy(_stream);
        _stream = nullptr;
    }
    disarmTimer(pw->threadLoopGetLoop(_loop), _idle);
    // The realtime thread is gone with the stream: everything it held can go.
    _mixer.reset();
    for (Pending& press : _pending) press = {};
    _written = _taken = _released = 0;
    _dropped = 0;
    _silent = true;
    _active = false;
    _playable = false;
    _playingUntil = {};
}

void PipeWireSoundPlayer::retryLaterLocked() {
    _playable = false;
    if (_failed) return;
    _failed = true;
    armTimer(pw->threadLoopGetLoop(_loop), _retry, Clock::now() + _retryDelay);
    _retryDelay = std::min(_retryDelay * 2, kLastRetry);
}

bool PipeWireSoundPlayer::ready() {
    if (!_loop) return false;
    LoopLock lock(_loop);
    return !_failed && _stream && _playable;
}

bool PipeWireSoundPlayer::active() {
    if (!_loop) return false;
    LoopLock lock(_loop);
    return _active;
}

void PipeWireSoundPlayer::dropReleasedLocked() {
    for (const std::uint64_t released = _released.load(std::memory_order_acquire);
         _dropped < released; ++_dropped) {
        _pending[_dropped % kPending].samples.reset();
    }
}

void PipeWireSoundPlayer::armIdleTimerLocked(Clock::time_point until) {
    _playingUntil = std::max(_playingUntil, until);
    armTimer(pw->threadLoopGetLoop(_loop), _idle, _playingUntil + _options.linger);
}

bool PipeWireSoundPlayer::start(std::shared_ptr<const SampleBuffer> samples, float volume) {
    return startVoiced(std::move(samples), volume, Voicing{});
}

bool PipeWireSoundPlayer::startVoiced(std::shared_ptr<const SampleBuffer> samples, float volume,
                                      const Voicing& voicing) {
    if (!_loop || !samples) return false;
    LoopLock lock(_loop);
    if (_failed) {
        // Someone is typing: look for the daemon now rather than at the next retry.
        armTimer(pw->threadLoopGetLoop(_loop), _retry, Clock::now());
        return false;
    }
    if (!_stream || !_playable) return false;
    // Started, silently: nothing for the graph to wake up for.
    if (!std::isfinite(volume) || volume <= 0.0f || samples->frameCount() == 0) return true;
    dropReleasedLocked();
    const std::uint64_t written = _written.load(std::memory_order_relaxed);
    if (written - _dropped >= kPending) return false;
    const auto length =
        std::chrono::microseconds(samples->frameCount() * 1000000 / SampleBuffer::kSampleRate);
    _pending[written % kPending] = {std::move(samples), volume, voicing};
    _written.store(written + 1, std::memory_order_release);
    if (!_active) {
        pw->streamSetActive(_stream, true);
        _active = true;
    }
    armIdleTimerLocked(Clock::now() + length);
    return true;
}

void PipeWireSoundPlayer::routeTo(const std::string& output) {
    if (!_loop) return;
    LoopLock lock(_loop);
    if (output == _route) return;
    _route = output;
    rerouteLocked();
}

// A node with no target follows the default as the session manager changes it; one aimed at an
// output stays there. So the node is made again with its new target.
void PipeWireSoundPlayer::rerouteLocked() {
    if (!_stream || !_core || _failed) return;
    dropStreamLocked();
    createStreamLocked();
}

const spa_pod* buildSoundFormat(spa_pod_builder& builder) {
    spa_audio_info_raw format{};
    format.format = SPA_AUDIO_FORMAT_F32;
    format.rate = SampleBuffer::kSampleRate;
    format.channels = SampleBuffer::kChannels;
    format.position[0] = SPA_AUDIO_CHANNEL_FL;
    format.position[1] = SPA_AUDIO_CHANNEL_FR;
    return spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &format);
}

}  // namespace tapsound::platform
