#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/sound.h"

namespace tapsound::platform {

// Keystroke sounds are short: a file longer than this is not one, and is refused before its
// samples are read.
inline constexpr double kMaxSoundSeconds = 30.0;

// Decodes a sound file into the mixer's format (48 kHz stereo float); nothing when the file is
// not a readable sound, holds no frames, runs longer than kMaxSoundSeconds, or cannot be paid for
// by the budget, which keeps what a result holds. A stopped budget ends the decoding within a
// chunk of the file.
std::optional<SampleBuffer> decodeSoundFile(const std::string& path, LoadBudget& budget);
// The same for a sound file held in memory.
std::optional<SampleBuffer> decodeSoundData(std::span<const std::uint8_t> bytes,
                                            LoadBudget& budget);

// A sprite, one long file that packs every key's sound, may run this long; only its slices are
// decoded, each at most kMaxSoundSeconds.
inline constexpr double kMaxSpriteSeconds = 600.0;
// One result per slice; nothing for a slice past the end of the sound or that cannot be read, and
// for every slice when the file is not a readable sound or runs longer than kMaxSpriteSeconds.
std::vector<std::optional<SampleBuffer>> decodeSoundFileSlices(
    const std::string& path, const std::vector<SoundSlice>& slices, LoadBudget& budget);
std::vector<std::optional<SampleBuffer>> decodeSoundDataSlices(
    std::span<const std::uint8_t> bytes, const std::vector<SoundSlice>& slices, LoadBudget& budget);

class SndfileSoundLoader : public SoundLoader {
public:
    explicit SndfileSoundLoader(std::shared_ptr<SoundPlayer> player);
    std::shared_ptr<const Sound> initWithContentsOfFile(const std::string& path,
                                                        LoadBudget& budget) override;
    std::vector<std::string> soundUnfilteredTypes() const override;
    std::shared_ptr<const Sound> initWithData(std::span<const std::uint8_t> bytes,
                                              const std::string& name, LoadBudget& budget) override;
    std::vector<std::shared_ptr<const Sound>> slicesWithContentsOfFile(
        const std::string& path, const std::vector<SoundSlice>& slices,
        LoadBudget& budget) override;
    std::vector<std::shared_ptr<const Sound>> slicesWithData(std::span<const std::uint8_t> bytes,
                                                             const std::string& name,
                                                             const std::vector<SoundSlice>& slices,
                                                             LoadBudget& budget) override;

  private:
    std::shared_ptr<const Sound> made(std::optional<SampleBuffer> decoded) const;
    std::shared_ptr<SoundPlayer> _player;
};

}  // namespace tapsound::platform
