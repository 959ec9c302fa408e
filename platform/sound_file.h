#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/sound.h"

namespace tapsound::platform {

// Keystroke sounds are short: a file longer than this is not one, and is refused before its
// samples are read.
inline constexpr double kMaxSoundSeconds = 30.0;

// Decodes a sound file into the mixer's format (48 kHz stereo float); nothing when the file is
// not a readable sound, holds no frames, or runs longer than kMaxSoundSeconds.
std::optional<SampleBuffer> decodeSoundFile(const std::string& path);

class SndfileSoundLoader : public SoundLoader {
public:
    explicit SndfileSoundLoader(std::shared_ptr<SoundPlayer> player);
    std::shared_ptr<const Sound> initWithContentsOfFile(const std::string& path) override;
    std::vector<std::string> soundUnfilteredTypes() const override;

private:
    std::shared_ptr<SoundPlayer> _player;
};

}  // namespace tapsound::platform
