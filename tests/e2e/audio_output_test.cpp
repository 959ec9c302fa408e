// The audio engine against a real PulseAudio server: what is started is heard on the sink.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <thread>

#include "platform/audio_output_pulse.h"
#include "tests/support/private_session.h"
#include "tests/support/sound_files.h"

namespace tapsound::test {
namespace {

using namespace std::chrono_literals;
using platform::PulseSoundPlayer;
using platform::SampleBuffer;


bool waitReady(PulseSoundPlayer& player) {
    for (int i = 0; i < 500 && !player.ready(); ++i) std::this_thread::sleep_for(10ms);
    return player.ready();
}

float peak(const std::vector<float>& samples, std::size_t fromFrame, std::size_t frames) {
    float level = 0;
    for (std::size_t i = fromFrame * 2; i < std::min(samples.size(), (fromFrame + frames) * 2); ++i) {
        level = std::max(level, std::fabs(samples[i]));
    }
    return level;
}

class AudioOutputTest : public ::testing::Test {
protected:
    PrivateSession session{PrivateSession::Options{.display = false, .audio = true}};
};

TEST_F(AudioOutputTest, PressesAreHeardOnceEachAtTheirVolumeAndOverlapsSum) {
    ASSERT_TRUE(session.ok()) << session.error();
    PulseSoundPlayer player;
    ASSERT_TRUE(waitReady(player));
    MonitorRecorder recorder(session);
    ASSERT_TRUE(recorder.ok());
    std::this_thread::sleep_for(300ms);

    auto click = toneBuffer(0.05, 1000, 0.5f);
    // Three presses from idle, far apart: three onsets.
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(player.start(click, 1.0f));
        std::this_thread::sleep_for(250ms);
    }
    // A fourth at a quarter of the volume.
    EXPECT_TRUE(player.start(click, 0.25f));
    std::this_thread::sleep_for(250ms);
    // Two at once sum; two loud ones at once bend below full scale instead of clipping.
    EXPECT_TRUE(player.start(click, 0.4f));
    EXPECT_TRUE(player.start(click, 0.4f));
    std::this_thread::sleep_for(250ms);
    EXPECT_TRUE(player.start(click, 1.0f));
    EXPECT_TRUE(player.start(click, 1.0f));
    std::this_thread::sleep_for(400ms);
    auto samples = recorder.stop();

    auto onsets = findOnsets(samples, 0.02f, 4800);
    ASSERT_EQ(onsets.size(), 6u);
    const std::size_t span = 2000;
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(peak(samples, onsets[i], span), 0.5f, 0.03f) << i;
    EXPECT_NEAR(peak(samples, onsets[3], span), 0.125f, 0.02f);
    EXPECT_NEAR(peak(samples, onsets[4], span), 0.4f, 0.03f);
    const float loud = peak(samples, onsets[5], span);
    EXPECT_GT(loud, 0.85f);
    EXPECT_LT(loud, 0.97f);
}

TEST_F(AudioOutputTest, APressWhileAnotherPlaysIsHeardAtOnceNotAfterTheQueue) {
    ASSERT_TRUE(session.ok()) << session.error();
    PulseSoundPlayer player;
    ASSERT_TRUE(waitReady(player));
    MonitorRecorder recorder(session);
    ASSERT_TRUE(recorder.ok());
    std::this_thread::sleep_for(300ms);

    // A quiet long tone keeps the stream busy; a loud click on top must not be delayed much.
    EXPECT_TRUE(player.start(toneBuffer(1.0, 300, 0.05f), 1.0f));
    std::this_thread::sleep_for(300ms);
    const auto pressed = std::chrono::steady_clock::now();
    EXPECT_TRUE(player.start(toneBuffer(0.05, 2000, 0.5f), 1.0f));
    std::this_thread::sleep_for(1000ms);
    auto samples = recorder.stop();

    auto quiet = findOnsets(samples, 0.02f, 4800);
    auto loud = findOnsets(samples, 0.2f, 4800);
    ASSERT_EQ(quiet.size(), 1u);  // the quiet tone stays under the threshold; only the click is seen
    ASSERT_EQ(loud.size(), 1u);
    auto background = findOnsets(samples, 0.01f, 48000);
    ASSERT_FALSE(background.empty());
    // The click lands about 300 ms after the tone began: not a queue's length later.
    const double gapMs = (static_cast<double>(loud[0]) - static_cast<double>(background[0])) / 48.0;
    EXPECT_GT(gapMs, 280.0);
    EXPECT_LT(gapMs, 340.0);
    (void)pressed;
}

TEST_F(AudioOutputTest, AServerThatGoesAwayAndComesBackIsReachedAgainOnTheNextPress) {
    ASSERT_TRUE(session.ok()) << session.error();
    auto click = toneBuffer(0.05, 1000, 0.5f);
    {
        PulseSoundPlayer player(PulseSoundPlayer::Options{.server = "unix:/nonexistent/socket"});
        std::this_thread::sleep_for(100ms);
        // Nothing to play on: the presses fail quietly.
        EXPECT_FALSE(player.start(click, 1.0f));
        EXPECT_FALSE(player.start(click, 1.0f));
    }
    PulseSoundPlayer player;
    ASSERT_TRUE(waitReady(player));
    EXPECT_TRUE(player.start(click, 1.0f));
    // The server restarts under the player.
    ASSERT_TRUE(session.restartAudio());
    std::this_thread::sleep_for(300ms);
    player.start(click, 1.0f);  // notices the loss and reconnects
    ASSERT_TRUE(waitReady(player));
    MonitorRecorder recorder(session);
    ASSERT_TRUE(recorder.ok());
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(player.start(click, 1.0f));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(findOnsets(recorder.stop(), 0.2f, 4800).size(), 1u);
}

}  // namespace
}  // namespace tapsound::test
