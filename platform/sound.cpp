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

bool Sound::play(const Voicing& voicing) const {
    if (!_player || !_samples) return false;
    if (voicing.plain()) return _player->start(_samples, _volume);
    return _player->startVoiced(_samples, _volume, voicing);
}

Sound Sound::withSamples(std::shared_ptr<const SampleBuffer> samples) const {
    Sound copy(std::move(samples), _player);
    copy._volume = _volume;
    return copy;
}

LoadBudget::LoadBudget(std::size_t bytes, std::function<bool()> stopped)
    : _limit(bytes),
      // Reading a file costs more than keeping what it decodes to: a set may read samples worth
      // twice its memory as 48 kHz stereo, and no more, however many or heavy its files.
      _workLimit(bytes / sizeof(float) * 2),
      _stopped(std::move(stopped)) {}

bool LoadBudget::take(std::size_t bytes) {
    if (stopped()) return false;
    if (_spent.fetch_add(bytes) + bytes <= _limit && bytes <= _limit) return true;
    _spent -= bytes;
    return false;
}

void LoadBudget::giveBack(std::size_t bytes) { _spent -= bytes; }

bool LoadBudget::affords(std::size_t samples) const {
    return !stopped() && samples <= _workLimit && _worked + samples <= _workLimit;
}

bool LoadBudget::work(std::size_t samples) {
    if (stopped()) return false;
    return _worked.fetch_add(samples) + samples <= _workLimit && samples <= _workLimit;
}

namespace {

std::vector<std::shared_ptr<const Sound>> cutSlices(const std::shared_ptr<const Sound>& whole,
                                                    const std::vector<SoundSlice>& slices,
                                                    LoadBudget& budget) {
    std::vector<std::shared_ptr<const Sound>> cut(slices.size());
    if (!whole || !whole->samples()) return cut;
    const std::vector<float>& samples = whole->samples()->samples;
    constexpr double kFramesPerMs = SampleBuffer::kSampleRate / 1000.0;
    const double frames = static_cast<double>(samples.size() / SampleBuffer::kChannels);
    for (std::size_t i = 0; i < slices.size(); ++i) {
        const double start = std::floor(slices[i].startMs * kFramesPerMs);
        const double end = std::fmin(frames, start + std::floor(slices[i].durationMs * kFramesPerMs));
        if (!(start >= 0 && start < end && slices[i].durationMs > 0)) continue;
        if (!budget.take(static_cast<std::size_t>(end - start) * 2 * sizeof(float))) continue;
        auto buffer = std::make_shared<SampleBuffer>();
        buffer->samples.assign(samples.begin() + static_cast<std::ptrdiff_t>(start) * 2,
                               samples.begin() + static_cast<std::ptrdiff_t>(end) * 2);
        cut[i] = std::make_shared<const Sound>(whole->withSamples(std::move(buffer)));
    }
    // The whole sound is let go here.
    budget.giveBack(samples.size() * sizeof(float));
    return cut;
}

}  // namespace

std::shared_ptr<const Sound> SoundLoader::initWithData(std::span<const std::uint8_t>,
                                                       const std::string&, LoadBudget&) {
    return nullptr;
}

std::vector<std::shared_ptr<const Sound>> SoundLoader::slicesWithContentsOfFile(
    const std::string& path, const std::vector<SoundSlice>& slices, LoadBudget& budget) {
    return cutSlices(initWithContentsOfFile(path, budget), slices, budget);
}

std::vector<std::shared_ptr<const Sound>> SoundLoader::slicesWithData(
    std::span<const std::uint8_t> bytes, const std::string& name,
    const std::vector<SoundSlice>& slices, LoadBudget& budget) {
    return cutSlices(initWithData(bytes, name, budget), slices, budget);
}

}  // namespace tapsound::platform
