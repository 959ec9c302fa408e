// The audio outputs against real private servers, PulseAudio and PipeWire: what is started is heard
// on the sink, whole from its first frame, and an idle output lets the sink suspend.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <thread>

#include "platform/audio_output_pipewire.h"
#include "platform/audio_output_pulse.h"
#include "platform/audio_outputs.h"
#include "tests/support/private_session.h"
#include "tests/support/sound_files.h"

namespace tapsound::test {
namespace {

using namespace std::chrono_literals;
using platform::PipeWireSoundPlayer;
using platform::PulseSoundPlayer;
using platform::SampleBuffer;

struct Output {
    std::shared_ptr<platform::SoundPlayer> player;
    std::function<bool()> ready, idle;  // idle: corked, or the node inactive
};

Output makeOutput(bool pipewire) {
    if (pipewire) {
        auto player = std::make_shared<PipeWireSoundPlayer>();
        return {player, [player] { return player->ready(); },
                [player] { return !player->active(); }};
    }
    auto player = std::make_shared<PulseSoundPlayer>();
    return {player, [player] { return player->ready(); }, [player] { return player->corked(); }};
}

float peak(const std::vector<float>& samples, std::size_t fromFrame) {
    float level = 0;
    for (std::size_t i = fromFrame * 2; i < std::min(samples.size(), (fromFrame + 2000) * 2); ++i) {
        level = std::max(level, std::fabs(samples[i]));
    }
    return level;
}

// Noise never near zero, so the first frame heard above the floor is the sound's own first.
std::shared_ptr<const SampleBuffer> noise(std::size_t frames, unsigned seed) {
    auto buffer = std::make_shared<SampleBuffer>();
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> magnitude(0.05f, 0.3f);
    for (std::size_t i = 0; i < frames * 2; ++i)
        buffer->samples.push_back(random() % 2 ? magnitude(random) : -magnitude(random));
    buffer->samples[0] = buffer->samples[1] = 0.3f;
    return buffer;
}

std::shared_ptr<const SampleBuffer> level(std::size_t frames, float value) {
    auto buffer = std::make_shared<SampleBuffer>();
    buffer->samples.assign(frames * 2, value);
    return buffer;
}

// From `from` on, finds where the sound departs from `floor` and counts its samples not heard
// exactly over the floor there, lined up with the sound's frame `head` at best (0 to maxHead).
// Frames the recorder itself missed are neither heard nor misheard; when it missed the sound's
// start, every start within that gap is tried.
int misheard(const std::vector<float>& heard, const MonitorRecorder& recorder, std::size_t from,
             float floor, const SampleBuffer& sound, std::size_t maxHead) {
    const std::size_t frames = heard.size() / 2;
    std::size_t at = from;
    while (at < frames && (recorder.lost(at) || std::fabs(heard[at * 2] - floor) < 0.02f)) ++at;
    std::size_t earliest = at;
    while (earliest > from && recorder.lost(earliest - 1)) --earliest;
    int fewest = -1;
    for (std::size_t start = earliest; start <= at; ++start) {
        for (std::size_t head = 0; head <= maxHead; ++head) {
            const std::size_t length = sound.frameCount() - head;
            if (start + length > frames) break;
            int wrong = 0;
            for (std::size_t i = 0; i < length; ++i) {
                if (recorder.lost(start + i)) continue;
                for (std::size_t c = 0; c < 2; ++c) {
                    wrong += std::fabs(heard[(start + i) * 2 + c] - floor -
                                       sound.samples[(head + i) * 2 + c]) > 1e-3f;
                }
            }
            if (fewest < 0 || wrong < fewest) fewest = wrong;
        }
    }
    return fewest;
}

class AudioOutput : public testing::TestWithParam<bool> {};

TEST_P(AudioOutput, PressesAreHeardAtOnceAtTheirVolumeOverlapsSumAndTheServerIsFoundByItself) {
    PrivateSession session{{.display = false, .audio = false, .pipewire = GetParam()}};
    ASSERT_TRUE(session.ok()) << session.error();
    const auto click = level(2400, 0.5f);  // sums alike however its copies line up
    Output output = makeOutput(GetParam());
    auto& player = *output.player;
    EXPECT_FALSE(player.start(click, 1.0f));  // nothing to play on yet: fails quietly
    // The server comes up after the player: it is found with no press.
    ASSERT_TRUE(session.restartAudio()) << session.error();
    ASSERT_TRUE(waitFor(output.ready, 5s));
    // The ordered choice: PipeWire when its daemon answers, unless overridden.
    for (const char* chosen : {"", "pulse", "pipewire"}) {
        setenv("TAPSOUND_AUDIO", chosen, 1);
        const bool pipewire =
            dynamic_cast<PipeWireSoundPlayer*>(platform::chooseSoundPlayer().get());
        EXPECT_EQ(pipewire, *chosen ? chosen == std::string("pipewire") : GetParam()) << chosen;
    }
    MonitorRecorder recorder(session, 1024);
    // Three presses from idle, one at a quarter of the volume; two at once sum; two loud ones at
    // once bend below full scale instead of clipping.
    const std::vector<std::vector<float>> presses = {{1}, {1}, {1}, {0.25f}, {0.4f, 0.4f}, {1, 1}};
    for (const auto& volumes : presses) {
        for (float volume : volumes) EXPECT_TRUE(player.start(click, volume));
        // Apart enough that a press from idle, late while a busy daemon wakes the node, stays
        // its own onset.
        std::this_thread::sleep_for(400ms);
    }
    std::this_thread::sleep_for(150ms);
    const auto samples = recorder.stop();
    const auto onsets = findOnsets(samples, 0.02f, 4800, &recorder);
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
    const auto background = findOnsets(heard, 0.01f, 48000, &busy);
    const auto loud = findOnsets(heard, 0.2f, 4800, &busy);
    ASSERT_EQ(findOnsets(heard, 0.02f, 4800, &busy).size(), 1u);  // the quiet tone stays under it
    ASSERT_EQ(loud.size(), 1u);
    ASSERT_FALSE(background.empty());
    // The click lands about 300 ms after the tone began: not a queue's length later.
    const double gapMs = (static_cast<double>(loud[0]) - static_cast<double>(background[0])) / 48.0;
    EXPECT_GT(gapMs, 280.0);
    EXPECT_LT(gapMs, 340.0);

    // The server restarts under a long tone: found again with no press, the tone lost with it
    // does not come back, and the first press plays.
    EXPECT_TRUE(player.start(toneBuffer(6.0, 300, 0.5f), 1.0f));
    ASSERT_TRUE(session.restartAudio()) << session.error();
    ASSERT_TRUE(waitFor(output.ready, 5s));
    MonitorRecorder again(session);
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(player.start(click, 1.0f));
    std::this_thread::sleep_for(300ms);
    const auto after = findOnsets(again.stop(), 0.2f, 4800, &again);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_GT(after[0], 4800u);
}

TEST_P(AudioOutput, EverySoundIsHeardFromItsFirstFrameAndAnIdleOutputLetsTheSinkSuspend) {
    PrivateSession session{
        {.display = false, .audio = true, .pipewire = GetParam(), .keepAwake = false}};
    ASSERT_TRUE(session.ok()) << session.error();
    Output output = makeOutput(GetParam());
    ASSERT_TRUE(waitFor(output.ready, 5s));
    const auto floor = level(16800, 0.1f);
    std::vector<std::shared_ptr<const SampleBuffer>> clicks;
    // On PipeWire the graph runs at the quantum most desktops run it at (music or a call playing);
    // at 64 frames a cycle the graph itself drops cycles on a busy machine, whoever plays.
    MonitorRecorder recorder(session, 1024);
    // Each click lands at a random moment on a steady level already queued or in the graph.
    std::mt19937 random(21);
    for (unsigned i = 0; i < 12; ++i) {
        clicks.push_back(noise(960, i));
        EXPECT_TRUE(output.player->start(floor, 1.0f));
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 280));
        EXPECT_TRUE(output.player->start(clicks.back(), 1.0f));
        // Long enough that each level stays its own onset even when it began late, as one
        // started from idle does while a busy daemon wakes the node (the click then lands on
        // its first frame).
        std::this_thread::sleep_for(700ms);
    }
    // Corked (or inactive) a moment after the last sound; the next press wakes it whole.
    EXPECT_TRUE(waitFor(output.idle, 2s));
    // A press at volume 0 (the slider at its left end) is no reason to wake anything.
    EXPECT_TRUE(output.player->start(clicks.back(), 0.0f));
    EXPECT_TRUE(output.idle());
    clicks.push_back(noise(960, 99));
    EXPECT_TRUE(output.player->start(clicks.back(), 1.0f));
    std::this_thread::sleep_for(500ms);
    const auto heard = recorder.stop();
    // What the recorder missed (a cycle it slept through on a busy machine) is its own failing,
    // told apart from the output's; it must still have heard nearly everything.
    RecordProperty("recorder_lost_frames", static_cast<int>(recorder.lostFrames()));
    EXPECT_LT(recorder.lostFrames(), heard.size() / 2 / 20) << "the recorder itself missed these";
    const auto onsets = findOnsets(heard, 0.05f, 4800, &recorder);
    ASSERT_EQ(onsets.size(), clicks.size());
    for (std::size_t i = 0; i + 1 < clicks.size(); ++i)
        EXPECT_EQ(misheard(heard, recorder, onsets[i], 0.1f, *clicks[i], 0), 0) << i;
    // PulseAudio rewinds the sink to play a stream that starts at once: the monitor has already
    // sent on the few milliseconds it takes back, so it shows the sound from a little way in.
    EXPECT_EQ(misheard(heard, recorder, onsets.back(), 0.0f, *clicks.back(), GetParam() ? 0 : 480),
              0);
    // With nothing playing the sink suspends on the server's own timeout, and a press resumes it.
    EXPECT_TRUE(waitFor([&] { return session.sinkSuspended(); }, 5s));
    EXPECT_TRUE(output.player->start(clicks.back(), 1.0f));
    EXPECT_TRUE(waitFor([&] { return !session.sinkSuspended(); }, 2s));
}

INSTANTIATE_TEST_SUITE_P(Servers, AudioOutput, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PipeWire" : "PulseAudio"; });

}  // namespace
}  // namespace tapsound::test
