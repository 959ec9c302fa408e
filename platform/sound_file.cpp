#include "platform/sound_file.h"

#include <fcntl.h>
#include <sndfile.h>
#include <soxr.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

#include "platform/file_manager_posix.h"

namespace tapsound::platform {

namespace {

constexpr int kMaxChannels = 64;
constexpr int kMaxSampleRate = 384000;
// Small enough that a stop is heard within milliseconds even at 384 kHz and 64 channels.
constexpr sf_count_t kChunkFrames = 4096;

// Interleaved input of any channel count, folded: more channels fold their even and odd members
// into left and right. Mono stays mono, so resampling costs half.
void fold(const float* input, std::size_t frames, int channels, std::vector<float>& out) {
    const auto kept = [](float v) { return std::isfinite(v) ? std::clamp(v, -1.0f, 1.0f) : 0.0f; };
    if (channels <= 2) {
        out.assign(input, input + frames * static_cast<std::size_t>(channels));
        for (float& v : out) v = kept(v);
        return;
    }
    out.resize(frames * 2);
    const float leftShare = 1.0f / static_cast<float>((channels + 1) / 2);
    const float rightShare = 1.0f / static_cast<float>(channels / 2);
    for (std::size_t f = 0; f < frames; ++f) {
        const float* in = input + f * static_cast<std::size_t>(channels);
        float left = 0, right = 0;
        for (int c = 0; c < channels; c += 2) left += in[c];
        for (int c = 1; c < channels; c += 2) right += in[c];
        out[2 * f] = kept(left * leftShare);
        out[2 * f + 1] = kept(right * rightShare);
    }
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
        const int fd = openRegularFile(path);
        if (fd < 0) return;
        struct stat st {};
        if (fstat(fd, &st) != 0 || st.st_size == 0) {
            ::close(fd);
            return;
        }
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
    unsigned foldedChannels() const { return info.channels == 1 ? 1 : 2; }

    // Reads up to `frames` frames onward, a chunk at a time, each first paid for by `pay` (given
    // the frames read so far and those about to be) and then handed folded to `take`, unless it is
    // empty; the frames read.
    sf_count_t read(sf_count_t frames, const std::function<bool(sf_count_t, sf_count_t)>& pay,
                    const std::function<bool(const std::vector<float>&)>& take = {}) {
        std::vector<float> chunk(static_cast<std::size_t>(kChunkFrames * info.channels));
        std::vector<float> folded;
        sf_count_t total = 0;
        while (total < frames) {
            const sf_count_t n = std::min(kChunkFrames, frames - total);
            if (!pay(total, n)) break;
            const sf_count_t got = sf_readf_float(_file, chunk.data(), n);
            if (got <= 0) break;
            total += got;
            if (!take) continue;
            fold(chunk.data(), static_cast<std::size_t>(got), info.channels, folded);
            if (!take(folded)) break;
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

struct SoxrDeleter {
    void operator()(soxr_t resampler) const { soxr_delete(resampler); }
};

// Decodes `frames` frames onward into the mixer's format, resampled as they are read, so only a
// chunk of the source is held at a time. The budget pays for the output before it is built (the
// whole expected run first, so a sound that cannot fit costs nothing) and for the samples read;
// the output holds no more than what was taken. Nothing when no frame was decoded,
// the budget ran out or the load stopped; `read` tells the frames read from the sound.
std::optional<SampleBuffer> decodeRun(OpenSound& sound, sf_count_t frames, LoadBudget& budget,
                                      sf_count_t& read, bool* refused = nullptr) {
    read = 0;
    const double rate = sound.info.samplerate;
    const unsigned channels = sound.foldedChannels();
    const auto inputSamples = [&](sf_count_t n) {
        return static_cast<std::size_t>(n) * static_cast<std::size_t>(sound.info.channels);
    };
    // Output floats for input frames, with room for the resampler's rounding.
    const auto outputFloats = [&](sf_count_t n) {
        return (static_cast<std::size_t>(
                    std::ceil(static_cast<double>(n) * SampleBuffer::kSampleRate / rate)) +
                2) *
               2;
    };
    const sf_count_t expected = std::clamp<sf_count_t>(sound.info.frames, 1, frames);
    SampleBuffer out;
    std::size_t taken = 0;
    bool paid = true;
    // Capacity is what the budget pays for, so the output's memory never exceeds what was taken.
    const auto afford = [&](std::size_t floats) {
        if (floats <= out.samples.capacity()) return true;
        const std::size_t grown = std::max(floats, out.samples.capacity() * 3 / 2);
        const std::size_t more = (grown - out.samples.capacity()) * sizeof(float);
        if (!budget.take(more)) return paid = false;
        taken += more;
        out.samples.reserve(grown);
        return true;
    };
    const auto append = [&](const float* samples, std::size_t n) {
        if (!afford(out.samples.size() + n * (channels == 1 ? 2 : 1))) return false;
        if (channels == 2) {
            out.samples.insert(out.samples.end(), samples, samples + n);
        } else {
            const std::size_t at = out.samples.size();
            out.samples.resize(at + 2 * n);
            for (std::size_t i = 0; i < n; ++i) {
                out.samples[at + 2 * i] = out.samples[at + 2 * i + 1] = samples[i];
            }
        }
        return true;
    };

    std::unique_ptr<soxr, SoxrDeleter> resampler;
    std::vector<float> resampled;
    if (rate != SampleBuffer::kSampleRate) {
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        soxr_error_t error = nullptr;
        resampler.reset(
            soxr_create(rate, SampleBuffer::kSampleRate, channels, &error, &io, &quality, nullptr));
        if (error || !resampler) return std::nullopt;
        resampled.resize(outputFloats(kChunkFrames) + 64 * channels);
    }
    // Input null flushes what the resampler still holds.
    const auto resample = [&](const float* in, std::size_t inFrames) {
        const std::size_t room = resampled.size() / channels;
        do {
            std::size_t used = 0, made = 0;
            if (soxr_process(resampler.get(), in, inFrames, &used, resampled.data(), room, &made)) {
                return false;
            }
            if (!append(resampled.data(), made * channels)) return false;
            if (in) in += used * channels;
            inFrames -= used;
            if (!in && made == 0) break;
            if (in && used == 0 && made == 0) break;
        } while (in ? inFrames > 0 : true);
        return true;
    };
    const std::function<bool(const std::vector<float>&)> take =
        [&](const std::vector<float>& folded) {
            return resampler ? resample(folded.data(), folded.size() / channels)
                             : append(folded.data(), folded.size());
        };
    // A run the budget cannot pay for as its header claims is not begun; the work is then paid
    // chunk by chunk, and the output as it is appended, before it is built.
    if (!budget.affords(inputSamples(expected)) || !afford(outputFloats(expected))) {
        budget.giveBack(taken);
        if (refused) *refused = true;
        return std::nullopt;
    }
    const auto pay = [&](sf_count_t, sf_count_t n) { return budget.work(inputSamples(n)); };
    read = sound.read(frames, pay, take);
    if (paid && !budget.stopped() && resampler) resample(nullptr, 0);
    if (!paid || budget.stopped() || out.samples.empty()) {
        budget.giveBack(taken);
        return std::nullopt;
    }
    // What was paid for and not used goes back; a large excess is let go for real.
    if (out.samples.capacity() - out.samples.size() > 4 * kChunkFrames) {
        out.samples.shrink_to_fit();
    }
    budget.giveBack(taken - out.samples.capacity() * sizeof(float));
    return out;
}

std::optional<SampleBuffer> decodeWhole(OpenSound& sound, LoadBudget& budget) {
    if (!sound.usable()) return std::nullopt;
    const auto maxFrames = static_cast<sf_count_t>(kMaxSoundSeconds * sound.info.samplerate);
    // The header's frame count is only a claim; the bounded read below is what counts.
    if (sound.info.frames > maxFrames) return std::nullopt;
    sf_count_t read = 0;
    auto decoded = decodeRun(sound, maxFrames + 1, budget, read);
    if (decoded && read > maxFrames) {
        budget.giveBack(decoded->samples.capacity() * sizeof(float));
        return std::nullopt;
    }
    return decoded;
}

std::vector<std::optional<SampleBuffer>> decodeSlices(OpenSound& sound,
                                                      const std::vector<SoundSlice>& slices,
                                                      LoadBudget& budget) {
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
    const std::size_t channels = static_cast<std::size_t>(sound.info.channels);
    // Frames read through are work too.
    const auto skip = [&](sf_count_t frames) {
        return sound.read(frames, [&](sf_count_t, sf_count_t n) {
            return budget.work(static_cast<std::size_t>(n) * channels);
        });
    };
    const auto startOf = [&](const SoundSlice& slice) {
        return static_cast<sf_count_t>(std::llround(slice.startMs * rate / 1000));
    };
    const auto framesOf = [&](const SoundSlice& slice) {
        const auto frames = static_cast<sf_count_t>(
            std::llround(std::fmin(slice.durationMs, kMaxSoundSeconds * 1000) * rate / 1000));
        return std::min(frames, sound.info.frames - startOf(slice));
    };
    // Slices that overlap are decoded once, as one span, and cut from it: a sprite whose slices
    // all share one stretch costs that stretch once, not once per slice.
    const auto maxSpan = static_cast<sf_count_t>(2 * kMaxSoundSeconds * rate);
    sf_count_t position = 0;  // -1 once unknown
    for (std::size_t first = 0, next = 0; first < order.size() && !budget.stopped(); first = next) {
        const sf_count_t start = startOf(slices[order[first]]);
        sf_count_t end = start + framesOf(slices[order[first]]);
        for (next = first + 1; next < order.size(); ++next) {
            const SoundSlice& slice = slices[order[next]];
            const sf_count_t sliceEnd = startOf(slice) + framesOf(slice);
            if (startOf(slice) >= end || std::max(end, sliceEnd) - start > maxSpan) break;
            end = std::max(end, sliceEnd);
        }
        if (end <= start || start >= sound.info.frames) continue;
        if (start != position) {
            if (position >= 0 && start > position && (start - position <= rate || !exact)) {
                position += skip(start - position);
                if (position != start) continue;
            } else if (exact ? sound.seek(start) : sound.seek(0) && skip(start) == start) {
                position = start;
            } else {
                position = -1;
                continue;
            }
        }
        sf_count_t read = 0;
        bool refused = false;
        auto span = decodeRun(sound, end - start, budget, read, &refused);
        // Once the budget is spent, reading on to later slices would be work for nothing.
        if (refused) break;
        position += read;
        if (next == first + 1 || !span) {
            result[order[first]] = std::move(span);
            continue;
        }
        const std::size_t spanFrames = span->frameCount();
        for (std::size_t k = first; k < next; ++k) {
            const SoundSlice& slice = slices[order[k]];
            const auto at = std::min<std::size_t>(
                std::llround(double(startOf(slice) - start) * SampleBuffer::kSampleRate / rate),
                spanFrames);
            const auto frames = std::min<std::size_t>(
                std::llround(double(framesOf(slice)) * SampleBuffer::kSampleRate / rate),
                spanFrames - at);
            if (frames == 0) continue;
            refused = !budget.take(frames * 2 * sizeof(float));
            if (refused) break;
            SampleBuffer cut;
            cut.samples.assign(span->samples.begin() + static_cast<std::ptrdiff_t>(2 * at),
                               span->samples.begin() + static_cast<std::ptrdiff_t>(2 * (at + frames)));
            result[order[k]] = std::move(cut);
        }
        budget.giveBack(span->samples.capacity() * sizeof(float));
        if (refused) break;
    }
    return result;
}

}  // namespace

std::optional<SampleBuffer> decodeSoundFile(const std::string& path, LoadBudget& budget) {
    OpenSound sound(path);
    return decodeWhole(sound, budget);
}

std::optional<SampleBuffer> decodeSoundData(std::span<const std::uint8_t> bytes,
                                            LoadBudget& budget) {
    OpenSound sound(bytes);
    return decodeWhole(sound, budget);
}

std::vector<std::optional<SampleBuffer>> decodeSoundFileSlices(
    const std::string& path, const std::vector<SoundSlice>& slices, LoadBudget& budget) {
    OpenSound sound(path);
    return decodeSlices(sound, slices, budget);
}

std::vector<std::optional<SampleBuffer>> decodeSoundDataSlices(
    std::span<const std::uint8_t> bytes, const std::vector<SoundSlice>& slices,
    LoadBudget& budget) {
    OpenSound sound(bytes);
    return decodeSlices(sound, slices, budget);
}

SndfileSoundLoader::SndfileSoundLoader(std::shared_ptr<SoundPlayer> player)
    : _player(std::move(player)) {}

std::shared_ptr<const Sound> SndfileSoundLoader::made(std::optional<SampleBuffer> decoded) const {
    if (!decoded) return nullptr;
    return std::make_shared<const Sound>(
        std::make_shared<const SampleBuffer>(std::move(*decoded)), _player);
}

std::shared_ptr<const Sound> SndfileSoundLoader::initWithContentsOfFile(const std::string& path,
                                                                        LoadBudget& budget) {
    return made(decodeSoundFile(path, budget));
}

// libsndfile tells the format from the bytes themselves.
std::shared_ptr<const Sound> SndfileSoundLoader::initWithData(std::span<const std::uint8_t> bytes,
                                                              const std::string&,
                                                              LoadBudget& budget) {
    return made(decodeSoundData(bytes, budget));
}

std::vector<std::shared_ptr<const Sound>> SndfileSoundLoader::slicesWithContentsOfFile(
    const std::string& path, const std::vector<SoundSlice>& slices, LoadBudget& budget) {
    std::vector<std::shared_ptr<const Sound>> sounds;
    for (auto& decoded : decodeSoundFileSlices(path, slices, budget)) {
        sounds.push_back(made(std::move(decoded)));
    }
    return sounds;
}

std::vector<std::shared_ptr<const Sound>> SndfileSoundLoader::slicesWithData(
    std::span<const std::uint8_t> bytes, const std::string&, const std::vector<SoundSlice>& slices,
    LoadBudget& budget) {
    std::vector<std::shared_ptr<const Sound>> sounds;
    for (auto& decoded : decodeSoundDataSlices(bytes, slices, budget)) {
        sounds.push_back(made(std::move(decoded)));
    }
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
