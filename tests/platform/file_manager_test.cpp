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
    const struct {
        const char* what;
        int stopAfterPolls;  // -1: never
        std::size_t most;
        std::optional<std::size_t> listed;
    } cases[] = {
        {"whole", -1, SIZE_MAX, 1000},
        {"bounded", -1, 300, 300},
        {"stopped before", 0, SIZE_MAX, std::nullopt},
        // A stop asked mid-way is heard within a few dozen entries, not at the end.
        {"stopped while listing", 2, SIZE_MAX, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        int polls = 0;
        const auto names = files.boundedContentsOfDirectoryAtPath(
            dir.path(), [&] { return c.stopAfterPolls >= 0 && polls++ >= c.stopAfterPolls; },
            c.most);
        EXPECT_EQ(names ? std::optional(names->size()) : std::nullopt, c.listed);
    }
    EXPECT_EQ(files.contentsOfDirectoryAtPath(dir.path())->size(), 1000u);
    EXPECT_FALSE(files.contentsOfDirectoryAtPath(dir.file("missing")));
}

}  // namespace
}  // namespace tapsound::platform
