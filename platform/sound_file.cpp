#include "platform/sound_file.h"

#include <fcntl.h>
#include <sndfile.h>
#include <soxr.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

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

// libsndfile reading bytes in memory.
struct MemoryStream {
    std::span<const std::uint8_t> bytes;
    sf_count_t position = 0;
    sf_count_t size() const { return static_cast<sf_count_t>(bytes.size()); }
};

sf_count_t memoryLength(void* user) { return static_cast<MemoryStream*>(user)->size(); }

sf_count_t memorySeek(sf_count_t offset, int whence, void* user) {
    auto& stream = *static_cast<MemoryStream*>(user);
    const sf_count_t base = whence == SEEK_CUR ? stream.position
                            : whence == SEEK_END ? stream.size()
                                                 : 0;
    // Kept within the bytes, whatever a corrupt header asks for.
    if (offset < -base || offset > stream.size() - base) return -1;
    stream.position = base + offset;
    return stream.position;
}

sf_count_t memoryRead(void* out, sf_count_t count, void* user) {
    auto& stream = *static_cast<MemoryStream*>(user);
    const sf_count_t n = std::clamp<sf_count_t>(count, 0, stream.size() - stream.position);
    if (n > 0) std::memcpy(out, stream.bytes.data() + stream.position, static_cast<std::size_t>(n));
    stream.position += n;
    return n;
}

sf_count_t memoryWrite(const void*, sf_count_t, void*) { return 0; }

sf_count_t memoryTell(void* user) { return static_cast<MemoryStream*>(user)->position; }

// An open sound, from a regular file or from memory, closed with the object.
class OpenSound {
public:
    explicit OpenSound(const std::string& path) {
        // Only regular files: a FIFO or a device would block or never end.
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return;
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) {
            ::close(fd);
            return;
        }
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        _file = sf_open_fd(fd, SFM_READ, &info, SF_TRUE);
    }
    explicit OpenSound(std::span<const std::uint8_t> bytes) : _stream{bytes} {
        if (bytes.empty()) return;
        SF_VIRTUAL_IO io{memoryLength, memorySeek, memoryRead, memoryWrite, memoryTell};
        _file = sf_open_virtual(&io, SFM_READ, &info, &_stream);
    }
    ~OpenSound() {
        if (_file) sf_close(_file);
    }
    OpenSound(const OpenSound&) = delete;
    OpenSound& operator=(const OpenSound&) = delete;

    // Open, and of a shape the mixer can take.
    bool usable() const {
        return _file && info.channels >= 1 && info.channels <= kMaxChannels &&
               info.samplerate > 0 && info.samplerate <= kMaxSampleRate;
    }
    // Mono stays mono until the end, so resampling costs half.
    unsigned foldedChannels() const { return info.channels == 1 ? 1 : 2; }

    // Reads up to `frames` frames onward, appended folded to `out` unless it is null; the frames
    // read.
    sf_count_t read(sf_count_t frames, std::vector<float>* out) {
        std::vector<float> chunk(static_cast<std::size_t>(kChunkFrames * info.channels));
        sf_count_t total = 0;
        while (total < frames) {
            const sf_count_t got =
                sf_readf_float(_file, chunk.data(), std::min(kChunkFrames, frames - total));
            if (got <= 0) break;
            total += got;
            if (out) appendStereo(chunk.data(), static_cast<std::size_t>(got), info.channels, *out);
        }
        return total;
    }
    bool seek(sf_count_t frame) { return sf_seek(_file, frame, SEEK_SET) == frame; }
    // libsndfile finds a frame exactly where every frame has its own place (PCM) or through
    // FLAC's sample-exact seek; in Vorbis and MP3 its seek lands whole blocks away from the frame
    // asked for, so those are only read forward, from the start when they must go back.
    bool seeksExactly() const {
        const int major = info.format & SF_FORMAT_TYPEMASK;
        if (major == SF_FORMAT_OGG || major == SF_FORMAT_MPEG) return false;
        if (major == SF_FORMAT_FLAC) return true;
        switch (info.format & SF_FORMAT_SUBMASK) {
            case SF_FORMAT_PCM_S8: case SF_FORMAT_PCM_U8: case SF_FORMAT_PCM_16:
            case SF_FORMAT_PCM_24: case SF_FORMAT_PCM_32: case SF_FORMAT_FLOAT:
            case SF_FORMAT_DOUBLE: case SF_FORMAT_ULAW: case SF_FORMAT_ALAW:
                return true;
            default:
                return false;
        }
    }

    SF_INFO info{};

private:
    MemoryStream _stream;
    SNDFILE* _file = nullptr;
};

std::optional<SampleBuffer> finished(std::vector<float>& folded, unsigned channels, double rate) {
    if (folded.empty()) return std::nullopt;
    auto resampled = resample(folded, channels, rate);
    if (!resampled || resampled->empty()) return std::nullopt;
    std::optional<SampleBuffer> result(std::in_place);
    result->samples = channels == 1 ? widen(*resampled) : std::move(*resampled);
    return result;
}

