// Sounds: decoding files of every format to the mixer's, and mixing the voices that play.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "platform/mixer.h"
#include "platform/sound_file.h"
#include "tests/support/sound_files.h"

namespace tapsound::platform {
namespace {

LoadBudget any;

double rms(const std::vector<float>& samples, std::size_t from, std::size_t to) {
    double sum = 0;
    for (std::size_t i = from; i < to; ++i) sum += double(samples[i]) * samples[i];
    return std::sqrt(sum / double(to - from));
}

TEST(SoundFile, DecodesEveryFormatTo48kStereoAtItsLevel) {
    test::TempDir dir;
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
        const std::size_t middle = decoded->samples.size() / 2;
        EXPECT_NEAR(rms(decoded->samples, middle - 2000, middle + 2000), 0.5 / std::sqrt(2.0),
                    0.02);
        for (float s : decoded->samples) ASSERT_LE(std::fabs(s), 1.0f);
    }
}

TEST(SoundFile, BadOrOverlongFilesAreRefusedWithoutWaiting) {
    test::TempDir dir;
    ASSERT_TRUE(test::writeTone(dir.file("good.wav")));
    ASSERT_TRUE(test::writeTone(dir.file("long.wav"), {0, 8000, 1, 31.0}));
    ASSERT_EQ(mkfifo(dir.file("fifo.wav").c_str(), 0600), 0);
    const std::string good = test::readBytes(dir.file("good.wav"));
    std::string huge = good.substr(0, 44);  // claims four gigabytes of samples that are not there
    huge.replace(40, 4, "\xff\xff\xff\x7f");
    const std::string cases[] = {
        "",   "just some words", std::string(4096, 'Z'), good.substr(0, 44),
        huge, good.substr(0, 12)};
    for (const auto& bytes : cases) {
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
}

TEST(SoundFile, BytesInMemoryDecodeAsFilesDoAndOverlongSpritesAreRefused) {
    test::TempDir dir;
    // FLAC: libsndfile leaks on a cut Ogg stream; Ogg from memory is decoded by the pack tests.
    ASSERT_TRUE(
        test::writeTone(dir.file("a.flac"), {SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, 3.0}));
    ASSERT_TRUE(test::writeTone(dir.file("long.wav"), {0, 8000, 1, kMaxSpriteSeconds + 1}));
    const std::string flac = test::readBytes(dir.file("a.flac"));
    const auto bytes = [&](std::size_t size) {
        return std::span(reinterpret_cast<const std::uint8_t*>(flac.data()), size);
    };
    const auto whole = decodeSoundData(bytes(flac.size()), any);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->samples, decodeSoundFile(dir.file("a.flac"), any)->samples);
    for (std::size_t size = 0; size < flac.size(); size += 997) {  // cut short anywhere
        const auto cut = decodeSoundData(bytes(size), any);
        EXPECT_TRUE(!cut || cut->frameCount() <= whole->frameCount());
    }
    EXPECT_FALSE(decodeSoundFileSlices(dir.file("long.wav"), {{0, 100}}, any).at(0));
}

TEST(SoundFile, EverySliceStartsAtItsFirstFrameWhateverTheCodecAndOrder) {
    test::TempDir dir;
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

TEST(SoundFile, DecodingTakesOnlyWhatItsBudgetLeavesAndStopsWithinAChunk) {
    test::TempDir dir;
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

// A sprite whose slices overlap is read once for all of them: 100 one-second slices 10 ms apart
// read about two seconds, and each is what it would be alone.
TEST(SoundFile, OverlappingSlicesAreReadOnceAndCutAsIfAlone) {
    test::TempDir dir;
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

TEST(MixerTest, VoicesEndWithTheirSamplesSilentOnesTakeNoVoiceAndLoudSumsBendSmoothly) {
    Mixer mixer;
    mixer.start(nullptr, 1.0f);
    mixer.start(constant(0, 0.5f), 1.0f);
    mixer.start(constant(10, 0.5f), 0.0f);
    mixer.start(constant(10, 0.5f), NAN);
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

}  // namespace
}  // namespace tapsound::platform
