// The key-code table built from a soundset.plist.
#include "soundset/key_code_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace tapsound {
namespace {

using platform::PlistValue;

std::optional<PlistValue> parse(const std::string& bytes) {
    return platform::propertyListWithBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                           bytes.size());
}

SoundsDictionary soundsNamed(std::initializer_list<std::string> names) {
    SoundsDictionary sounds;
    for (const auto& name : names)
        sounds[name] = std::make_shared<platform::Sound>(nullptr, nullptr);
    return sounds;
}

// The threshold list of a slot of sounds with these weights (numbers, or XML values): the
// cumulative thresholds, then the last sound's own weight.
std::vector<double> thresholdsFor(std::initializer_list<std::string> weights) {
    std::string xml = "<plist><dict><key>00</key><array>";
    SoundsDictionary sounds;
    for (const auto& weight : weights) {
        const std::string name = "s" + std::to_string(sounds.size());
        sounds[name] = std::make_shared<platform::Sound>(nullptr, nullptr);
        xml += "<array><string>" + name + "</string>" +
               (weight[0] == '<' ? weight : "<real>" + weight + "</real>") + "</array>";
    }
    const auto soundset = parse(xml + "</array></dict></plist>");
    const SlotRef slot = createKeyCodeArray(&sounds, &soundset->dictionaryValue())[0];
    std::vector<double> result(slot->thresholds.begin(), slot->thresholds.end());
    result.push_back(slot->lastWeight);
    return result;
}

// Beside the draws that playback checks at their boundaries (a last 0, true, a decimal string).
TEST(KeyCodeTable, ThresholdsFollowTheWorkedExamples) {
    using T = std::vector<double>;
    EXPECT_EQ(thresholdsFor({"1", "2", "1"}), (T{536870911, 1610612734, 1}));
    EXPECT_EQ(thresholdsFor({"3", "1"}), (T{1610612735, 1}));
    EXPECT_EQ(thresholdsFor({"1", "1", "1"}), (T{715827882, 1431655764, 1}));
    EXPECT_EQ(thresholdsFor({"1", "1", "1", "1"}), (T{536870911, 1073741822, 1610612733, 1}));
    EXPECT_EQ(thresholdsFor({"0", "0", "0"}), (T{0, 0, 0}));
    // Weights read as numbers: strings by their leading decimal number (no hex, inf or nan), else
    // 0; booleans as 1 or 0; negative ones as 1.
    EXPECT_EQ(
        thresholdsFor({"<string>0x10</string>", "<string>inf</string>", "<string>nan</string>",
                       "<string>.5</string>", "<string>  1e</string>"}),
        (T{0, 0, 0, 715827882, 1}));
    EXPECT_EQ(thresholdsFor(
                  {"<string> 2.5kg</string>", "<string>heavy</string>", "<integer>-4</integer>"}),
              (T{1533916890, 1533916890, 1}));
}

// Key spellings, names and odd values from data/keys.plist: two digits are hexadecimal, "0a" wins
// over "0A" and "010", "0B" over "011"; other spellings are no keys. A name finds its sound
// without its last extension, case counts, and a missing name silences its key despite the
// default. Of a list only what resolves counts, and a list in which nothing does leaves the slot
// empty; a dictionary is no slot value.
TEST(KeyCodeTable, KeysNamesAndOddValuesEachFillTheirSlotOrLeaveItEmpty) {
    const auto sounds = soundsNamed({"hex", "HEX", "dec", "x", "key.1", "key", "Click", "a", "b"});
    const auto soundset = platform::dictionaryWithContentsOfFile(TAPSOUND_TEST_DATA "/keys.plist");
    ASSERT_TRUE(soundset);
    const KeyArray table = createKeyCodeArray(&sounds, &*soundset);
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

}  // namespace
}  // namespace tapsound