std::optional<SampleBuffer> decodeWhole(OpenSound& sound) {
    if (!sound.usable()) return std::nullopt;
    const auto maxFrames = static_cast<sf_count_t>(kMaxSoundSeconds * sound.info.samplerate);
    // The header's frame count is only a claim; the bounded read below is what counts.
    if (sound.info.frames > maxFrames) return std::nullopt;
    std::vector<float> folded;
    if (sound.read(maxFrames + 1, &folded) > maxFrames) return std::nullopt;
    return finished(folded, sound.foldedChannels(), sound.info.samplerate);
}

std::vector<std::optional<SampleBuffer>> decodeSlices(OpenSound& sound,
                                                      const std::vector<SoundSlice>& slices) {
    std::vector<std::optional<SampleBuffer>> result(slices.size());
    if (!sound.usable()) return result;
    const double rate = sound.info.samplerate;
    if (static_cast<double>(sound.info.frames) > kMaxSpriteSeconds * rate) return result;

    // Valid slices (a NaN would break the sort) in order of start, so the file is read forward:
    // short gaps are read through, since a seek in a compressed format costs more than decoding,
    // and formats that cannot seek exactly are read through whatever the gap.
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < slices.size(); ++i) {
        const SoundSlice& slice = slices[i];
        if (slice.startMs >= 0 && slice.startMs < kMaxSpriteSeconds * 1000 &&
            slice.durationMs > 0 && std::isfinite(slice.durationMs)) {
            order.push_back(i);
        }
    }
    std::sort(order.begin(), order.end(), [&](auto a, auto b) { return slices[a] < slices[b]; });
    const bool exact = sound.seeksExactly();
    sf_count_t position = 0;  // -1 once unknown
    std::vector<float> folded;
    for (const std::size_t i : order) {
        const SoundSlice& slice = slices[i];
        const auto start = static_cast<sf_count_t>(std::llround(slice.startMs * rate / 1000));
        const auto frames = static_cast<sf_count_t>(
            std::llround(std::fmin(slice.durationMs, kMaxSoundSeconds * 1000) * rate / 1000));
        if (frames <= 0 || start >= sound.info.frames) continue;
        if (start != position) {
            if (position >= 0 && start > position && (start - position <= rate || !exact)) {
                position += sound.read(start - position, nullptr);
                if (position != start) continue;
            } else if (exact ? sound.seek(start) : sound.seek(0) && sound.read(start, nullptr) == start) {
                position = start;
            } else {
                position = -1;
                continue;
            }
        }
        folded.clear();
        position += sound.read(frames, &folded);
        result[i] = finished(folded, sound.foldedChannels(), rate);
    }
    return result;
}

}  // namespace

std::optional<SampleBuffer> decodeSoundFile(const std::string& path) {
    OpenSound sound(path);
    return decodeWhole(sound);
}

std::optional<SampleBuffer> decodeSoundData(std::span<const std::uint8_t> bytes) {
    OpenSound sound(bytes);
    return decodeWhole(sound);
}

std::vector<std::optional<SampleBuffer>> decodeSoundFileSlices(
    const std::string& path, const std::vector<SoundSlice>& slices) {
    OpenSound sound(path);
    return decodeSlices(sound, slices);
}

std::vector<std::optional<SampleBuffer>> decodeSoundDataSlices(
    std::span<const std::uint8_t> bytes, const std::vector<SoundSlice>& slices) {
    OpenSound sound(bytes);
    return decodeSlices(sound, slices);
}

SndfileSoundLoader::SndfileSoundLoader(std::shared_ptr<SoundPlayer> player)
    : _player(std::move(player)) {}

std::shared_ptr<const Sound> SndfileSoundLoader::made(std::optional<SampleBuffer> decoded) const {
    if (!decoded) return nullptr;
    return std::make_shared<const Sound>(
        std::make_shared<const SampleBuffer>(std::move(*decoded)), _player);
}

std::shared_ptr<const Sound> SndfileSoundLoader::initWithContentsOfFile(const std::string& path) {
    return made(decodeSoundFile(path));
}

// libsndfile tells the format from the bytes themselves.
std::shared_ptr<const Sound> SndfileSoundLoader::initWithData(std::span<const std::uint8_t> bytes,
                                                              const std::string&) {
    return made(decodeSoundData(bytes));
}

std::vector<std::shared_ptr<const Sound>> SndfileSoundLoader::slicesWithContentsOfFile(
    const std::string& path, const std::vector<SoundSlice>& slices) {
    std::vector<std::shared_ptr<const Sound>> sounds;
    for (auto& decoded : decodeSoundFileSlices(path, slices)) sounds.push_back(made(std::move(decoded)));
    return sounds;
}

std::vector<std::shared_ptr<const Sound>> SndfileSoundLoader::slicesWithData(
    std::span<const std::uint8_t> bytes, const std::string&, const std::vector<SoundSlice>& slices) {
    std::vector<std::shared_ptr<const Sound>> sounds;
    for (auto& decoded : decodeSoundDataSlices(bytes, slices)) sounds.push_back(made(std::move(decoded)));
    return sounds;
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
