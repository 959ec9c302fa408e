#include "platform/sound_file.h"

#include <fcntl.h>
#include <sndfile.h>
#include <soxr.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace tapsound::platform {

namespace {

constexpr int kMaxChannels = 64;
constexpr int kMaxSampleRate = 384000;
constexpr sf_count_t kChunkFrames = 4096;

// Interleaved input of any channel count, appended as stereo: more channels fold their even and odd
// members into left and right. Mono stays mono here, so resampling costs half; widen() doubles it.
void appendStereo(const float* input, std::size_t frames, int channels, std::vector<float>& stereo) {
    for (std::size_t f = 0; f < frames; ++f) {
        const float* in = input + f * static_cast<std::size_t>(channels);
        float left = 0, right = 0;
        if (channels == 1) {
            stereo.push_back(std::isfinite(in[0]) ? std::clamp(in[0], -1.0f, 1.0f) : 0.0f);
            continue;
        } else {
            int leftCount = 0, rightCount = 0;
            for (int c = 0; c < channels; ++c) {
                if (c % 2 == 0) {
                    left += in[c];
                    ++leftCount;
                } else {
                    right += in[c];
                    ++rightCount;
                }
            }
            left /= static_cast<float>(leftCount);
            right /= static_cast<float>(rightCount);
        }
        stereo.push_back(std::isfinite(left) ? std::clamp(left, -1.0f, 1.0f) : 0.0f);
        stereo.push_back(std::isfinite(right) ? std::clamp(right, -1.0f, 1.0f) : 0.0f);
    }
}

std::vector<float> widen(const std::vector<float>& mono) {
    std::vector<float> stereo(mono.size() * 2);
    for (std::size_t i = 0; i < mono.size(); ++i) stereo[2 * i] = stereo[2 * i + 1] = mono[i];
    return stereo;
}

std::optional<std::vector<float>> resample(std::vector<float>& samples, unsigned channels, double fromRate) {
    if (fromRate == SampleBuffer::kSampleRate) return std::move(samples);
    const std::size_t inFrames = samples.size() / channels;
    const std::size_t outCapacity =
        static_cast<std::size_t>(std::ceil(inFrames * SampleBuffer::kSampleRate / fromRate)) + 64;
    std::vector<float> out(outCapacity * channels);
    std::size_t done = 0;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    const soxr_error_t error = soxr_oneshot(fromRate, SampleBuffer::kSampleRate, channels, samples.data(),
                                            inFrames, nullptr, out.data(), outCapacity, &done, &io,
                                            &quality, nullptr);
    if (error) return std::nullopt;
    out.resize(done * channels);
    return out;
}

}  // namespace

std::optional<SampleBuffer> decodeSoundFile(const std::string& path) {
    // Only regular files: a FIFO or a device would block or never end.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) {
        ::close(fd);
        return std::nullopt;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    SF_INFO info{};
    SNDFILE* file = sf_open_fd(fd, SFM_READ, &info, SF_TRUE);
    if (!file) return std::nullopt;
    std::optional<SampleBuffer> result;
    if (info.channels >= 1 && info.channels <= kMaxChannels && info.samplerate > 0 &&
        info.samplerate <= kMaxSampleRate) {
        const auto maxFrames = static_cast<sf_count_t>(kMaxSoundSeconds * info.samplerate);
        // The header's frame count is only a claim; the chunked read below is what counts.
        if (info.frames <= maxFrames) {
            std::vector<float> stereo;
            std::vector<float> chunk(static_cast<std::size_t>(kChunkFrames * info.channels));
            sf_count_t total = 0;
            bool tooLong = false;
            while (true) {
                const sf_count_t got = sf_readf_float(file, chunk.data(), kChunkFrames);
                if (got <= 0) break;
                total += got;
                if (total > maxFrames) {
                    tooLong = true;
                    break;
                }
                appendStereo(chunk.data(), static_cast<std::size_t>(got), info.channels, stereo);
            }
            if (!tooLong && total > 0) {
                const unsigned channels = info.channels == 1 ? 1 : 2;
                auto resampled = resample(stereo, channels, info.samplerate);
                if (resampled && !resampled->empty()) {
                    result.emplace();
                    result->samples = channels == 1 ? widen(*resampled) : std::move(*resampled);
                }
            }
        }
    }
    sf_close(file);
    return result;
}

SndfileSoundLoader::SndfileSoundLoader(std::shared_ptr<SoundPlayer> player)
    : _player(std::move(player)) {}

std::shared_ptr<const Sound> SndfileSoundLoader::initWithContentsOfFile(const std::string& path) {
    auto decoded = decodeSoundFile(path);
    if (!decoded) return nullptr;
    return std::make_shared<const Sound>(
        std::make_shared<const SampleBuffer>(std::move(*decoded)), _player);
}

std::vector<std::string> SndfileSoundLoader::soundUnfilteredTypes() const {
    std::vector<std::string> types;
    int count = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof count);
    for (int i = 0; i < count; ++i) {
        SF_FORMAT_INFO format{};
        format.format = i;
        if (sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &format, sizeof format) != 0) continue;
        if (format.extension && *format.extension) types.emplace_back(format.extension);
    }
    for (const char* alias : {"wav", "aif", "aiff", "aifc", "caf", "flac", "ogg", "oga", "opus", "mp3"}) {
        if (std::find(types.begin(), types.end(), alias) == types.end()) types.emplace_back(alias);
    }
    return types;
}

}  // namespace tapsound::platform
