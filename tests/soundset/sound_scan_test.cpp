#include "soundset/sound_scan.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <filesystem>

#include "platform/file_manager_posix.h"
#include "platform/sound_file.h"
#include "tests/support/sound_files.h"

namespace tapsound {
namespace {

namespace fs = std::filesystem;

// The real listing, in an order the test chooses.
class OrderedListing : public platform::PosixFileManager {
  public:
    explicit OrderedListing(std::vector<std::string> order) : _order(std::move(order)) {}
    std::optional<std::vector<std::string>> contentsOfDirectoryAtPath(
        const std::string&) const override {
        return _order;
    }

  private:
    std::vector<std::string> _order;
};

struct Scan : ::testing::Test {
    std::vector<std::string> names(const std::string& path) {
        std::vector<std::string> result;
        for (const auto& entry : soundsDictionaryWithDirectryPath(files, loader, path))
            result.push_back(entry.first);
        return result;
    }
    test::TempDir dir;
    platform::PosixFileManager files;
    platform::SndfileSoundLoader loader{nullptr};
};

TEST_F(Scan, KeepsSoundsByNameAndSkipsTheRest) {
    for (const char* name :
         {".DS_Store", "._click.wav", "click.wav", "key.1.wav", "tick", "Click.wav"}) {
        ASSERT_TRUE(test::writeTone(dir.file(name)));
    }
    ASSERT_TRUE(test::writeTone(dir.file("click2.aiff"), {SF_FORMAT_AIFF | SF_FORMAT_PCM_16}));
    ASSERT_TRUE(test::writeTone(dir.file("*.flac"), {SF_FORMAT_FLAC | SF_FORMAT_PCM_16}));
    ASSERT_TRUE(test::writeBytes(dir.file("readme.txt"), "not a sound"));
    fs::create_directories(dir.file("more"));
    ASSERT_TRUE(test::writeTone(dir.file("more/inner.wav")));
    const std::vector<std::string> expected{"*", "Click", "click", "click2", "key.1", "tick"};
    EXPECT_EQ(names(dir.path()), expected);
    EXPECT_EQ(names(dir.path() + "/"), expected);
}

TEST_F(Scan, TheLaterOfTwoSameNamedFilesWins) {
    ASSERT_TRUE(test::writeTone(dir.file("click.wav"), {0, 48000, 1, 0.1}));
    ASSERT_TRUE(test::writeTone(dir.file("click.aiff"),
                                {SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 48000, 1, 0.2}));
    for (const auto& [order, frames] :
         {std::pair{std::vector<std::string>{"click.wav", "click.aiff"}, 9600u},
          std::pair{std::vector<std::string>{"click.aiff", "click.wav"}, 4800u}}) {
        const auto sounds =
            soundsDictionaryWithDirectryPath(OrderedListing(order), loader, dir.path());
        ASSERT_EQ(sounds.size(), 1u);
        EXPECT_EQ(sounds.at("click")->samples()->frameCount(), frames);
    }
}

TEST_F(Scan, NothingToListGivesAnEmptyDictionary) {
    ASSERT_TRUE(test::writeTone(dir.file("plain.wav")));
    fs::create_directories(dir.file("empty"));
    for (const char* path : {"empty", "missing", "plain.wav"})
        EXPECT_TRUE(names(dir.file(path)).empty()) << path;
    fs::create_directories(dir.file("locked"));
    ASSERT_TRUE(test::writeTone(dir.file("locked/a.wav")));
    fs::permissions(dir.file("locked"), fs::perms::none);
    // Root reads anything; elsewhere the folder cannot be listed. Either way nothing breaks.
    EXPECT_LE(names(dir.file("locked")).size(), 1u);
    fs::permissions(dir.file("locked"), fs::perms::owner_all);
}

}  // namespace
}  // namespace tapsound
