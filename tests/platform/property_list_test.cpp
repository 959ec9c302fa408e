// Property lists past the readers' limits, in both forms: each maps "24" to the hostile value and
// "*" to "click", so a value dropped alone leaves the default standing.
#include "platform/property_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/support/sound_files.h"

namespace tapsound::platform {
namespace {

using test::bigEndian;

std::optional<PlistValue> read(const std::string& bytes) {
    return propertyListWithBytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

// Objects written as given, one-byte references; object 0 is the root {"24": 4, "*": 3}.
std::string binary(const std::vector<std::string>& value, int objects = -1) {
    std::vector<std::string> all = {"\xd2\x01\x02\x04\x03", "\x52" "24", "\x51*", "\x55" "click"};
    all.insert(all.end(), value.begin(), value.end());
    return test::binaryPropertyList(all, 1, objects < 0 ? all.size() : objects);
}

std::string xml(const std::string& value, const std::string& doctype = {}) {
    return "<?xml version=\"1.0\"?>" + doctype + "<plist><dict><key>24</key>" + value +
           "<key>*</key><string>click</string></dict></plist>";
}

// "click" inside `levels` XML arrays.
std::string nested(int levels) {
    std::string opened, closed;
    for (int i = 0; i < levels; ++i) opened += "<array\n>", closed += "</array>";
    return opened + "<string>click</string>" + closed;
}

// Arrays nested `levels` deep around "click", each referring to the next.
std::vector<std::string> chain(int levels) {
    std::vector<std::string> objects;
    for (int i = 0; i < levels; ++i) objects.push_back({'\xa1', char(i + 1 < levels ? 5 + i : 3)});
    return objects;
}

enum Outcome { Kept, Dropped, Refused };

// Lists that once hung, crashed or exhausted the reader, and lists that are broken or hold no
// dictionary, read as a soundset.plist is.
TEST(PropertyList, HostileValuesAreDroppedAloneAndBrokenListsRefused) {
    const std::string corpus = TAPSOUND_TEST_DATA "/../fuzz/corpus/";
    const std::string laughs =
        "<!DOCTYPE plist [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">"
        "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;\">]>";
    const struct {
        const char* what;
        std::string bytes;
        Outcome outcome;
    } cases[] = {
        // 31 lists below the entry hold "click" at the deepest level kept; one more is too deep.
        {"binary 32 levels", binary(chain(31)), Kept}, {"binary 33", binary(chain(32)), Dropped},
        {"xml 32 levels", xml(nested(31)), Kept}, {"xml 33", xml(nested(32)), Dropped},
        {"xml 100,000 levels", xml(nested(100000)), Dropped},
        {"binary far too deep", test::readBytes(corpus + "deep-nesting.plist"), Dropped},
        {"shared 300 times", binary({"\xaf\x11\x01\x2c" + std::string(300, '\x03')}), Kept},
        {"reached 10^30 times", test::readBytes(corpus + "shared-references.plist"), Dropped},
        {"too wide", test::readBytes(corpus + "wide-list.plist"), Dropped},
        {"too long in all its references", test::readBytes(corpus + "long-shared-string.plist"),
         Dropped},
        {"two lists in a loop", binary({"\xa1\x05", "\xa1\x04"}), Dropped},
        {"a list holding itself", test::readBytes(corpus + "loop.plist"), Dropped},
        {"a NUL in a nested key", test::readBytes(corpus + "nul-in-nested-key.plist"), Kept},
        {"a list holding the root", binary({"\xa1\x00"}), Dropped},
        {"a reference past the objects", binary({"\xa1\x63"}), Dropped},
        {"a key that is a number", binary({"\xd1\x05\x03", "\x10\x01"}), Dropped},
        {"a list claiming 2^40 values", binary({"\xaf\x13" + bigEndian(1ull << 40, 8)}), Dropped},
        {"a UID", binary({"\x80\x01"}), Dropped},
        {"more objects than the table holds", binary({"\x09"}, 600), Refused},
        {"a trailer cut short", binary({"\x09"}).substr(0, binary({"\x09"}).size() - 1), Refused},
        {"a header alone", "bplist00", Refused},
        {"4,000 indexes for the bytes of one long list, to be read once for each",
         test::readBytes(corpus + "aliased-offsets.plist"), Refused},
        {"no list at all", "", Refused},
        {"bytes of no form", "\x01\x02 not a plist at all", Refused},
        {"a list at the root", "<plist><array><string>a</string></array></plist>", Refused},
        {"a string at the root", "<plist><string>a</string></plist>", Refused},
        {"a dictionary left open", xml("<dict><key>a</key>").substr(0, 60), Refused},
        {"an unknown element", xml("<script/>"), Refused},
        {"entities that multiply", xml("<string>&c;</string>", laughs), Refused},
        {"an external entity",
         xml("<string>&e;</string>", "<!DOCTYPE plist [<!ENTITY e SYSTEM \"/etc/passwd\">]>"),
         Refused},
        {"an undeclared entity", xml("<string>&e;</string>"), Refused},
        {"Apple's document type",
         xml("<string>click</string>",
             "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
             "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">"), Kept},
        {"escapes and CDATA", xml("<string>c&#108;i<![CDATA[ck]]></string>"), Kept},
    };
    test::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(test::writeBytes(dir.file("soundset.plist"), c.bytes));
        const auto dictionary = dictionaryWithContentsOfFile(dir.file("soundset.plist"));
        ASSERT_EQ(bool(dictionary), c.outcome != Refused);
        if (!dictionary) continue;
        EXPECT_EQ(dictionary->at("*").stringValue(), "click");
        PlistValue value = dictionary->at("24");
        while (value.isArray() && value.arrayValue().size() == 1) value = value.arrayValue()[0];
        if (value.isDictionary()) value = value.dictionaryValue().at(std::string("a\0b", 3));
        if (value.isArray()) value = value.arrayValue().at(299);
        EXPECT_EQ(value.type() == PlistValue::Type::Data, c.outcome == Dropped);
        EXPECT_TRUE(c.outcome != Kept || value.stringValue() == "click") << value.stringValue();
    }
    // Nor is a file that is no list waited on.
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    for (const auto& path : {dir.file("missing"), dir.path(), dir.file("fifo")})
        EXPECT_FALSE(dictionaryWithContentsOfFile(path)) << path;
}

// Values of each type, read alike from both forms; UTF-16 with a pair of surrogates.
TEST(PropertyList, BothFormsReadEveryType) {
    const std::string text = "<integer>-7</integer><integer>0x10</integer><real>2.5</real>"
                             "<true/><date>2001-01-02T00:00:00Z</date><data>AAE=</data>";
    for (const auto& root :
         {read(xml("<array>" + text + "</array>")),
          read(binary({"\xa6\x05\x06\x07\x08\x09\x0a", "\x13" + bigEndian(-7ll, 8), "\x10\x10",
                       "\x23" + bigEndian(0x4004000000000000ull, 8), "\x09",
                       "\x33" + bigEndian(0x40f5180000000000ull, 8),
                       std::string("\x42\x00\x01", 3)}))}) {
        ASSERT_TRUE(root);
        const PlistArray& values = root->dictionaryValue().at("24").arrayValue();
        ASSERT_EQ(values.size(), 6u);
        EXPECT_EQ(values[0].integerValue(), -7);
        EXPECT_EQ(values[1].integerValue(), 16);
        EXPECT_EQ(values[2].doubleValue(), 2.5);
        EXPECT_EQ(values[3].doubleValue(), 1.0);
        EXPECT_EQ(values[4].type(), PlistValue::Type::Date);
        EXPECT_EQ(values[5].dataValue(), (PlistData{0, 1}));
    }
    const auto utf16 = read(binary({std::string("\x63\xd8\x3d\xde\x00\x00\x41", 7)}));
    ASSERT_TRUE(utf16);
    EXPECT_EQ(utf16->dictionaryValue().at("24").stringValue(), "\xf0\x9f\x98\x80" "A");
}

}  // namespace
}  // namespace tapsound::platform
