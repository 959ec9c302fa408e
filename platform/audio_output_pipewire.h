#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/mixer.h"
#include "platform/sound.h"

struct pw_context;
struct pw_core;
struct pw_stream;
struct pw_thread_loop;
struct spa_pod;
struct spa_pod_builder;
struct spa_source;

namespace tapsound::platform {

// Plays started sounds through a PipeWire daemon, as a node of its graph.
//
// The node asks for a small quantum and mixes one quantum at a time on PipeWire's realtime
// thread, so a press is heard from the next cycle with nothing queued ahead of it and nothing
// already taken by the graph to rewrite. A moment after the last voice ends the node goes
// inactive: the graph stops running for it and the sink may suspend.
//
// Presses reach the realtime thread through a lock-free ring; their samples stay owned here until
// that thread reports their voices finished, so it never frees memory.
//
// A daemon that is missing or goes away is looked for again on a timer that runs only while
// disconnected.
class PipeWireSoundPlayer : public SoundPlayer {
  public:
    struct Options {
        std::string remote;                // empty: the default daemon
        std::uint32_t quantumFrames = 64;  // asked for while playing
        // Idle this long before the node goes inactive: longer than most gaps between presses
        // while typing, so a burst stays at the typing latency; a pause costs one activation.
        std::chrono::milliseconds linger{300};
    };

    PipeWireSoundPlayer() : PipeWireSoundPlayer(Options{}) {}
    explicit PipeWireSoundPlayer(Options options);
    ~PipeWireSoundPlayer() override;
    PipeWireSoundPlayer(const PipeWireSoundPlayer&) = delete;
    PipeWireSoundPlayer& operator=(const PipeWireSoundPlayer&) = delete;

    bool start(std::shared_ptr<const SampleBuffer> samples, float volume) override;
    bool startVoiced(std::shared_ptr<const SampleBuffer> samples, float volume,
                     const Voicing& voicing) override;
    // Moves the node: it is made again aimed at that output, or at the default when empty.
    void routeTo(const std::string& output) override;

    // True while a daemon answers on the default socket (or PIPEWIRE_REMOTE's).
    static bool canRunHere();
    // Connected, the stream linked and able to play; for tests and benchmarks.
    bool ready();
    // The node is active: a voice plays or ended less than the linger ago.
    bool active();

  private:
    static constexpr std::size_t kPending = 256;
    using Pending = PendingPress;

    void connectLocked();
    void disconnectLocked();
    // Destroys the stream and forgets what it played; the connection stays.
    void dropStreamLocked();
    void retryLaterLocked();
    void createStreamLocked();
    void dropReleasedLocked();
    void armIdleTimerLocked(std::chrono::steady_clock::time_point until);
    void rerouteLocked();

    Options _options;
    pw_thread_loop* _loop = nullptr;
    pw_context* _context = nullptr;
    pw_core* _core = nullptr;
    pw_stream* _stream = nullptr;
    spa_source* _retry = nullptr;  // armed only while disconnected
    spa_source* _idle = nullptr;   // armed only while active
    struct Hooks;                  // listeners and callbacks, where the PipeWire types are known
    std::unique_ptr<Hooks> _hooks;
    std::chrono::milliseconds _retryDelay;
    bool _failed = false;
    bool _active = false;
    bool _playable = false;
    std::chrono::steady_clock::time_point _playingUntil;

    // Written here, read by the realtime thread once published through _written.
    std::array<Pending, kPending> _pending;
    std::uint64_t _dropped = 0;  // pending entries whose samples this side let go
    std::atomic<std::uint64_t> _written{0};
    // The realtime thread's side.
    std::atomic<std::uint64_t> _taken{0};
    std::atomic<std::uint64_t> _released{0};  // entries whose voices finished
    std::atomic<bool> _silent{true};          // nothing played in the last cycle
    std::array<std::uint64_t, kPending> _voiceOf{};
    Mixer _mixer;
    std::string _route;  // the output the node is aimed at; empty for the default
};

// The one format every stream here plays or records: 48 kHz stereo float, the mixer's own.
const spa_pod* buildSoundFormat(spa_pod_builder& builder);

}  // namespace tapsound::platform
