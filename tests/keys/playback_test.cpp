#include <gtest/gtest.h>

#include <QSlider>

#include "tests/support/fake_platform.h"

namespace tapsound {
namespace {

using platform::PlistValue;

PlistValue names(std::initializer_list<const char*> list) {
    platform::PlistArray array;
    for (const char* name : list) array.push_back(PlistValue::string(name));
    return PlistValue::array(std::move(array));
}

PlistValue pairs(std::initializer_list<std::pair<const char*, double>> list) {
    platform::PlistArray array;
    for (const auto& [name, weight] : list) {
        array.push_back(PlistValue::array({PlistValue::string(name), PlistValue::real(weight)}));
    }
    return PlistValue::array(std::move(array));
}

// Sounds a, b, c and a default d, mapped by a soundset dictionary.
struct Playback : ::testing::Test {
    void SetUp() override {
        for (const char* name : {"a", "b", "c", "d"}) {
            const std::string path = rig.dir.file(std::string(name) + ".wav");
            test::writeBytes(path, "sound");
            sounds[name] = rig.loader.initWithContentsOfFile(path);
        }
        rig->awakeFromNib();
        const platform::PlistDictionary soundset{
            {"*", PlistValue::string("d")},
            {"00", names({"a", "b"})},
            {"01", pairs({{"a", 0}, {"b", 1}, {"c", 0}})},
            {"02", pairs({{"c", 5}})},
            {"03", PlistValue::string("missing")},
            {"05", pairs({{"a", 1}, {"b", 1}, {"c", 0}})},
        };
        rig->createKeyCodeArrayWithSoundsDictSoundsetDict(&sounds, &soundset);
    }
    test::ControllerRig rig;
    SoundsDictionary sounds;
};

TEST_F(Playback, TheDrawPicksTheFirstSoundWhoseThresholdExceedsIt) {
    const struct {
        int key, r;
        const char* plays;  // nullptr: silent
        int draws;
    } cases[] = {
        // R = trunc(r * 2^-31 * 2147483647): the first r that reaches 1073741823 plays b.
        {0, 0, "a", 1},
        {0, 1073741823, "a", 1},
        {0, 1073741824, "b", 1},
        {0, 2147483647, "b", 1},
        // A leading zero weight is never chosen; a threshold of 2147483647 before the last sound
        // keeps the last from playing, but truncation leaves 2147483646 so the top draw reaches a
        // last weight of 0.
        {1, 0, "b", 1},
        {1, 2147483647, "b", 1},
        {5, 2147483646, "b", 1},
        {5, 2147483647, "c", 1},
        {2, 12345, "c", 1},  // a single weighted sound still draws
        {9, 77, "d", 0},
        {255, 0, "d", 0},
        {3, 77, nullptr, 0},
        {256, 0, nullptr, 0},
        {65535, 0, nullptr, 0},
        {-1, 0, nullptr, 0},
    };
    for (const auto& c : cases) {
        rig.randValues = {c.r};
        rig.randCalls = 0;
        rig.player->started.clear();
        rig->playSoundWithKeyCode(c.key);
        SCOPED_TRACE(testing::Message() << "key " << c.key << " r " << c.r);
        EXPECT_EQ(rig.randCalls, c.draws);
        if (!c.plays) {
            EXPECT_TRUE(rig.player->started.empty());
            continue;
        }
        ASSERT_EQ(rig.player->started.size(), 1u);
        EXPECT_EQ(rig.player->started[0].samples, sounds[c.plays]->samples().get());
    }
}

TEST_F(Playback, EachPressPlaysAFreshCopyAtTheVolumeOfThatMoment) {
    rig->slider()->setValue(200);
    rig->playSoundWithKeyCode(4);
    rig->playSoundWithKeyCode(4);  // overlaps the first
    rig->slider()->setValue(0);
    rig->playSoundWithKeyCode(4);  // silent, but still started
    ASSERT_EQ(rig.player->started.size(), 3u);
    EXPECT_FLOAT_EQ(rig.player->started[0].volume, 0.2f);
    EXPECT_FLOAT_EQ(rig.player->started[1].volume, 0.2f);
    EXPECT_FLOAT_EQ(rig.player->started[2].volume, 0.0f);
}

}  // namespace
}  // namespace tapsound
