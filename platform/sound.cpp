#include "platform/sound.h"

#include <cmath>
#include <utility>

namespace tapsound::platform {

Sound::Sound(std::shared_ptr<const SampleBuffer> samples, std::shared_ptr<SoundPlayer> player)
    : _samples(std::move(samples)), _player(std::move(player)) {}

void Sound::setVolume(float volume) {
    if (!std::isfinite(volume)) {
        _volume = 0.0f;
    } else {
        _volume = std::fmin(std::fmax(volume, 0.0f), 1.0f);
    }
}

bool Sound::play() const {
    if (!_player || !_samples) return false;
    return _player->start(_samples, _volume);
}

Sound Sound::withSamples(std::shared_ptr<const SampleBuffer> samples) const {
    Sound copy(std::move(samples), _player);
    copy._volume = _volume;
    return copy;
}

namespace {

std::vector<std::shared_ptr<const Sound>> cutSlices(const std::shared_ptr<const Sound>& whole,
                                                    const std::vector<SoundSlice>& slices) {
    std::vector<std::shared_ptr<const Sound>> cut(slices.size());
    if (!whole || !whole->samples()) return cut;
    const std::vector<float>& samples = whole->samples()->samples;
    constexpr double kFramesPerMs = SampleBuffer::kSampleRate / 1000.0;
    const double frames = static_cast<double>(samples.size() / SampleBuffer::kChannels);
    for (std::size_t i = 0; i < slices.size(); ++i) {
        const double start = std::floor(slices[i].startMs * kFramesPerMs);
        const double end = std::fmin(frames, start + std::floor(slices[i].durationMs * kFramesPerMs));
        if (!(start >= 0 && start < end && slices[i].durationMs > 0)) continue;
        auto buffer = std::make_shared<SampleBuffer>();
        buffer->samples.assign(samples.begin() + static_cast<std::ptrdiff_t>(start) * 2,
                               samples.begin() + static_cast<std::ptrdiff_t>(end) * 2);
        cut[i] = std::make_shared<const Sound>(whole->withSamples(std::move(buffer)));
    }
    return cut;
}

}  // namespace

std::shared_ptr<const Sound> SoundLoader::initWithData(std::span<const std::uint8_t>,
                                                       const std::string&) {
    return nullptr;
}

std::vector<std::shared_ptr<const Sound>> SoundLoader::slicesWithContentsOfFile(
    const std::string& path, const std::vector<SoundSlice>& slices) {
    return cutSlices(initWithContentsOfFile(path), slices);
}

std::vector<std::shared_ptr<const Sound>> SoundLoader::slicesWithData(
    std::span<const std::uint8_t> bytes, const std::string& name,
    const std::vector<SoundSlice>& slices) {
    return cutSlices(initWithData(bytes, name), slices);
}

}  // namespace tapsound::platform
