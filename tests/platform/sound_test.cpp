// Sounds: decoding files of every format to the mixer's, and mixing the voices that play, placed
// and varied.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>
#include <random>

#include "platform/key_positions.h"
#include "platform/mixer.h"
#include "platform/sound_file.h"
#include "platform/virtual_keys.h"
#include "tests/support/sound_files.h"

namespace tapsound::platform {
namespace {

LoadBudget any;

struct SoundFile : ::testing::Test {
    test::TempDir dir;
};

// Of one channel of interleaved stereo frames.
double rms(const std::vector<float>& out, int channel, std::size_t from, std::size_t to) {
    double sum = 0;
    for (std::size_t f = from; f < to; ++f) sum += out[f * 2 + channel] * out[f * 2 + channel];
    return std::sqrt(sum / static_cast<double>(to - from));
}

TEST_F(SoundFile, DecodesEveryFormatTo48kStereoAtItsLevel) {
    const std::pair<const char*, test::Tone> cases[] = {
        {"mono44.wav", {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, 0.1}},
        {"stereo48.aiff", {SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 48000, 2, 0.1}},
        {"mono22.flac", {SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 22050, 1, 0.1}},
        {"stereo96.caf", {SF_FORMAT_CAF | SF_FORMAT_FLOAT, 96000, 2, 0.1}},
        {"mono48.ogg", {SF_FORMAT_OGG | SF_FORMAT_VORBIS, 48000, 1, 0.1}},
        {"six.wav", {SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000, 6, 0.1}},
        {"fine.wav", {0, 8000, 1, 29.0}},  // just within the keystroke limit
    };
    for (const auto& [name, tone] : cases) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(test::writeTone(dir.file(name), tone));
        const auto decoded = decodeSoundFile(dir.file(name), any);
        ASSERT_TRUE(decoded);
        EXPECT_NEAR(double(decoded->frameCount()), tone.seconds * 48000, 100.0);
        // A sine of amplitude 0.5 keeps its level through resampling and channel folding.
        const std::size_t mid = decoded->frameCount() / 2;
        for (const int ch : {0, 1})
            EXPECT_NEAR(rms(decoded->samples, ch, mid - 1000, mid + 1000), 0.5 * M_SQRT1_2, 0.02);
        for (float s : decoded->samples) ASSERT_LE(std::fabs(s), 1.0f);
    }
}

// Files and bytes in memory: bad, cut short or overlong ones are refused, and nothing waits.
TEST_F(SoundFile, BadOrOverlongSoundsAreRefusedWithoutWaitingAndBytesDecodeAsFilesDo) {
    ASSERT_TRUE(test::writeTone(dir.file("good.wav")));
    ASSERT_TRUE(test::writeTone(dir.file("long.wav"), {0, 8000, 1, 31.0}));
    ASSERT_TRUE(test::writeTone(dir.file("sprite.wav"), {0, 8000, 1, kMaxSpriteSeconds + 1}));
    ASSERT_EQ(mkfifo(dir.file("fifo.wav").c_str(), 0600), 0);
    const std::string good = test::readBytes(dir.file("good.wav"));
    std::string huge = good.substr(0, 44);  // claims four gigabytes of samples that are not there
    huge.replace(40, 4, "\xff\xff\xff\x7f");
    for (const std::string& bytes : {std::string(), std::string("just some words"),
                                     std::string(4096, 'Z'), good.substr(0, 44), huge,
                                     good.substr(0, 12)}) {
        ASSERT_TRUE(test::writeBytes(dir.file("bad.wav"), bytes));
        EXPECT_FALSE(decodeSoundFile(dir.file("bad.wav"), any)) << bytes.size() << " bytes";
    }
    for (const char* name : {"long.wav", "missing.wav", "", "fifo.wav"})
        EXPECT_FALSE(decodeSoundFile(dir.file(name), any)) << name;
    // Cut short mid-samples: what is there still plays.
    ASSERT_TRUE(test::writeBytes(dir.file("cut.wav"), good.substr(0, good.size() / 2)));
    const auto cut = decodeSoundFile(dir.file("cut.wav"), any);
    ASSERT_TRUE(cut);
    EXPECT_NEAR(double(cut->frameCount()), 2400.0, 100.0);
    // FLAC: libsndfile leaks on a cut Ogg stream; Ogg from memory is decoded by the pack tests.
    ASSERT_TRUE(
        test::writeTone(dir.file("a.flac"), {SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, 3.0}));
    const std::string flac = test::readBytes(dir.file("a.flac"));
    const auto bytes = [&](std::size_t size) {
        return std::span(reinterpret_cast<const std::uint8_t*>(flac.data()), size);
    };
    const auto whole = decodeSoundData(bytes(flac.size()), any);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->samples, decodeSoundFile(dir.file("a.flac"), any)->samples);
    for (std::size_t size = 0; size < flac.size(); size += 997) {  // cut short anywhere
        const auto part = decodeSoundData(bytes(size), any);
        EXPECT_TRUE(!part || part->frameCount() <= whole->frameCount());
    }
    EXPECT_FALSE(decodeSoundFileSlices(dir.file("sprite.wav"), {{0, 100}}, any).at(0));
}

