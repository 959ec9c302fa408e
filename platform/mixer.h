#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/sound.h"

namespace tapsound::platform {

// A press on its way from the caller's thread to the one that mixes.
struct PendingPress {
    std::shared_ptr<const SampleBuffer> samples;
    float volume = 0.0f;
    Voicing voicing;
};

// Sums playing voices into 48 kHz stereo float frames. Pure: no device, no clock, no locks.
//
// It remembers the unclipped sum of the last frames it rendered, so a voice started late can
// be mixed into audio that was already rendered (and maybe queued at the server but not yet
// played): insert() hands back that span rewritten with the new voice in it.
// Nothing here allocates after construction.
class Mixer {
public:
    static constexpr std::size_t kMaxVoices = 64;      // voices heard at once
    static constexpr std::size_t kFadeSlots = 16;      // extra slots for voices fading out
    static constexpr std::size_t kFadeFrames = 240;    // 5 ms
    static constexpr std::size_t kHistoryFrames = 8192;
    static constexpr int kChannels = SampleBuffer::kChannels;

    Mixer();

    // Playback speeds a voice may take; beyond them a voicing's rate is held at the bound.
    static constexpr float kMinRate = 0.5f;
    static constexpr float kMaxRate = 2.0f;

    // Starts a voice at the current render position.
    void start(std::shared_ptr<const SampleBuffer> samples, float gain);
    // The same, panned and resampled as the voicing asks while it plays.
    void start(std::shared_ptr<const SampleBuffer> samples, float gain, const Voicing& voicing);

    // Starts a voice `backFrames` before the current render position (at most what was rendered
    // and kept). Writes the rewritten, clipped last `backFrames` frames to `out` and returns how
    // many it wrote; later render() calls continue the voice from there.
    std::size_t insert(std::shared_ptr<const SampleBuffer> samples, float gain, std::size_t backFrames,
                       float* out);
    std::size_t insert(std::shared_ptr<const SampleBuffer> samples, float gain, const Voicing& voicing,
                       std::size_t backFrames, float* out);

    // Renders the next `frames` frames (interleaved) into `out`. Silence when nothing plays.
    void render(float* out, std::size_t frames);

    bool idle() const { return _playing == 0; }
    // Voices are numbered from 1 as they start; every voice numbered below oldestPlaying() has
    // finished (after releaseFinished(), the mixer holds none of their samples either).
    std::uint64_t lastStarted() const { return _nextSerial - 1; }
    std::uint64_t oldestPlaying() const;
    std::size_t playingVoices() const { return _playing; }
    // Frames rendered and still kept for a later insert().
    std::size_t historyFrames() const { return _historyFill; }

    // Drops the references of finished voices. Call where freeing memory is allowed.
    void releaseFinished();
    // Silences every voice at once and forgets what was rendered (the output was lost).
    void reset();

private:
    struct Voice {
        std::shared_ptr<const SampleBuffer> keep;
        const float* data = nullptr;
        std::size_t frames = 0;
        std::size_t position = 0;
        float gain = 0.0f;
        std::size_t fadeLeft = 0;  // frames of fade-out still to go; 0 = not fading
        std::uint64_t serial = 0;
        bool active = false;
        // Placed or varied voices only; the others keep the plain path, sample for sample.
        bool voiced = false;
        float left = 0.0f, right = 0.0f;  // gain and pan, per channel
        double step = 1.0;                 // source frames per output frame
        double fraction = 0.0;             // between `position` and the next source frame
    };

    Voice* takeSlot();
    static void mixVoice(Voice& voice, float* sum, std::size_t frames);
    static void mixVoicedVoice(Voice& voice, float* sum, std::size_t frames);
    void keepHistory(const float* sum, std::size_t frames);
    static void clip(const float* sum, float* out, std::size_t samples);

    std::array<Voice, kMaxVoices + kFadeSlots> _voices;
    std::size_t _playing = 0;
    std::uint64_t _nextSerial = 1;
    std::vector<float> _history;  // ring of unclipped sums, kHistoryFrames frames
    std::size_t _historyEnd = 0;  // frame index in the ring just past the newest frame
    std::size_t _historyFill = 0;
    std::vector<float> _scratch;
};

}  // namespace tapsound::platform
