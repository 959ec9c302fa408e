// soundset.plist: reading it, and the key-code table built from it.
#include "soundset/key_code_table.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>

#include "tests/support/sound_files.h"

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

// Beside the draws that playback checks at their boundaries.
TEST(KeyCodeTable, ThresholdsFollowTheWorkedExamples) {
    using T = std::vector<double>;
    EXPECT_EQ(thresholdsFor({n(1), n(2), n(1)}), (T{536870911, 1610612734, 1}));
    EXPECT_EQ(thresholdsFor({n(3), n(1)}), (T{1610612735, 1}));
    EXPECT_EQ(thresholdsFor({n(1), n(1), n(1)}), (T{715827882, 1431655764, 1}));
    EXPECT_EQ(thresholdsFor({n(1), n(1), n(1), n(1)}), (T{536870911, 1073741822, 1610612733, 1}));
    EXPECT_EQ(thresholdsFor({n(1), n(1), n(0)}), (T{1073741823, 2147483646, 0}));
    EXPECT_EQ(thresholdsFor({n(0), n(0), n(0)}), (T{0, 0, 0}));
    // Weights read as numbers: strings by their leading decimal number (no hex, inf or nan), else
    // 0; booleans as 1 or 0; negative ones as 1.
    EXPECT_EQ(thresholdsFor({str("3"), PlistValue::boolean(true)}), (T{1610612735, 1}));
    EXPECT_EQ(thresholdsFor({str("0x10"), str("inf"), str("nan"), str(".5"), str("  1e")}),
              (T{0, 0, 0, 715827882, 1}));
    EXPECT_EQ(thresholdsFor({str(" 2.5kg"), str("heavy"), PlistValue::integer(-4)}),
              (T{1533916890, 1533916890, 1}));
}

TEST(KeyCodeTable, KeysNamesAndOddValuesEachFillTheirSlotOrLeaveItEmpty) {
    const auto sounds = soundsNamed({"hex", "HEX", "dec", "x", "key.1", "key", "Click", "a", "b"});
    const double inf = std::numeric_limits<double>::infinity();
    PlistDictionary soundset;
    const std::pair<const char*, const char*> named[] = {
        {"*", "a"},      {"10", "hex"},       {"010", "dec"}, {"0a", "hex"},  {"0A", "HEX"},
        {"0B", "HEX"},   {"011", "dec"},      {"0c", "x"},    {"012", "dec"}, {"255", "dec"},
        {"aF", "x"},     {"256", "x"},        {"0x0d", "x"},  {"1", "x"},     {"Return", "x"},
        {"20", "key.1"}, {"21", "key.1.wav"}, {"22", "click"}};
    for (const auto& [key, name] : named) soundset.emplace(key, str(name));
    soundset.emplace("23", list({str("key"), str("key")}));
    soundset.emplace("30", list({}));
    soundset.emplace("31", list({str("nope"), str("none")}));
    soundset.emplace("32", list({str("a"), PlistValue::integer(3), list({str("b")})}));
    soundset.emplace("33", list({PlistValue::integer(1), list({str("b")}), list({}),
                                 list({PlistValue::integer(2)}), pair("a", PlistValue::date(0)),
                                 pair("a", PlistValue::integer(2))}));
    soundset.emplace("34", list({pair("a", n(inf)), pair("b", n(NAN)), pair("a", n(1e308)),
                                 pair("b", n(1e308))}));
    soundset.emplace("35", PlistValue::dictionary({{"a", str("a")}}));
    const KeyArray table = createKeyCodeArray(&sounds, &soundset);
    // Two digits are hexadecimal, "0a" wins over "0A" and "010", "0B" over "011"; other spellings
    // are no keys. A name finds its sound without its last extension, case counts, and a missing
    // name silences its key despite the default. Of a list only what resolves counts, and a list
    // in which nothing does leaves the slot empty; a dictionary is no slot value.
    const std::pair<int, const char*> cases[] = {
        {16, "hex"}, {10, "hex"}, {11, "HEX"}, {12, "x"},     {255, "dec"},    {1, "a"},
        {13, "a"},   {175, "a"},  {32, "key"}, {33, "key.1"}, {34, ""},        {35, "key key"},
        {48, ""},    {49, ""},    {50, "a"},   {51, "b a"},   {52, "a b a b"}, {53, ""}};
    for (const auto& [code, names] : cases) {
        std::istringstream in(names);
        std::vector<SoundRef> expected;
        for (std::string name; in >> name;) expected.push_back(sounds.at(name));
        EXPECT_EQ(table[code] ? table[code]->sounds : std::vector<SoundRef>{}, expected) << code;
    }
    EXPECT_EQ(table[51]->thresholds, std::vector<std::int32_t>{715827882});
    EXPECT_EQ(table[51]->lastWeight, 2);
    EXPECT_TRUE(std::is_sorted(table[52]->thresholds.begin(), table[52]->thresholds.end()));
    EXPECT_EQ(table[7], table[200]);  // untouched keys share the default
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

std::optional<PlistValue> parse(const std::string& bytes) {
    return platform::propertyListWithBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                           bytes.size());
}

TEST(PropertyList, BrokenFilesAreAbsentAndNeverWaitedOn) {
    test::TempDir dir;
    const std::string xml = test::readBytes(TAPSOUND_TEST_DATA "/draws.plist");
    const std::string binary = test::binaryPropertyList(xml);
    const std::string cases[] = {
        "",
        "\x01\x02 not a plist at all",
        xml.substr(0, xml.size() / 2),
        binary.substr(0, binary.size() - 12),
        "bplist00",
        "<plist version=\"1.0\"><array><string>a</string></array></plist>",
        "<plist version=\"1.0\"><string>a</string></plist>",
    };
    for (const auto& bytes : cases) {
        ASSERT_TRUE(test::writeBytes(dir.file("broken"), bytes));
        EXPECT_FALSE(platform::dictionaryWithContentsOfFile(dir.file("broken"))) << bytes;
    }
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    for (const auto& path : {dir.file("missing"), dir.path(), dir.file("fifo")}) {
        EXPECT_FALSE(platform::dictionaryWithContentsOfFile(path)) << path;
    }
}

TEST(PropertyList, DeepNestingIsRefusedNotRecursedInto) {
    for (const auto& [depth, readable] : {std::pair{200000, false}, std::pair{100, true}}) {
        std::string xml = "<plist version=\"1.0\"><dict><key>00</key>";
        for (int i = 0; i < depth; ++i) xml += "<array>";
        for (int i = 0; i < depth; ++i) xml += "</array>";
        EXPECT_EQ(parse(xml + "</dict></plist>").has_value(), readable) << depth;
    }
}

}  // namespace
}  // namespace tapsound