TEST_F(SoundFile, EverySliceStartsAtItsFirstFrameWhateverTheCodecAndOrder) {
    // Bursts 0.1 to 2.6 s apart over 40 s, so slices are reached by reading on and by seeking
    // across many Ogg pages; each slice starts 1 to 40 ms before its burst, some reach back over
    // the previous slice, and they are asked for in no order.
    std::mt19937 random(31);
    std::vector<std::pair<SoundSlice, double>> wanted;  // each slice with its burst, in ms
    for (double ms = 50; ms < 39000; ms += 100 + random() % 2500) {
        const double lead = 1 + random() % 40;
        wanted.push_back({{ms - lead, 100}, ms});
        if (random() % 4 == 0) wanted.push_back({{ms - lead - 150, 300}, ms});
    }
    std::shuffle(wanted.begin(), wanted.end(), random);
    std::vector<SoundSlice> slices;
    for (const auto& [slice, ms] : wanted) slices.push_back(slice);

    const std::tuple<const char*, int, int> cases[] = {
        {"vorbis44.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100},
        {"vorbis48.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 48000},
        {"opus48.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, 48000},
        {"flac44.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100},
        {"mp3.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100},
        {"wav44.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100},
    };
    for (const auto& [name, format, rate] : cases) {
        SCOPED_TRACE(name);
        std::vector<float> samples(80L * rate);  // 40 s of stereo silence under the bursts
        for (const auto& [slice, ms] : wanted) {
            const long at = std::lround(ms * rate / 1000);
            for (long i = 0; i < rate / 500; ++i) {  // 2 ms, 3 kHz, sharp attack
                samples[2 * (at + i)] = samples[2 * (at + i) + 1] =
                    0.8f * std::sin(2 * M_PI * 3000 * i / rate) * std::exp(-i * 1500.0 / rate);
            }
        }
        ASSERT_TRUE(test::writeSamples(dir.file(name), format, rate, 2, samples));
        const std::string bytes = test::readBytes(dir.file(name));
        const auto inMemory = decodeSoundDataSlices(
            std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), slices,
            any);
        const auto fromFile = decodeSoundFileSlices(dir.file(name), slices, any);
        std::optional<long> delay;  // the codec's and resampler's, the same for every slice
        for (std::size_t k = 0; k < slices.size(); ++k) {
            SCOPED_TRACE(slices[k].startMs);
            ASSERT_TRUE(fromFile[k] && inMemory[k]);
            EXPECT_EQ(fromFile[k]->samples, inMemory[k]->samples);
            // The first frame louder than half a burst, against where the burst lies at 48 kHz.
            const auto& got = fromFile[k]->samples;
            const auto loud =
                std::find_if(got.begin(), got.end(), [](float v) { return std::fabs(v) > 0.3f; });
            const long late =
                (loud - got.begin()) / 2 - std::lround((wanted[k].second - slices[k].startMs) * 48);
            if (!delay) delay = late;
            EXPECT_NEAR(late, *delay, 2);
        }
        EXPECT_NEAR(*delay, 0, 48);
    }
}

TEST_F(SoundFile, DecodingTakesOnlyWhatItsBudgetLeavesStopsWithinAChunkAndReadsOverlapsOnce) {
    // Heavy to read: 0.5 s at 384 kHz on 64 channels is 12 M samples, 0.2 MB once decoded.
    const std::string heavy = dir.file("heavy.wav");
    ASSERT_TRUE(test::writeTone(heavy, {SF_FORMAT_WAV | SF_FORMAT_FLOAT, 384000, 64, 0.5}));
    LoadBudget unlimited;
    ASSERT_TRUE(decodeSoundFile(heavy, unlimited));
    const std::size_t kept = unlimited.spent();
    EXPECT_LE(kept, 0.5 * 2 * 48000 * sizeof(float) * 1.01);  // what is kept, no more
    // A budget a byte short of the sound builds nothing and keeps nothing.
    LoadBudget tight(kept - 1);
    EXPECT_FALSE(decodeSoundFile(heavy, tight));
    EXPECT_LT(tight.spent(), kept);
    // Asked to stop, it ends within the chunk it is reading, keeping nothing.
    int polls = 0;
    LoadBudget stopping(SIZE_MAX, [&] { return ++polls > 5; });
    EXPECT_FALSE(decodeSoundFile(heavy, stopping));
    EXPECT_EQ(stopping.spent(), 0u);
    EXPECT_LE(stopping.worked(), 5 * 4096 * 64);
    // Work is bounded as well as memory: a set of 16 MB may read 8 M samples, not 12 M.
    LoadBudget small(16 << 20);
    EXPECT_FALSE(decodeSoundFile(heavy, small));
    EXPECT_EQ(small.worked(), 0u);
    // A sprite whose slices overlap is read once for all of them: 100 one-second slices 10 ms
    // apart read about two seconds, and each is what it would be alone.
    ASSERT_TRUE(test::writeTone(dir.file("s.wav"), {0, 48000, 1, 3.0}));
    std::vector<SoundSlice> slices;
    for (int i = 0; i < 100; ++i) slices.push_back({i * 10.0, 1000});
    LoadBudget budget;
    const auto cut = decodeSoundFileSlices(dir.file("s.wav"), slices, budget);
    EXPECT_LE(budget.worked(), 2 * 48000u + 4096);
    for (const int i : {0, 57, 99}) {
        LoadBudget alone;
        const auto one = decodeSoundFileSlices(dir.file("s.wav"), {slices[i]}, alone);
        ASSERT_TRUE(cut[i] && one[0]);
        EXPECT_EQ(cut[i]->samples, one[0]->samples);
    }
}

std::shared_ptr<const SampleBuffer> constant(std::size_t frames, float value) {
    auto buffer = std::make_shared<SampleBuffer>();
    buffer->samples.assign(frames * 2, value);
    return buffer;
}

std::vector<float> render(Mixer& mixer, std::size_t frames) {
    std::vector<float> out(frames * 2, -7.0f);
    mixer.render(out.data(), frames);
    return out;
}

TEST(MixerTest, VoicesEndWithTheirSamplesSilentOnesTakeNoVoiceAndLoudSumsBendSmoothly) {
    Mixer mixer;
    mixer.start(nullptr, 1.0f);
    mixer.start(constant(0, 0.5f), 1.0f);
    mixer.start(constant(10, 0.5f), 0.0f);
    mixer.start(constant(10, 0.5f), NAN);
    for (const float level : {0.0f, NAN, -2.0f})  // silent voicings too
        mixer.start(constant(10, 0.5f), 1.0f, {.level = level});
    EXPECT_TRUE(mixer.idle());
    mixer.start(constant(3, 0.25f), 1.0f);
    mixer.start(constant(5, 0.25f), 0.5f);
    EXPECT_EQ(render(mixer, 6), (std::vector<float>{0.375f, 0.375f, 0.375f, 0.375f, 0.375f, 0.375f,
                                                    0.125f, 0.125f, 0.125f, 0.125f, 0, 0}));
    EXPECT_TRUE(mixer.idle());
    // Above the knee the curve bends: hardly at first, never past full scale.
    mixer.start(constant(1, 0.76f), 1.0f);
    EXPECT_NEAR(render(mixer, 1)[0], 0.76f, 0.001f);
    mixer.start(constant(1, -0.9f), 1.0f);
    const float bent = render(mixer, 1)[0];
    EXPECT_LT(bent, -0.8f);
    EXPECT_GT(bent, -0.9f);
    for (int i = 0; i < 10; ++i) mixer.start(constant(1, 0.5f), 1.0f);
    EXPECT_LE(render(mixer, 1)[0], 1.0f);
}

TEST(MixerTest, AFullPoolFadesItsOldestVoiceOutInsteadOfCuttingIt) {
    Mixer mixer;
    const std::size_t length = 4 * Mixer::kFadeFrames;
    mixer.start(constant(length, 0.001f), 1.0f);  // the oldest, a little louder than the rest
    for (std::size_t i = 1; i < Mixer::kMaxVoices; ++i)
        mixer.start(constant(length, 0.0001f), 1.0f);
    render(mixer, 10);
    float previous = render(mixer, 1)[0];
    mixer.start(constant(length, 0.0001f), 1.0f);  // one too many
    const auto out = render(mixer, Mixer::kFadeFrames + 10);
    for (std::size_t f = 0; f < Mixer::kFadeFrames; ++f) {
        EXPECT_LT(std::fabs(out[f * 2] - previous), 0.0001f) << f;  // small steps, not at once
        previous = out[f * 2];
    }
    EXPECT_NEAR(out[(Mixer::kFadeFrames + 5) * 2], Mixer::kMaxVoices * 0.0001f, 1e-5f);
    EXPECT_EQ(mixer.playingVoices(), Mixer::kMaxVoices);

    for (int i = 0; i < 1000; ++i) {  // endless presses never grow the pool
        mixer.start(constant(48000, 0.001f), 1.0f);
        render(mixer, 3);
    }
    EXPECT_LE(mixer.playingVoices(), Mixer::kMaxVoices + Mixer::kFadeSlots);
    mixer.releaseFinished();
    mixer.reset();
    EXPECT_TRUE(mixer.idle());
    EXPECT_EQ(render(mixer, 2), std::vector<float>(4, 0.0f));
}

TEST(MixerTest, ALateVoiceIsMixedIntoWhatWasAlreadyRenderedEvenAcrossTheRingAndContinuesAfter) {
    Mixer mixer;
    mixer.start(constant(100, 0.25f), 1.0f);
    render(mixer, 40);
    EXPECT_EQ(mixer.historyFrames(), 40u);
    // Starts 30 frames back: those frames come back with both voices in them.
    std::vector<float> rewritten(30 * 2, -7.0f);
    ASSERT_EQ(mixer.insert(constant(50, 0.5f), 0.5f, 30, rewritten.data()), 30u);
    EXPECT_FLOAT_EQ(rewritten[0], 0.5f);
    EXPECT_FLOAT_EQ(rewritten[29 * 2 + 1], 0.5f);
    // Frames 40.. continue with the late voice at its 31st frame; it ends 20 frames on.
    const auto next = render(mixer, 30);
    EXPECT_FLOAT_EQ(next[19 * 2], 0.5f);
    EXPECT_FLOAT_EQ(next[20 * 2], 0.25f);

    Mixer fresh;  // never further back than what was kept
    EXPECT_EQ(fresh.insert(constant(10, 0.5f), 1.0f, 100, rewritten.data()), 0u);
    EXPECT_FLOAT_EQ(render(fresh, 1)[0], 0.5f);

    Mixer wrapping;  // the rewritten span can wrap around the kept history
    render(wrapping, Mixer::kHistoryFrames - 10);
    wrapping.start(constant(Mixer::kHistoryFrames, 0.125f), 1.0f);
    render(wrapping, 30);  // the newest 30 frames straddle the end of the ring
    ASSERT_EQ(wrapping.insert(constant(30, 0.25f), 1.0f, 30, rewritten.data()), 30u);
    for (std::size_t i = 0; i < rewritten.size(); ++i) EXPECT_FLOAT_EQ(rewritten[i], 0.375f) << i;
}

std::vector<float> play(std::shared_ptr<const SampleBuffer> sound, const Voicing& voicing,
                        std::size_t frames) {
    Mixer mixer;
    mixer.start(std::move(sound), 1.0f, voicing);
    return render(mixer, frames);
}

double db(double ratio) { return 20 * std::log10(ratio); }

// Nothing placed or varied plays the very samples of a voice started without a voicing, late
// inserts included.
TEST(MixerVoicing, APlainVoicingPlaysBitExactly) {
    auto noise = std::make_shared<SampleBuffer>();
    for (unsigned i = 0, seed = 7; i < 6000; ++i)
        noise->samples.push_back(
            static_cast<float>((seed = seed * 1103515245 + 12345) >> 16) / 65536.0f - 0.5f);
    Mixer plain, voiced;
    std::vector<float> a(4096 * 2), b(4096 * 2);
    plain.render(a.data(), 700);
    voiced.render(b.data(), 700);
    plain.start(noise, 0.8f);
    voiced.start(noise, 0.8f, Voicing{});
    plain.insert(noise, 0.3f, 512, a.data());
    voiced.insert(noise, 0.3f, Voicing{}, 512, b.data());
    plain.render(a.data() + 1024, 3000);
    voiced.render(b.data() + 1024, 3000);
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)), 0);
}

// Equal power: left² + right² as for the centre wherever the voice sits, a side silent at the
// far ends; the sides as the sine/cosine law puts them.
TEST(MixerVoicing, PanKeepsThePowerOfTheVoiceAtEveryPlace) {
    const auto sound = test::toneBuffer(0.1, 440, 0.25f);
    const double centre = rms(play(sound, {}, 4800), 0, 0, 4800);
    // Each place with its left side's level over the right's in dB; NaN: a side is silent.
    const std::pair<float, double> cases[] = {{-1.0f, NAN}, {-0.5f, 7.66}, {-0.1f, 1.37},
                                              {0.0f, 0.0},  {0.3f, -4.25}, {1.0f, NAN}};
    for (const auto& [pan, leftMinusRight] : cases) {
        const auto out = play(sound, {.pan = pan, .level = 1.0f}, 4800);
        const double l = rms(out, 0, 0, 4800), r = rms(out, 1, 0, 4800);
        EXPECT_NEAR(db(std::sqrt((l * l + r * r) / 2) / centre), 0.0, 0.01) << pan;
        const double side = std::isnan(leftMinusRight) ? std::min(l, r) : db(l / r);
        EXPECT_NEAR(side, std::isnan(leftMinusRight) ? 0.0 : leftMinusRight, 0.05) << pan;
    }
}

std::vector<std::complex<double>> fft(std::vector<std::complex<double>> x) {
    const std::size_t n = x.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        if (i < (j ^= bit)) std::swap(x[i], x[j]);
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const auto w = std::polar(1.0, -2 * std::numbers::pi / static_cast<double>(len));
        for (std::size_t i = 0; i < n; i += len) {
            std::complex<double> wk = 1;
            for (std::size_t k = 0; k < len / 2; ++k, wk *= w) {
                const auto u = x[i + k], v = x[i + k + len / 2] * wk;
                x[i + k] = u + v, x[i + k + len / 2] = u - v;
            }
        }
    }
    return x;
}

// A varied voice is the sound sped up or slowed down: the tone moves by the rate and keeps its
// level, it ends with its samples, and nothing else comes within 60 dB of the tone (measured
// through a Blackman-Harris window, whose own leakage stays lower).
TEST(MixerVoicing, AVariedVoiceIsResampledCleanly) {
    for (const auto& [hertz, cents] :
         {std::pair{1000.0, -70.0}, {1000.0, 30.0}, {9000.0, -70.0}, {9000.0, 30.0}}) {
        SCOPED_TRACE(testing::Message() << hertz << " Hz, " << cents << " cents");
        const auto rate = static_cast<float>(std::exp2(cents / 1200));
        const auto out = play(test::toneBuffer(0.5, hertz, 0.5f), {.rate = rate}, 48000);
        const auto end = static_cast<std::size_t>(std::ceil(24000 / rate));
        EXPECT_LT(rms(out, 0, end + 1, end + 100), 1e-9);
        EXPECT_NEAR(db(rms(out, 0, 1000, 9000) / (0.5 / std::sqrt(2.0))), 0.0, 0.05);
        std::vector<std::complex<double>> x(16384);
        for (std::size_t i = 0; i < x.size(); ++i) {
            const double p = 2 * std::numbers::pi * static_cast<double>(i) / 16383;
            x[i] = out[(1000 + i) * 2] * (0.35875 - 0.48829 * std::cos(p) +
                                          0.14128 * std::cos(2 * p) - 0.01168 * std::cos(3 * p));
        }
        const auto spectrum = fft(x);
        const double expected = hertz * rate * 16384 / 48000;
        double peak = 0, other = 0;
        for (std::size_t k = 1; k < 8192; ++k) {
            double& strongest = std::fabs(static_cast<double>(k) - expected) <= 6 ? peak : other;
            strongest = std::max(strongest, std::abs(spectrum[k]));
        }
        EXPECT_NEAR(std::abs(spectrum[static_cast<std::size_t>(std::lround(expected))]), peak,
                    peak * 0.2);
        EXPECT_LT(db(other / peak), -60.0);
    }
}

// Out-of-range voicings play as the nearest playable one. Every key that gives a code has a place
// of its own, none falling back to the middle unnoticed.
TEST(MixerVoicing, StrayVoicingsStayWithinBoundsAndEveryKeyHasAPlace) {
    const auto sound = test::toneBuffer(0.1, 1000, 0.5f);
    for (const Voicing& v :
         {Voicing{.pan = NAN, .rate = 1.01f}, Voicing{.pan = 7, .rate = INFINITY},
          Voicing{.rate = 100}, Voicing{.rate = -1}}) {
        for (const float sample : play(sound, v, 12000)) ASSERT_LE(std::fabs(sample), 1.0f);
    }
    for (unsigned kernel = 0; kernel < 0x300; ++kernel) {
        const auto code = virtualKeyCodeForKernelKey(kernel);
        EXPECT_TRUE(!code || *code == kVK_Space || keyPosition(*code) != 0.0f) << kernel;
    }
    EXPECT_EQ(keyPosition(-1) + keyPosition(4096), 0.0f);
}

}  // namespace
}  // namespace tapsound::platform
