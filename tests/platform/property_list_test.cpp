#include "platform/property_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/support/sound_files.h"

namespace tapsound {
namespace {

using platform::PlistValue;

const char* kSoundset = R"(<plist version="1.0"><dict><key>*</key><string>click</string>
  <key>31</key><array><array><string>space</string><integer>3</integer></array></array></dict></plist>)";

std::optional<PlistValue> parse(const std::string& bytes) {
    return platform::propertyListWithBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                           bytes.size());
}

TEST(PropertyList, BrokenFilesAreAbsentAndNeverWaitedOn) {
    test::TempDir dir;
    const std::string xml = kSoundset, binary = test::binaryPropertyList(kSoundset);
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
