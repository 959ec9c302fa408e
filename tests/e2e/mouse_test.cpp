// The real program with a keyboard set and a MechvibesDX mouse pack, buttons clicked and keys
// typed with xdotool, each sound told on the private null sink by its pitch.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>

#include "tests/support/private_session.h"

namespace tapsound {
namespace {

// The pitch at each onset, from zero crossings over 40 ms of the left channel.
std::vector<int> pitches(const std::vector<float>& stereo) {
    std::vector<int> heard;
    for (const std::size_t onset : test::findOnsets(stereo, 0.01f, 4800)) {
        int crossings = 0;
        for (std::size_t f = onset + 240; f < onset + 2160 && 2 * f + 2 < stereo.size(); ++f)
            crossings += (stereo[2 * f] < 0) != (stereo[2 * f + 2] < 0);
        heard.push_back(static_cast<int>(std::lround(crossings / 2 / 0.04 / 250)) * 250);
    }
    return heard;
}

TEST(MouseClicks, EachButtonPlaysItsOwnSoundTheWheelNoneAndKeysTheirSet) {
    test::PrivateSession session;
    ASSERT_TRUE(session.ok()) << session.error();
    session.programConfig();
    const std::string keys = session.dir() + "/key.wav", pack = session.dir() + "/Clicks";
    ASSERT_TRUE(test::writeTone(keys, {.seconds = 0.08, .frequency = 3000}));
    // Left: its press at 0-80 ms of its file, its release at 200-280 ms.
    std::vector<float> left(44100 * 28 / 100);
    for (std::size_t i = 0; i < left.size(); ++i) {
        const double hz = i < 3528 ? 500 : i >= 8820 ? 750 : 0;
        left[i] = static_cast<float>(0.5 * std::sin(2 * M_PI * hz * i / 44100));
    }
    ASSERT_TRUE(
        test::writeSamples(pack + "/left.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1, left));
    ASSERT_TRUE(test::writeTone(pack + "/right.wav", {.seconds = 0.08, .frequency = 1000}));
    ASSERT_TRUE(test::writeTone(pack + "/middle.wav", {.seconds = 0.08, .frequency = 2000}));
    test::writeBytes(pack + "/config.json", R"({"config_version": "2", "definition_method": "multi",
        "soundpack_type": "Mouse", "definitions": {
        "MouseLeft": {"audio_file": "left.wav", "timing": [[0, 80], [200, 280]]},
        "MouseRight": {"audio_file": "right.wav"}, "MouseMiddle": {"audio_file": "middle.wav"}}})");

    pid_t pid = test::spawn({TAPSOUND_BINARY}, session.dir() + "/tapsound.log");
    const struct Stop {
        pid_t& pid;
        ~Stop() { test::stopProcess(pid); }
    } stop{pid};
    ASSERT_TRUE(session.tapsoundConnected()) << test::readBytes(session.dir() + "/tapsound.log");
    // A later start hands its path over and ends once that is loaded.
    EXPECT_EQ(test::run({"timeout", "20", TAPSOUND_BINARY, keys}), 0);
    EXPECT_EQ(test::run({"timeout", "20", TAPSOUND_BINARY, pack}), 0);

    test::MonitorRecorder recorder(session);
    // Away from the no-tray window; the wheel last, then time for the last sound to arrive.
    EXPECT_EQ(test::run({"sh", "-c",
                         "xdotool mousemove 1270 790 mousedown 1 sleep 0.4 mouseup 1 sleep 0.4 "
                         "click 3 sleep 0.4 click 2 sleep 0.4 key a sleep 0.4 click 4 click 5 "
                         "click 4 sleep 1.5"}),
              0);
    EXPECT_EQ(pitches(recorder.stop()), (std::vector<int>{500, 750, 1000, 2000, 3000}));
    EXPECT_EQ(test::stopProcess(pid), 0);
}

}  // namespace
}  // namespace tapsound
