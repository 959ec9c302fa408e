#include "soundset/key_code_table.h"

#include <gtest/gtest.h>

#include <limits>

namespace tapsound {
namespace {

using platform::PlistArray;
using platform::PlistDictionary;
using platform::PlistValue;

SoundRef sound() {
    return std::make_shared<platform::Sound>(std::make_shared<platform::SampleBuffer>(), nullptr);
}

SoundsDictionary soundsNamed(std::initializer_list<const char*> names) {
    SoundsDictionary sounds;
    for (const char* name : names) sounds[name] = sound();
    return sounds;
}

PlistValue str(const char* s) { return PlistValue::string(s); }
PlistValue n(double v) { return PlistValue::real(v); }
PlistValue list(PlistArray items) { return PlistValue::array(std::move(items)); }
PlistValue pair(const char* name, PlistValue weight) {
    return list({str(name), std::move(weight)});
}

// The threshold list as stored: the cumulative thresholds, then the last sound's own weight.
std::vector<double> thresholdsFor(std::vector<PlistValue> weights) {
    SoundsDictionary sounds;
    PlistArray pairs;
    for (std::size_t i = 0; i < weights.size(); ++i) {
        const std::string name = "s" + std::to_string(i);
        sounds[name] = sound();
        pairs.push_back(list({PlistValue::string(name), weights[i]}));
    }
    const PlistDictionary soundset{{"00", list(pairs)}};
    const SlotRef slot = createKeyCodeArray(&sounds, &soundset)[0];
    std::vector<double> result(slot->thresholds.begin(), slot->thresholds.end());
    result.push_back(slot->lastWeight);
    return result;
}

TEST(KeyCodeTable, ThresholdsFollowTheWorkedExamples) {
    using T = std::vector<double>;
    EXPECT_EQ(thresholdsFor({n(1), n(1)}), (T{1073741823, 1}));
    EXPECT_EQ(thresholdsFor({n(1), n(2), n(1)}), (T{536870911, 1610612734, 1}));
    EXPECT_EQ(thresholdsFor({n(3), n(1)}), (T{1610612735, 1}));
    EXPECT_EQ(thresholdsFor({n(1), n(1), n(1)}), (T{715827882, 1431655764, 1}));
    EXPECT_EQ(thresholdsFor({n(1), n(1), n(1), n(1)}), (T{536870911, 1073741822, 1610612733, 1}));
    EXPECT_EQ(thresholdsFor({n(1), n(0)}), (T{2147483647, 0}));
    EXPECT_EQ(thresholdsFor({n(1), n(1), n(0)}), (T{1073741823, 2147483646, 0}));
    EXPECT_EQ(thresholdsFor({n(0), n(1)}), (T{0, 1}));
    EXPECT_EQ(thresholdsFor({n(5)}), (T{5}));
    EXPECT_EQ(thresholdsFor({n(0), n(0), n(0)}), (T{0, 0, 0}));
    // Weights read as numbers: strings by their leading number, booleans as 1 or 0; negative as 1.
    EXPECT_EQ(thresholdsFor({str("3"), PlistValue::boolean(true)}), (T{1610612735, 1}));
    EXPECT_EQ(thresholdsFor({str(" 2.5kg"), str("heavy"), PlistValue::integer(-4)}),
              (T{1533916890, 1533916890, 1}));
}

TEST(KeyCodeTable, LookupKeysAndTheirOrder) {
    const auto sounds = soundsNamed({"hex", "HEX", "dec", "x"});
    const PlistDictionary soundset{
        {"10", str("hex")},   {"010", str("dec")}, {"0a", str("hex")}, {"0A", str("HEX")},
        {"0B", str("HEX")},   {"011", str("dec")}, {"0c", str("x")},   {"012", str("dec")},
        {"aF", str("x")},     {"256", str("x")},   {"0x0d", str("x")}, {"1", str("x")},
        {"Return", str("x")}, {"255", str("dec")},
    };
    const KeyArray table = createKeyCodeArray(&sounds, &soundset);
    auto soundOf = [&](int code) { return table[code] ? table[code]->sounds[0] : nullptr; };
    EXPECT_EQ(soundOf(16), sounds.at("hex"));  // two digits are hexadecimal
    EXPECT_EQ(soundOf(10), sounds.at("hex"));  // "0a" wins over "0A" and "010"
    EXPECT_EQ(soundOf(11), sounds.at("HEX"));  // "0B" wins over "011"
    EXPECT_EQ(soundOf(12), sounds.at("x"));    // "0c" wins over "012"
    EXPECT_EQ(soundOf(255), sounds.at("dec"));
    for (int code : {1, 13, 175}) EXPECT_EQ(soundOf(code), nullptr) << code;
}

TEST(KeyCodeTable, NamesResolveWithoutTheirLastExtension) {
    const auto sounds = soundsNamed({"key.1", "key", "Click"});
    const PlistDictionary soundset{
        {"00", str("key.1")},                    // finds "key"
        {"01", str("key.1.wav")},                // finds "key.1"
        {"02", str("click")},                    // case counts
        {"03", list({str("key"), str("key")})},  // twice is twice
    };
    const KeyArray table = createKeyCodeArray(&sounds, &soundset);
    EXPECT_EQ(table[0]->sounds[0], sounds.at("key"));
    EXPECT_EQ(table[1]->sounds[0], sounds.at("key.1"));
    EXPECT_EQ(table[2], nullptr);
    EXPECT_EQ(table[3]->sounds, (std::vector<SoundRef>{sounds.at("key"), sounds.at("key")}));
}

TEST(KeyCodeTable, NothingToPlayLeavesEverySlotEmpty) {
    const auto sounds = soundsNamed({"click"});
    const PlistDictionary empty, onlyDefault{{"*", str("click")}};
    for (const KeyArray& table :
         {createKeyCodeArray(&sounds, nullptr), createKeyCodeArray(&sounds, &empty),
          createKeyCodeArray(nullptr, nullptr), createKeyCodeArray(nullptr, &onlyDefault)}) {
        for (const SlotRef& slot : table) EXPECT_EQ(slot, nullptr);
    }
}

TEST(KeyCodeTable, OddListsNeverMakeAnEmptyWeightedSlot) {
    const auto sounds = soundsNamed({"a", "b"});
    const PlistDictionary soundset{
        {"*", str("a")},
        {"00", list({})},                                                    // empty
        {"01", list({str("nope"), str("none")})},                            // nothing resolves
        {"02", list({str("a"), PlistValue::integer(3), list({str("b")})})},  // only strings count
        {"03",
         list({PlistValue::integer(1), list({str("b")}), list({}), list({PlistValue::integer(2)}),
               pair("a", PlistValue::date(0)), pair("a", PlistValue::integer(2))})},
        {"04", list({pair("a", n(std::numeric_limits<double>::infinity())),
                     pair("b", n(std::numeric_limits<double>::quiet_NaN())), pair("a", n(1e308)),
                     pair("b", n(1e308))})},
        {"05", PlistValue::dictionary({{"a", str("a")}})},
    };
    const KeyArray table = createKeyCodeArray(&sounds, &soundset);
    EXPECT_EQ(table[0], nullptr);
    EXPECT_EQ(table[1], nullptr);
    EXPECT_EQ(table[2]->sounds, std::vector<SoundRef>{sounds.at("a")});
    EXPECT_EQ(table[3]->sounds, (std::vector<SoundRef>{sounds.at("b"), sounds.at("a")}));
    EXPECT_EQ(table[3]->thresholds, std::vector<std::int32_t>{715827882});
    EXPECT_EQ(table[3]->lastWeight, 2);
    ASSERT_EQ(table[4]->sounds.size(), 4u);
    for (std::size_t i = 1; i < table[4]->thresholds.size(); ++i) {
        EXPECT_GE(table[4]->thresholds[i], table[4]->thresholds[i - 1]);
    }
    EXPECT_EQ(table[5], nullptr);
    EXPECT_EQ(table[6], table[255]);  // untouched keys share the default
}

}  // namespace
}  // namespace tapsound
