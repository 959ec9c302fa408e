// The Sound Sets menu's entries: names that are not UTF-8 are offered, and opened byte for byte.
#include "app/sound_sets.h"

#include <gtest/gtest.h>

#include <QFile>
#include <filesystem>

#include "tests/support/sound_files.h"

namespace tapsound {
namespace {

TEST(SoundSets, NamesThatAreNotUtf8AreOfferedByteForByte) {
    test::TempDir dir;
    std::filesystem::create_directories(dir.file("b\xfe"));
    for (const char* name : {"a\xff.wav", ".hidden.wav", "notes.txt"}) {
        ASSERT_TRUE(test::writeBytes(dir.file(name), ""));
    }
    const auto groups = findSoundSets({QFile::decodeName(dir.path().c_str())}, {"wav"});
    ASSERT_EQ(groups.size(), 1u);
    std::vector<std::string> locations;
    for (const SoundSetEntry& entry : groups[0]) locations.push_back(entry.location);
    EXPECT_EQ(locations, (std::vector<std::string>{dir.file("a\xff.wav"), dir.file("b\xfe")}));
    EXPECT_TRUE(groups[0][0].title.startsWith('a'));
}

}  // namespace
}  // namespace tapsound
