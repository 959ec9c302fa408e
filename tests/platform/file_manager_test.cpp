// Listing a folder: bounded in entries, and given up as soon as the load no longer wants it.
#include "platform/file_manager_posix.h"

#include <gtest/gtest.h>

#include "tests/support/sound_files.h"

namespace tapsound::platform {
namespace {

TEST(FileManager, ListingStopsWhenAskedAndAtItsBound) {
    test::TempDir dir;
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(test::writeBytes(dir.file(std::to_string(i)), ""));
    const PosixFileManager files;
    // Polls answered false before the stop, at most so many names, what is listed.
    const std::tuple<int, std::size_t, std::optional<std::size_t>> cases[] = {
        {1 << 30, SIZE_MAX, 1000}, {1 << 30, 300, 300}, {0, SIZE_MAX, std::nullopt},
        {2, SIZE_MAX, std::nullopt}};  // heard while listing, not only at its end
    for (const auto& [before, most, listed] : cases) {
        int polls = 0;
        const auto names = files.boundedContentsOfDirectoryAtPath(
            dir.path(), [&, before = before] { return polls++ >= before; }, most);
        EXPECT_EQ(names ? std::optional(names->size()) : std::nullopt, listed) << before << most;
    }
    EXPECT_EQ(files.contentsOfDirectoryAtPath(dir.path())->size(), 1000u);
}

}  // namespace
}  // namespace tapsound::platform
