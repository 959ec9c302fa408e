#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace tapsound::platform {

// Decoded audio in the mixer's format, made once at load and never changed.
struct SampleBuffer {
    static constexpr int kSampleRate = 48000;
    static constexpr int kChannels = 2;
    std::vector<float> samples;  // interleaved left, right
    std::size_t frameCount() const { return samples.size() / kChannels; }
};

// What actually makes a started sound heard: the audio engine, or a recorder in tests.
class SoundPlayer {
public:
    virtual ~SoundPlayer() = default;
    // Never blocks; false when the sound could not be started.
    virtual bool start(std::shared_ptr<const SampleBuffer> samples, float volume) = 0;
};

// A playable sound. Copying it is cheap: the samples are shared, the volume is the copy's own.
class Sound {
public:
    Sound(std::shared_ptr<const SampleBuffer> samples, std::shared_ptr<SoundPlayer> player);

    // Kept within 0..1 so a stray stored volume cannot blast the speakers; NaN plays silently.
    void setVolume(float volume);
    float volume() const { return _volume; }
    bool play() const;
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

// Creates a playable sound from a file path, or reports that it cannot.
class SoundLoader {
public:
    virtual ~SoundLoader() = default;
    virtual std::shared_ptr<const Sound> initWithContentsOfFile(const std::string& path) = 0;
    // File name extensions (without dot) of the formats it reads, for the open dialog.
    virtual std::vector<std::string> soundUnfilteredTypes() const = 0;

    // A sound held in memory, as read from an archive; `name` is its file name there. Nothing by
    // default: a loader that reads only files opens no archived sound.
    virtual std::shared_ptr<const Sound> initWithData(std::span<const std::uint8_t> bytes,
                                                      const std::string& name);
    // Stretches of one long sound (a sprite), one result per slice, nothing where a slice cannot
    // be read. By default the whole sound is loaded and cut.
    virtual std::vector<std::shared_ptr<const Sound>> slicesWithContentsOfFile(
        const std::string& path, const std::vector<SoundSlice>& slices);
    virtual std::vector<std::shared_ptr<const Sound>> slicesWithData(
        std::span<const std::uint8_t> bytes, const std::string& name,
        const std::vector<SoundSlice>& slices);
};

}  // namespace tapsound::platform
