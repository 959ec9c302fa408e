// The audio engine against a real PulseAudio server: what is started is heard on the sink.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "platform/audio_output_pulse.h"
#include "tests/support/private_session.h"
#include "tests/support/sound_files.h"

namespace tapsound::test {
namespace {

using namespace std::chrono_literals;
using platform::PulseSoundPlayer;

float peak(const std::vector<float>& samples, std::size_t fromFrame) {
    float level = 0;
    for (std::size_t i = fromFrame * 2; i < std::min(samples.size(), (fromFrame + 2000) * 2); ++i) {
        level = std::max(level, std::fabs(samples[i]));
    }
    return level;
}

TEST(AudioOutput, PressesAreHeardAtOnceAtTheirVolumeOverlapsSumAndTheServerIsFoundByItself) {
    PrivateSession session{{.display = false, .audio = false}};
    ASSERT_TRUE(session.ok()) << session.error();
    const auto click = toneBuffer(0.05, 1000, 0.5f);
    PulseSoundPlayer player;
    EXPECT_FALSE(player.start(click, 1.0f));  // nothing to play on yet: fails quietly
    // The server comes up after the player: it is found with no press.
    ASSERT_TRUE(session.restartAudio());
    ASSERT_TRUE(waitFor([&] { return player.ready(); }, 5s));
    MonitorRecorder recorder(session);
    // Three presses from idle, one at a quarter of the volume; two at once sum; two loud ones at
    // once bend below full scale instead of clipping.
    const std::vector<std::vector<float>> presses = {{1}, {1}, {1}, {0.25f}, {0.4f, 0.4f}, {1, 1}};
    for (const auto& volumes : presses) {
        for (float volume : volumes) EXPECT_TRUE(player.start(click, volume));
        std::this_thread::sleep_for(250ms);
    }
    std::this_thread::sleep_for(150ms);
    const auto samples = recorder.stop();
    const auto onsets = findOnsets(samples, 0.02f, 4800);
    ASSERT_EQ(onsets.size(), presses.size());
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(peak(samples, onsets[i]), 0.5f, 0.03f) << i;
    EXPECT_NEAR(peak(samples, onsets[3]), 0.125f, 0.02f);
    EXPECT_NEAR(peak(samples, onsets[4]), 0.4f, 0.03f);
    EXPECT_GT(peak(samples, onsets[5]), 0.85f);
    EXPECT_LT(peak(samples, onsets[5]), 0.97f);

    // A quiet long tone keeps the stream busy; a loud click on top must not be delayed much.
    MonitorRecorder busy(session);
    EXPECT_TRUE(player.start(toneBuffer(1.0, 300, 0.05f), 1.0f));
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(player.start(toneBuffer(0.05, 2000, 0.5f), 1.0f));
    std::this_thread::sleep_for(1000ms);
    const auto heard = busy.stop();
    const auto background = findOnsets(heard, 0.01f, 48000);
    const auto loud = findOnsets(heard, 0.2f, 4800);
    ASSERT_EQ(findOnsets(heard, 0.02f, 4800).size(), 1u);  // the quiet tone stays under it
    ASSERT_EQ(loud.size(), 1u);
    ASSERT_FALSE(background.empty());
    // The click lands about 300 ms after the tone began: not a queue's length later.
    const double gapMs = (static_cast<double>(loud[0]) - static_cast<double>(background[0])) / 48.0;
    EXPECT_GT(gapMs, 280.0);
    EXPECT_LT(gapMs, 340.0);

    // The server restarts under a long tone: found again with no press, the tone lost with it
    // does not come back, and the first press plays.
    EXPECT_TRUE(player.start(toneBuffer(6.0, 300, 0.5f), 1.0f));
    ASSERT_TRUE(session.restartAudio());
    ASSERT_TRUE(waitFor([&] { return player.ready(); }, 5s));
    MonitorRecorder again(session);
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(player.start(click, 1.0f));
    std::this_thread::sleep_for(300ms);
    const auto after = findOnsets(again.stop(), 0.2f, 4800);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_GT(after[0], 4800u);
}

}  // namespace
}  // namespace tapsound::test
