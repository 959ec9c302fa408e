#include "platform/sound_file.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <cmath>

#include "tests/support/sound_files.h"

namespace tapsound {
namespace {

using platform::decodeSoundFile;

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
        const auto decoded = decodeSoundFile(dir.file(name));
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
        EXPECT_FALSE(decodeSoundFile(dir.file("bad.wav"))) << bytes.size() << " bytes";
    }
    for (const char* name : {"long.wav", "missing.wav", "", "fifo.wav"}) {
        EXPECT_FALSE(decodeSoundFile(dir.file(name))) << name;
    }
    // Cut short mid-samples: what is there still plays.
    ASSERT_TRUE(test::writeBytes(dir.file("cut.wav"), good.substr(0, good.size() / 2)));
    const auto cut = decodeSoundFile(dir.file("cut.wav"));
    ASSERT_TRUE(cut);
    EXPECT_NEAR(double(cut->frameCount()), 2400.0, 100.0);
}

}  // namespace
}  // namespace tapsound
