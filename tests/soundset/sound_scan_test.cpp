#include <gtest/gtest.h>
#include <sndfile.h>

#include <filesystem>

#include "platform/file_manager_posix.h"
#include "platform/sound_file.h"
#include "soundset/sound_scan.h"
#include "tests/support/sound_files.h"

namespace tapsound {
namespace {

std::vector<std::string> names(const SoundsDictionary& sounds) {
    std::vector<std::string> result;
    for (const auto& entry : sounds) result.push_back(entry.first);
    return result;
}

// The real listing, in an order the test chooses.
class OrderedListing : public platform::PosixFileManager {
public:
    explicit OrderedListing(std::vector<std::string> order) : _order(std::move(order)) {}
    std::optional<std::vector<std::string>> contentsOfDirectoryAtPath(const std::string&) const override {
        return _order;
    }

private:
    std::vector<std::string> _order;
};

struct Scan : ::testing::Test {
    SoundsDictionary scan(const std::string& path) {
        return soundsDictionaryWithDirectryPath(files, loader, path);
    }
    test::TempDir dir;
    platform::PosixFileManager files;
    platform::SndfileSoundLoader loader{nullptr};
};

TEST_F(Scan, KeepsSoundsByNameAndSkipsTheRest) {
    ASSERT_TRUE(test::writeTone(dir.file(".DS_Store")));
    ASSERT_TRUE(test::writeTone(dir.file("._click.wav")));
    ASSERT_TRUE(test::writeTone(dir.file("click.wav")));
    ASSERT_TRUE(test::writeTone(dir.file("click2.aiff"), {SF_FORMAT_AIFF | SF_FORMAT_PCM_16}));
    ASSERT_TRUE(test::writeTone(dir.file("key.1.wav")));
    ASSERT_TRUE(test::writeTone(dir.file("tick")));
    ASSERT_TRUE(test::writeTone(dir.file("*.flac"), {SF_FORMAT_FLAC | SF_FORMAT_PCM_16}));
    ASSERT_TRUE(test::writeTone(dir.file("Click.wav")));
    ASSERT_TRUE(test::writeBytes(dir.file("readme.txt"), "not a sound"));
    std::filesystem::create_directories(dir.file("more"));
    ASSERT_TRUE(test::writeTone(dir.file("more/inner.wav")));
    EXPECT_EQ(names(scan(dir.path())),
              (std::vector<std::string>{"*", "Click", "click", "click2", "key.1", "tick"}));
    EXPECT_EQ(names(scan(dir.path() + "/")).size(), 6u);
}

TEST_F(Scan, TheLaterOfTwoSameNamedFilesWins) {
    ASSERT_TRUE(test::writeTone(dir.file("click.wav"), {0, 48000, 1, 0.1}));
    ASSERT_TRUE(test::writeTone(dir.file("click.aiff"), {SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 48000, 1, 0.2}));
    for (const auto& [order, frames] :
         {std::pair{std::vector<std::string>{"click.wav", "click.aiff"}, 9600u},
          std::pair{std::vector<std::string>{"click.aiff", "click.wav"}, 4800u}}) {
        OrderedListing listing(order);
        const auto sounds = soundsDictionaryWithDirectryPath(listing, loader, dir.path());
        ASSERT_EQ(sounds.size(), 1u);
        EXPECT_EQ(sounds.at("click")->samples()->frameCount(), frames);
    }
}

TEST_F(Scan, NothingToListGivesAnEmptyDictionary) {
    EXPECT_TRUE(scan(dir.path()).empty());
    EXPECT_TRUE(scan(dir.file("missing")).empty());
    ASSERT_TRUE(test::writeTone(dir.file("plain.wav")));
    EXPECT_TRUE(scan(dir.file("plain.wav")).empty());
    std::filesystem::create_directories(dir.file("locked"));
    ASSERT_TRUE(test::writeTone(dir.file("locked/a.wav")));
    std::filesystem::permissions(dir.file("locked"), std::filesystem::perms::none);
    // Root reads anything; elsewhere the folder cannot be listed. Either way nothing breaks.
    EXPECT_LE(scan(dir.file("locked")).size(), 1u);
    std::filesystem::permissions(dir.file("locked"), std::filesystem::perms::owner_all);
}

}  // namespace
}  // namespace tapsound
