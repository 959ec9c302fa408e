#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QSlider>
#include <filesystem>

#include "tests/support/fake_platform.h"

namespace tapsound {
namespace {

using test::ControllerRig;
namespace fs = std::filesystem;

// A package with a default sound and one sound for Return.
std::string makePackage(const std::string& folder, const std::string& name) {
    const std::string package = folder + "/" + name;
    fs::create_directories(package + "/Contents/Resources/sounds");
    test::writeBytes(package + "/Contents/Resources/sounds/click.wav", "sound");
    test::writeBytes(package + "/Contents/Resources/sounds/enter.wav", "sound");
    test::writeBytes(package + "/Contents/Resources/soundset.plist",
                     "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                     "<key>*</key><string>click</string><key>24</key><string>enter</string>"
                     "</dict></plist>");
    return package;
}

struct Opening : ::testing::Test {
    void launch(bool trusted = true) {
        rig.reset();  // the previous run's preferences are on disk before the next run reads
        rig = std::make_unique<ControllerRig>(trusted, config.path());
        (*rig)->awakeFromNib();
    }
    AppDelegate& app() { return **rig; }
    std::string storedBookmarkPath() {
        const auto stored = rig->defaults.objectForKey("Bookmark");
        if (!stored) return {};
        const auto* data = std::get_if<std::vector<std::uint8_t>>(&*stored);
        if (!data) return "<not data>";
        return rig->bookmarks.URLByResolvingBookmarkData(*data).path;
    }
    const platform::SampleBuffer* slotBuffer(int code) {
        const SlotRef& slot = app().keyArray()[code];
        return slot ? slot->sounds[0]->samples().get() : nullptr;
    }

