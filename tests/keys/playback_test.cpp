#include <gtest/gtest.h>

#include <QSlider>
#include <limits>

#include "tests/support/fake_platform.h"

namespace tapsound {
namespace {

using platform::PlistValue;
using test::ControllerRig;

struct Playback : ::testing::Test {
    // Sounds a, b, c (and a default d) in a sound folder, mapped by a soundset dictionary.
    void load(platform::PlistDictionary soundset) {
        for (const char* name : {"a", "b", "c", "d"}) {
            const std::string path = rig.dir.file(std::string(name) + ".wav");
            test::writeBytes(path, "sound");
            sounds[name] = rig.loader.initWithContentsOfFile(path);
        }
        rig->awakeFromNib();
        rig->createKeyCodeArrayWithSoundsDictSoundsetDict(&sounds, &soundset);
    }
    const platform::SampleBuffer* buffer(const char* name) { return sounds[name]->samples().get(); }
    const platform::SampleBuffer* playKey(int code, int r) {
        rig.randValues.push_back(r);
        const std::size_t before = rig.player->started.size();
        rig->playSoundWithKeyCode(code);
        if (rig.player->started.size() == before) return nullptr;
        return rig.player->started.back().samples;
    }
    static PlistValue names(std::initializer_list<const char*> list) {
        platform::PlistArray array;
        for (const char* name : list) array.push_back(PlistValue::string(name));
        return PlistValue::array(std::move(array));
    }
    static PlistValue pairs(std::initializer_list<std::pair<const char*, double>> list) {
        platform::PlistArray array;
        for (const auto& [name, weight] : list) {
            array.push_back(PlistValue::array({PlistValue::string(name), PlistValue::real(weight)}));
        }
        return PlistValue::array(std::move(array));
    }

    ControllerRig rig;
    SoundsDictionary sounds;
};

TEST_F(Playback, EqualWeightsSplitAtTheStoredThreshold) {
    load({{"00", names({"a", "b"})}});
    EXPECT_EQ(playKey(0, 0), buffer("a"));
    // R = trunc(r * 2^-31 * 2147483647): the first r that reaches 1073741823 plays b.
    EXPECT_EQ(playKey(0, 1073741823), buffer("a"));
    EXPECT_EQ(playKey(0, 1073741824), buffer("b"));
    EXPECT_EQ(playKey(0, 2147483647), buffer("b"));
    EXPECT_EQ(rig.randCalls, 4);
}

TEST_F(Playback, LeadingZeroWeightIsNeverChosenAndLastTakesTheRest) {
    load({{"01", pairs({{"a", 0}, {"b", 1}, {"c", 0}})}, {"05", pairs({{"a", 1}, {"b", 1}, {"c", 0}})}});
    EXPECT_EQ(playKey(1, 0), buffer("b"));
    // A threshold of 2147483647 before the last sound keeps the last from ever playing...
    EXPECT_EQ(playKey(1, 2147483647), buffer("b"));
    // ...but truncation leaves 2147483646, so the highest draw reaches a last weight of 0.
    EXPECT_EQ(playKey(5, 2147483646), buffer("b"));
    EXPECT_EQ(playKey(5, 2147483647), buffer("c"));
}

TEST_F(Playback, SingleWeightedSoundStillDrawsOnce) {
    load({{"02", pairs({{"c", 5}})}});
    EXPECT_EQ(playKey(2, 12345), buffer("c"));
    EXPECT_EQ(rig.randCalls, 1);
}

TEST_F(Playback, SingleSoundSlotsDrawNothingAndEmptySlotsAreSilent) {
    load({{"*", PlistValue::string("d")}, {"03", PlistValue::string("missing")}});
    EXPECT_EQ(playKey(9, 77), buffer("d"));
    EXPECT_EQ(playKey(3, 77), nullptr);
    EXPECT_EQ(rig.randCalls, 0);
}

TEST_F(Playback, KeyCodesBeyondTheTableAreIgnored) {
    load({{"*", PlistValue::string("d")}});
    EXPECT_EQ(playKey(255, 0), buffer("d"));
    EXPECT_EQ(playKey(256, 0), nullptr);
    EXPECT_EQ(playKey(65535, 0), nullptr);
    EXPECT_EQ(playKey(-1, 0), nullptr);
}

TEST_F(Playback, EachPressPlaysAFreshCopyAtTheVolumeOfThatMoment) {
    load({{"*", PlistValue::string("d")}});
    rig->slider()->setValue(200);
    rig->playSoundWithKeyCode(4);
    rig->playSoundWithKeyCode(4);  // overlaps the first
    rig->slider()->setValue(0);
    rig->playSoundWithKeyCode(4);  // silent, but still started
    ASSERT_EQ(rig.player->started.size(), 3u);
    EXPECT_FLOAT_EQ(rig.player->started[0].volume, 0.2f);
    EXPECT_FLOAT_EQ(rig.player->started[1].volume, 0.2f);
    EXPECT_FLOAT_EQ(rig.player->started[2].volume, 0.0f);
    // The stored sound keeps its own volume: only copies are played.
    EXPECT_FLOAT_EQ(sounds["d"]->volume(), 1.0f);
}

TEST_F(Playback, ExcessiveStoredVolumeIsClampedWhenPlayed) {
    rig.defaults.setFloatForKey(50.0f, "volume");
    load({{"*", PlistValue::string("d")}});
    rig->playSoundWithKeyCode(4);
    rig.defaults.setFloatForKey(std::numeric_limits<float>::quiet_NaN(), "volume");
    rig->updateInstanceValues();
    rig->playSoundWithKeyCode(4);
    ASSERT_EQ(rig.player->started.size(), 2u);
    EXPECT_FLOAT_EQ(rig.player->started[0].volume, 1.0f);
    EXPECT_FLOAT_EQ(rig.player->started[1].volume, 0.0f);
}

}  // namespace
}  // namespace tapsound
