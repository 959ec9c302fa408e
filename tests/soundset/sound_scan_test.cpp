// A folder of sounds: the names it keeps, links to one file cost it once, and a stop is heard
// while listing.
#include "soundset/sound_scan.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <filesystem>

#include "tests/support/fake_platform.h"

namespace tapsound {
namespace {

TEST(SoundScan, KeepsSoundsByNameAndSkipsTheRest) {
    test::TempDir dir;
    for (const char* name : {".DS_Store", "._click.wav", "click.wav", "key.1.wav", "Click.wav"})
        ASSERT_TRUE(test::writeTone(dir.file(name)));
    ASSERT_TRUE(test::writeTone(dir.file("click2.aiff"), {SF_FORMAT_AIFF | SF_FORMAT_PCM_16}));
    ASSERT_TRUE(test::writeTone(dir.file("*.flac"), {SF_FORMAT_FLAC | SF_FORMAT_PCM_16}));
    ASSERT_TRUE(test::writeBytes(dir.file("readme.txt"), "not a sound"));
    ASSERT_TRUE(test::writeTone(dir.file("more/inner.wav")));
    platform::SndfileSoundLoader loader{nullptr};
    for (const std::string& path : {dir.path(), dir.path() + "/"}) {
        std::vector<std::string> names;
        for (const auto& entry :
             soundsDictionaryWithDirectryPath(platform::PosixFileManager(), loader, path)) {
            names.push_back(entry.first);
        }
        EXPECT_EQ(names, (std::vector<std::string>{"*", "Click", "click", "click2", "key.1"}))
            << path;
    }
}

TEST(SoundScan, LinksToOneFileDecodeItOnceAndAStopEndsTheListing) {
    test::TempDir dir;
    ASSERT_TRUE(test::writeTone(dir.file("one.wav")) && test::writeTone(dir.file("other.wav")));
    for (int i = 0; i < 300; ++i)
        std::filesystem::create_symlink(dir.file("one.wav"), dir.file("s" + std::to_string(i)));
    const platform::PosixFileManager files;
    test::WatchedLoader loader, stopped;
    // A budget for two and a half such sounds holds all 302 names.
    const auto sounds = soundsDictionaryWithDirectryPath(files, loader, dir.path(), {},
                                                         5 * 4802 * 2 * sizeof(float) / 2);
    EXPECT_EQ(sounds.size(), 302u);
    EXPECT_EQ(loader.opened, 2);
    EXPECT_EQ(sounds.at("s0")->samples(), sounds.at("one")->samples());
    int polls = 0;
    EXPECT_TRUE(
        soundsDictionaryWithDirectryPath(files, stopped, dir.path(), [&] { return ++polls > 1; })
            .empty());
    EXPECT_EQ(stopped.opened, 0);
}

}  // namespace
}  // namespace tapsound
