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

// Replaces the first occurrence of `from` in a binary list with `to`, same length.
std::string patched(std::string bytes, const std::string& from, const std::string& to) {
    const auto at = bytes.find(from);
    EXPECT_NE(at, std::string::npos) << "pattern not in the binary list";
    return at == std::string::npos ? bytes : bytes.replace(at, from.size(), to);
}

TEST(PropertyList, NulBytesInBinaryLists) {
    const std::string binary = test::binaryPropertyList(
        "<plist version=\"1.0\"><dict><key>0X</key><string>aXb</string>"
        "<key>\xc3\xa9Y</key><string>c</string></dict></plist>");
    // A string value holding a NUL still reads, at least as far as the NUL.
    const auto value = parse(patched(binary,
                                     "\x53"
                                     "aXb",
                                     std::string("\x53"
                                                 "a\0b",
                                                 4)));
    ASSERT_TRUE(value);
    EXPECT_STREQ(value->dictionaryValue().at("0X").stringValue().c_str(), "a");
    // A NUL inside a key, in ASCII or UTF-16 form, makes the list unreadable rather than aborting.
    EXPECT_FALSE(parse(patched(binary,
                               "\x52"
                               "0X",
                               std::string("\x52"
                                           "0\0",
                                           3))));
    EXPECT_FALSE(
        parse(patched(binary, std::string("\x62\0\xe9\0Y", 5), std::string("\x62\0\xe9\0\0", 5))));
}

}  // namespace
}  // namespace tapsound
