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

}  // namespace tapsound::platform