    test::TempDir config;
    test::TempDir files;
    std::unique_ptr<ControllerRig> rig;
};

TEST_F(Opening, PackageInAnyCaseLoadsItsTableAndStoresTheBookmark) {
    launch();
    app().applicationDidFinishLaunching();
    for (const char* name : {"Set.tapsnd", "Set2.TAPSND", "Set3.TapSnd"}) {
        const std::string package = makePackage(files.path(), name);
        app().openWithFileURL(package);
        EXPECT_TRUE(app().slider()->isEnabled()) << name;
        EXPECT_TRUE(app().isMonitoring()) << name;
        EXPECT_EQ(slotBuffer(36),
                  rig->loader.bufferForPath[package + "/Contents/Resources/sounds/enter.wav"]);
        EXPECT_EQ(storedBookmarkPath(), package);
    }
}

TEST_F(Opening, ZippedPackageIsNotAPackage) {
    launch();
    const std::string zip = files.file("Set.tapsnd.zip");
    test::writeBytes(zip, "sound");  // the fake loader takes it for one sound
    app().openWithFileURL(zip);
    EXPECT_EQ(slotBuffer(0), rig->loader.bufferForPath[zip]);
    EXPECT_EQ(slotBuffer(255), slotBuffer(0));
}

TEST_F(Opening, MissingOrPlainFilePackageEndsEmptyAndSilent) {
    launch();
    app().openWithFileURL(makePackage(files.path(), "Good.tapsnd"));
    ASSERT_TRUE(app().isMonitoring());
    const std::string plain = files.file("Plain.tapsnd");
    test::writeBytes(plain, "not a folder");
    for (const std::string& path : {files.file("Gone.tapsnd"), plain}) {
        app().openWithFileURL(path);
        EXPECT_FALSE(app().slider()->isEnabled());
        EXPECT_FALSE(app().isMonitoring());
        for (const SlotRef& slot : app().keyArray()) EXPECT_EQ(slot, nullptr);
    }
    // The missing path gets no bookmark; the plain file does.
    EXPECT_EQ(storedBookmarkPath(), plain);
}

TEST_F(Opening, SoundFolderMapsFileNamesToKeys) {
    launch();
    const std::string folder = files.file("Folder");
    fs::create_directories(folder);
    for (const char* name : {"24.wav", "024.wav", "bell.wav", "*.wav"}) {
        test::writeBytes(folder + "/" + name, "sound");
    }
    app().openWithFileURL(folder);
    EXPECT_EQ(slotBuffer(36), rig->loader.bufferForPath[folder + "/24.wav"]);
    EXPECT_EQ(slotBuffer(24), rig->loader.bufferForPath[folder + "/024.wav"]);
    EXPECT_EQ(slotBuffer(0), rig->loader.bufferForPath[folder + "/*.wav"]);
    for (int code = 0; code < 256; ++code) {
        EXPECT_NE(slotBuffer(code), rig->loader.bufferForPath[folder + "/bell.wav"]);
    }

    const std::string unnamed = files.file("Unnamed");
    fs::create_directories(unnamed);
    test::writeBytes(unnamed + "/bell.wav", "sound");
    app().openWithFileURL(unnamed);
    EXPECT_FALSE(app().slider()->isEnabled());
}

TEST_F(Opening, UnreadableFileKeepsThePreviousSetAndItsBookmark) {
    launch();
    const std::string package = makePackage(files.path(), "Set.tapsnd");
    app().openWithFileURL(package);
    const KeyArray before = app().keyArray();
    const std::string broken = files.file("broken.wav");
    test::writeBytes(broken, "BAD bytes");
    app().openWithFileURL(broken);
    EXPECT_EQ(app().keyArray(), before);
    EXPECT_TRUE(app().isMonitoring());
    // Storing the broken file would restore nothing at the next launch.
    EXPECT_EQ(storedBookmarkPath(), package);

    launch();
    app().applicationDidFinishLaunching();
    EXPECT_TRUE(app().isMonitoring());
    EXPECT_NE(slotBuffer(36), nullptr);
}

TEST_F(Opening, LaunchRestoresTheBookmarkAndRewritesIt) {
    launch();
    const std::string package = makePackage(files.path(), "Set.tapsnd");
    app().applicationDidFinishLaunching();
    app().applicationOpenFile(package);
    const auto firstData = rig->defaults.objectForKey("Bookmark");

    launch();
    app().applicationDidFinishLaunching();
    EXPECT_TRUE(app().isMonitoring());
    EXPECT_EQ(app().tempPath(), std::string());
    EXPECT_EQ(storedBookmarkPath(), package);
    EXPECT_EQ(rig->defaults.objectForKey("Bookmark"), firstData);
}

TEST_F(Opening, StaleGoneOrCorruptBookmarkLoadsNothingAndStaysStored) {
    launch();
    const std::string item = files.file("Item");
    fs::create_directories(item);
    test::writeBytes(item + "/*.wav", "sound");
    app().openWithFileURL(item);
    const auto stored = rig->defaults.objectForKey("Bookmark");
    ASSERT_TRUE(stored);

    fs::remove_all(item);
    test::writeBytes(item, "now a file");  // another kind of item: stale
    launch();
    app().applicationDidFinishLaunching();
    EXPECT_FALSE(app().isMonitoring());
    EXPECT_EQ(rig->defaults.objectForKey("Bookmark"), stored);
    EXPECT_EQ(app().tempPath(), std::string());

    fs::remove(item);  // gone
    launch();
    app().applicationDidFinishLaunching();
    EXPECT_FALSE(app().isMonitoring());
    EXPECT_EQ(rig->defaults.objectForKey("Bookmark"), stored);

    for (const platform::DefaultsValue& corrupt :
         {platform::DefaultsValue(std::vector<std::uint8_t>{1, 2, 3}),
          platform::DefaultsValue(std::string("text")), platform::DefaultsValue(4.0)}) {
        rig->defaults.setObjectForKey(corrupt, "Bookmark");
        launch();
        app().applicationDidFinishLaunching();
        EXPECT_FALSE(app().isMonitoring());
        EXPECT_EQ(rig->defaults.objectForKey("Bookmark"), corrupt);
    }
}

TEST_F(Opening, TwoEarlyRequestsLoadTheSecondAtOnceAndTheFirstAtLaunch) {
    launch();
    const std::string first = makePackage(files.path(), "First.tapsnd");
    const std::string second = files.file("second.wav");
    test::writeBytes(second, "sound");
    EXPECT_TRUE(app().applicationOpenFile(first));
    EXPECT_EQ(app().tempPath(), first);
    EXPECT_TRUE(rig->loader.loaded.empty());
    EXPECT_TRUE(app().applicationOpenFile(second));
    EXPECT_EQ(slotBuffer(36), rig->loader.bufferForPath[second]);
    app().applicationDidFinishLaunching();
    EXPECT_EQ(app().tempPath(), first);
    EXPECT_EQ(slotBuffer(36),
              rig->loader.bufferForPath[first + "/Contents/Resources/sounds/enter.wav"]);
    EXPECT_EQ(storedBookmarkPath(), first);
    // After launch every request loads at once and is answered yes, even when nothing loads.
    EXPECT_TRUE(app().applicationOpenFile(files.file("nothing-here.wav")));
}

TEST_F(Opening, UntrustedRunNeitherRestoresNorMonitors) {
    launch();
    app().openWithFileURL(makePackage(files.path(), "Set.tapsnd"));
    launch(false);
    const std::string parked = files.file("parked.wav");
    test::writeBytes(parked, "sound");
    app().applicationOpenFile(parked);
    app().applicationDidFinishLaunching();
    EXPECT_TRUE(rig->loader.loaded.empty());
    EXPECT_EQ(app().tempPath(), parked);
    app().applicationOpenFile(parked);
    EXPECT_NE(slotBuffer(0), nullptr);
    EXPECT_FALSE(app().isMonitoring());
    EXPECT_EQ(storedBookmarkPath(), parked);
}

TEST_F(Opening, OnePanelAtATimeAndCancelChangesNothing) {
    launch();
    app().applicationDidFinishLaunching();
    app().open();
    app().open();
    EXPECT_EQ(rig->panel->made, 1);
    EXPECT_EQ(rig->panel->broughtForward, 1);
    EXPECT_EQ(rig->panel->types, (std::vector<std::string>{"wav", "aiff", "tapsnd"}));
    EXPECT_FALSE(rig->panel->multiple);
    EXPECT_TRUE(rig->panel->directories);

    rig->panel->handler(platform::kModalResponseCancel);
    EXPECT_FALSE(app().isOpenPanelShowing());
    EXPECT_FALSE(rig->defaults.objectForKey("Bookmark"));
    EXPECT_FALSE(app().slider()->isEnabled());

    app().open();
    EXPECT_EQ(rig->panel->made, 2);
    rig->panel->chosen = makePackage(files.path(), "Chosen.tapsnd");
    rig->panel->handler(platform::kModalResponseOK);
    EXPECT_FALSE(app().isOpenPanelShowing());
    EXPECT_TRUE(app().isMonitoring());
    EXPECT_EQ(storedBookmarkPath(), rig->panel->chosen);
}

TEST(Bookmarks, JudgesKindAndRejectsMalformedData) {
    test::TempDir dir;
    platform::FileBookmarks bookmarks;
    EXPECT_FALSE(bookmarks.bookmarkDataWithPath(dir.file("missing")));
    EXPECT_FALSE(bookmarks.bookmarkDataWithPath("relative/path"));
    const auto data = bookmarks.bookmarkDataWithPath(dir.path());
    ASSERT_TRUE(data);
    const auto resolved = bookmarks.URLByResolvingBookmarkData(*data);
    EXPECT_EQ(resolved.path, dir.path());
    EXPECT_FALSE(resolved.stale || resolved.error);

    std::vector<std::uint8_t> truncated(data->begin(), data->begin() + 10);
    EXPECT_TRUE(bookmarks.URLByResolvingBookmarkData(truncated).error);
    EXPECT_TRUE(bookmarks.URLByResolvingBookmarkData({}).error);
    auto withNul = *data;
    withNul.push_back(0);
    EXPECT_TRUE(bookmarks.URLByResolvingBookmarkData(withNul).error);
}

}  // namespace
}  // namespace tapsound
