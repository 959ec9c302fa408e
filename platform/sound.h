#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace tapsound::platform {

// Decoded audio in the mixer's format, made once at load and never changed.
struct SampleBuffer {
    static constexpr int kSampleRate = 48000;
    static constexpr int kChannels = 2;
    std::vector<float> samples;  // interleaved left, right
    std::size_t frameCount() const { return samples.size() / kChannels; }
};

// How one press is played beyond its volume: where it sits between the speakers, and how fast
// and how loud against the sound as recorded. The default plays it exactly as recorded.
struct Voicing {
    float pan = 0.0f;    // -1 left .. 1 right, equal power
    float rate = 1.0f;   // playback speed, which moves the pitch with it
    float level = 1.0f;  // gain on top of the volume
    bool plain() const { return pan == 0.0f && rate == 1.0f && level == 1.0f; }
};

// What actually makes a started sound heard: the audio engine, or a recorder in tests.
class SoundPlayer {
public:
    virtual ~SoundPlayer() = default;
    // Never blocks; false when the sound could not be started.
    virtual bool start(std::shared_ptr<const SampleBuffer> samples, float volume) = 0;
    // The same, placed and varied; a player that cannot place sounds plays them as recorded.
    virtual bool startVoiced(std::shared_ptr<const SampleBuffer> samples, float volume,
                             const Voicing&) {
        return start(std::move(samples), volume);
    }
    // Sends what follows to the output of this stable name; empty for the server's default.
    virtual void routeTo(const std::string&) {}
};

// A playable sound. Copying it is cheap: the samples are shared, the volume is the copy's own.
class Sound {
public:
    Sound(std::shared_ptr<const SampleBuffer> samples, std::shared_ptr<SoundPlayer> player);

    // Kept within 0..1 so a stray stored volume cannot blast the speakers; NaN plays silently.
    void setVolume(float volume);
    float volume() const { return _volume; }
    bool play() const;
    bool play(const Voicing& voicing) const;
    const std::shared_ptr<const SampleBuffer>& samples() const { return _samples; }
    // The same sound playing other samples, such as a stretch of its own.
    Sound withSamples(std::shared_ptr<const SampleBuffer> samples) const;

private:
    std::shared_ptr<const SampleBuffer> _samples;
    std::shared_ptr<SoundPlayer> _player;
    float _volume = 1.0f;
};

// A stretch of a longer sound, in milliseconds from its start.
struct SoundSlice {
    double startMs = 0;
    double durationMs = 0;
    auto operator<=>(const SoundSlice&) const = default;
};

// What one set's load may still spend, shared by the threads that read it: memory within the
// set's limit and decoding work within a bound, each taken before the work it pays for, and a stop
// polled between chunks, so a load that is no longer wanted ends soon.
class LoadBudget {
  public:
    explicit LoadBudget(std::size_t bytes = SIZE_MAX, std::function<bool()> stopped = {});
    // True, and counted, when the bytes fit in what is left and the load goes on.
    bool take(std::size_t bytes);
    void giveBack(std::size_t bytes);
    // The same for samples read from the sound files, decoded or skipped over; `affords` only
    // tells whether they would fit.
    bool work(std::size_t samples);
    bool affords(std::size_t samples) const;
    bool stopped() const { return _stopped && _stopped(); }
    std::size_t spent() const { return _spent; }
    std::size_t worked() const { return _worked; }

  private:
    const std::size_t _limit;
    const std::size_t _workLimit;
    std::atomic<std::size_t> _spent{0}, _worked{0};
    std::function<bool()> _stopped;
};

// Creates a playable sound from a file path, or reports that it cannot. What a sound it returns
// holds is taken from the budget and stays taken.
class SoundLoader {
public:
    virtual ~SoundLoader() = default;
    virtual std::shared_ptr<const Sound> initWithContentsOfFile(const std::string& path,
                                                                LoadBudget& budget) = 0;
    // File name extensions (without dot) of the formats it reads, for the open dialog.
    virtual std::vector<std::string> soundUnfilteredTypes() const = 0;

    // A sound held in memory, as read from an archive; `name` is its file name there. Nothing by
    // default: a loader that reads only files opens no archived sound.
    virtual std::shared_ptr<const Sound> initWithData(std::span<const std::uint8_t> bytes,
                                                      const std::string& name, LoadBudget& budget);
    // Stretches of one long sound (a sprite), one result per slice, nothing where a slice cannot
    // be read. By default the whole sound is loaded and cut.
    virtual std::vector<std::shared_ptr<const Sound>> slicesWithContentsOfFile(
        const std::string& path, const std::vector<SoundSlice>& slices, LoadBudget& budget);
    virtual std::vector<std::shared_ptr<const Sound>> slicesWithData(
        std::span<const std::uint8_t> bytes, const std::string& name,
        const std::vector<SoundSlice>& slices, LoadBudget& budget);
};

}  // namespace tapsound::platform
