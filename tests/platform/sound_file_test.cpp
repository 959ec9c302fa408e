#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>

#include "platform/sound_file.h"
#include "tests/support/sound_files.h"

namespace tapsound {
namespace {

using platform::decodeSoundFile;

double rms(const std::vector<float>& samples, std::size_t from, std::size_t to) {
    double sum = 0;
    for (std::size_t i = from; i < to; ++i) sum += double(samples[i]) * samples[i];
    return std::sqrt(sum / double(to - from));
}

TEST(SoundFile, DecodesEveryFormatTo48kStereo) {
    test::TempDir dir;
    struct Case {
        const char* name;
        test::Tone tone;
    };
    const Case cases[] = {
        {"mono44.wav", {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, 0.1}},
        {"stereo48.aiff", {SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 48000, 2, 0.1}},
        {"mono22.flac", {SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 22050, 1, 0.1}},
        {"stereo96.caf", {SF_FORMAT_CAF | SF_FORMAT_FLOAT, 96000, 2, 0.1}},
        {"mono48.ogg", {SF_FORMAT_OGG | SF_FORMAT_VORBIS, 48000, 1, 0.1}},
        {"six.wav", {SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000, 6, 0.1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(test::writeTone(dir.file(c.name), c.tone));
        const auto decoded = decodeSoundFile(dir.file(c.name));
        ASSERT_TRUE(decoded);
        EXPECT_NEAR(double(decoded->frameCount()), 4800.0, 60.0);
        // A sine of amplitude 0.5 keeps its level through resampling and channel folding.
        const std::size_t middle = decoded->samples.size() / 2;
        EXPECT_NEAR(rms(decoded->samples, middle - 2000, middle + 2000), 0.5 / std::sqrt(2.0), 0.02);
        for (float s : decoded->samples) ASSERT_LE(std::fabs(s), 1.0f);
    }
}

TEST(SoundFile, StereoSidesStayApart) {
    test::TempDir dir;
    const std::string path = dir.file("left.wav");
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_TRUE(file);
    std::vector<float> frames(2 * 480);
    for (std::size_t i = 0; i < 480; ++i) frames[i * 2] = 0.25f;
    sf_writef_float(file, frames.data(), 480);
    sf_close(file);
    const auto decoded = decodeSoundFile(path);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->frameCount(), 480u);
    EXPECT_FLOAT_EQ(decoded->samples[200], 0.25f);
    EXPECT_FLOAT_EQ(decoded->samples[201], 0.0f);
}

TEST(SoundFile, BadFilesAreRefusedQuickly) {
    test::TempDir dir;
    ASSERT_TRUE(test::writeTone(dir.file("good.wav")));
    const std::string good = test::readBytes(dir.file("good.wav"));
    // A header claiming four gigabytes of samples that are not there.
    std::string huge = good.substr(0, 44);
    huge[40] = huge[41] = huge[42] = '\xff';
    huge[43] = '\x7f';
    const std::pair<const char*, std::string> cases[] = {
        {"empty.wav", ""},
        {"text.wav", "just some words, not a sound"},
        {"random.aiff", std::string(4096, '\x5a')},
        {"header-only.wav", good.substr(0, 44)},
        {"huge-claim.wav", huge},
        {"tiny.wav", good.substr(0, 12)},
    };
    for (const auto& [name, bytes] : cases) {
        ASSERT_TRUE(test::writeBytes(dir.file(name), bytes));
        EXPECT_FALSE(decodeSoundFile(dir.file(name))) << name;
    }
    // Cut short mid-samples: what is there still plays.
    ASSERT_TRUE(test::writeBytes(dir.file("cut.wav"), good.substr(0, good.size() / 2)));
    const auto cut = decodeSoundFile(dir.file("cut.wav"));
    ASSERT_TRUE(cut);
    EXPECT_NEAR(double(cut->frameCount()), 2400.0, 100.0);

    EXPECT_FALSE(decodeSoundFile(dir.file("missing.wav")));
    EXPECT_FALSE(decodeSoundFile(dir.path()));
    ASSERT_EQ(mkfifo(dir.file("fifo.wav").c_str(), 0600), 0);
    const auto began = std::chrono::steady_clock::now();
    EXPECT_FALSE(decodeSoundFile(dir.file("fifo.wav")));
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(2));
}

TEST(SoundFile, KeystrokeLengthLimit) {
    test::TempDir dir;
    ASSERT_TRUE(test::writeTone(dir.file("long.wav"), {0, 8000, 1, 31.0}));
    ASSERT_TRUE(test::writeTone(dir.file("fine.wav"), {0, 8000, 1, 29.0}));
    EXPECT_FALSE(decodeSoundFile(dir.file("long.wav")));
    const auto fine = decodeSoundFile(dir.file("fine.wav"));
    ASSERT_TRUE(fine);
    EXPECT_NEAR(double(fine->frameCount()), 29.0 * 48000, 100.0);
}

TEST(SoundFile, LoaderBindsSoundsToItsPlayerAndListsTypes) {
    test::TempDir dir;
    ASSERT_TRUE(test::writeTone(dir.file("a.wav")));
    platform::SndfileSoundLoader loader(nullptr);
    const auto sound = loader.initWithContentsOfFile(dir.file("a.wav"));
    ASSERT_TRUE(sound);
    EXPECT_FALSE(sound->play());  // no player, nothing started, nothing crashes
    EXPECT_FALSE(loader.initWithContentsOfFile(dir.path()));
    const auto types = loader.soundUnfilteredTypes();
    for (const char* type : {"wav", "aiff", "flac", "ogg"}) {
        EXPECT_NE(std::find(types.begin(), types.end(), type), types.end()) << type;
    }
}

}  // namespace
}  // namespace tapsound
