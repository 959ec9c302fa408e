#include <gtest/gtest.h>

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
    std::optional<platform::DefaultsValue> stored() {
        return rig->defaults.objectForKey("Bookmark");
    }
    std::string storedBookmarkPath() {
        const auto value = stored();
        const auto* data = value ? std::get_if<std::vector<std::uint8_t>>(&*value) : nullptr;
        return data ? rig->bookmarks.URLByResolvingBookmarkData(*data).path : "";
    }
    const platform::SampleBuffer* slotBuffer(int code) {
        const SlotRef& slot = app().keyArray()[code];
        return slot ? slot->sounds[0]->samples().get() : nullptr;
    }
    const platform::SampleBuffer* bufferOf(const std::string& path) {
        return rig->loader.bufferForPath[path];
    }
    bool loadedNothing() {
        for (const SlotRef& slot : app().keyArray()) {
            if (slot) return false;
        }
        return !app().slider()->isEnabled() && !app().isMonitoring();
    }

    test::TempDir config, files;
    std::unique_ptr<ControllerRig> rig;
};

TEST_F(Opening, PackageInAnyCaseLoadsItsTableAndStoresTheBookmark) {
    launch();
    app().applicationDidFinishLaunching();
    for (const char* name : {"Set.tapsnd", "Set2.TAPSND", "Set3.TapSnd"}) {
        const std::string package = makePackage(files.path(), name);
        app().openWithFileURL(package);
        EXPECT_TRUE(app().slider()->isEnabled() && app().isMonitoring()) << name;
        EXPECT_EQ(slotBuffer(36), bufferOf(package + "/Contents/Resources/sounds/enter.wav"));
        EXPECT_EQ(storedBookmarkPath(), package);
    }
    // A zipped package is a single file: every key plays it (the fake loader takes it for one).
    const std::string zip = files.file("Set.tapsnd.zip");
    test::writeBytes(zip, "sound");
    app().openWithFileURL(zip);
    EXPECT_EQ(slotBuffer(0), bufferOf(zip));
    EXPECT_EQ(slotBuffer(255), bufferOf(zip));
}

TEST_F(Opening, MissingOrPlainFilePackageEndsEmptyAndSilent) {
    launch();
    app().openWithFileURL(makePackage(files.path(), "Good.tapsnd"));
    ASSERT_TRUE(app().isMonitoring());
    const std::string plain = files.file("Plain.tapsnd");
    test::writeBytes(plain, "not a folder");
    for (const std::string& path : {files.file("Gone.tapsnd"), plain}) {
        app().openWithFileURL(path);
        EXPECT_TRUE(loadedNothing()) << path;
    }
    EXPECT_EQ(storedBookmarkPath(),
              plain);  // the missing path gets no bookmark; the plain file does
}

TEST_F(Opening, SoundFolderMapsFileNamesToKeys) {
    launch();
    const std::string folder = files.file("Folder");
    fs::create_directories(folder);
    for (const char* name : {"24.wav", "024.wav", "bell.wav", "*.wav"})
        test::writeBytes(folder + "/" + name, "sound");
    app().openWithFileURL(folder);
    EXPECT_EQ(slotBuffer(36), bufferOf(folder + "/24.wav"));
    EXPECT_EQ(slotBuffer(24), bufferOf(folder + "/024.wav"));
    EXPECT_EQ(slotBuffer(0), bufferOf(folder + "/*.wav"));
    for (int code = 0; code < 256; ++code)
        EXPECT_NE(slotBuffer(code), bufferOf(folder + "/bell.wav"));

    fs::remove(folder + "/*.wav");
    fs::remove(folder + "/24.wav");
    fs::remove(folder + "/024.wav");
    app().openWithFileURL(folder);
    EXPECT_TRUE(loadedNothing());
}

TEST_F(Opening, UnreadableFileKeepsThePreviousSetAndTheNextLaunchRestoresIt) {
    launch();
    const std::string package = makePackage(files.path(), "Set.tapsnd");
    app().applicationDidFinishLaunching();
    app().applicationOpenFile(package);
    const KeyArray before = app().keyArray();
    const auto bookmark = stored();
    test::writeBytes(files.file("broken.wav"), "BAD bytes");
    app().openWithFileURL(files.file("broken.wav"));
    EXPECT_EQ(app().keyArray(), before);
    EXPECT_TRUE(app().isMonitoring());
    EXPECT_EQ(stored(), bookmark);  // storing the broken file would restore nothing next time

    launch();
    app().applicationDidFinishLaunching();
    EXPECT_TRUE(app().isMonitoring());
    EXPECT_EQ(slotBuffer(36), bufferOf(package + "/Contents/Resources/sounds/enter.wav"));
    EXPECT_EQ(app().tempPath(), std::string());
    EXPECT_EQ(stored(), bookmark);
}

TEST_F(Opening, StaleGoneOrCorruptBookmarkLoadsNothingAndStaysStored) {
    launch();
    const std::string item = files.file("Item");
    fs::create_directories(item);
    test::writeBytes(item + "/*.wav", "sound");
    app().openWithFileURL(item);
    const auto bookmark = stored();
    ASSERT_TRUE(bookmark);
    fs::remove_all(item);
    test::writeBytes(item, "now a file");  // another kind of item: stale
    const std::function<void()> damage[] = {
        [] {},
        [&] { fs::remove(item); },  // gone
        [&] {
            rig->defaults.setObjectForKey(std::vector<std::uint8_t>{1, 2, 3}, "Bookmark");
        },
        [&] { rig->defaults.setObjectForKey(std::string("text"), "Bookmark"); },
        [&] { rig->defaults.setObjectForKey(4.0, "Bookmark"); },
    };
    for (const auto& step : damage) {
        step();
        const auto before = stored();
        launch();
        app().applicationDidFinishLaunching();
        EXPECT_TRUE(loadedNothing());
        EXPECT_EQ(stored(), before);
        EXPECT_EQ(app().tempPath(), std::string());
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
    EXPECT_EQ(slotBuffer(36), bufferOf(second));
    app().applicationDidFinishLaunching();
    EXPECT_EQ(app().tempPath(), first);
    EXPECT_EQ(slotBuffer(36), bufferOf(first + "/Contents/Resources/sounds/enter.wav"));
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
    const auto& panel = *rig->panel;
    EXPECT_EQ(panel.made, 1);
    EXPECT_EQ(panel.broughtForward, 1);
    EXPECT_EQ(panel.types, (std::vector<std::string>{"wav", "aiff", "tapsnd"}));
    EXPECT_FALSE(panel.multiple);
    EXPECT_TRUE(panel.directories);
    panel.handler(platform::kModalResponseCancel);
    EXPECT_FALSE(app().isOpenPanelShowing());
    EXPECT_FALSE(stored());
    EXPECT_FALSE(app().slider()->isEnabled());

    app().open();
    rig->panel->chosen = makePackage(files.path(), "Chosen.tapsnd");
    panel.handler(platform::kModalResponseOK);
    EXPECT_EQ(panel.made, 2);
    EXPECT_FALSE(app().isOpenPanelShowing());
    EXPECT_TRUE(app().isMonitoring());
    EXPECT_EQ(storedBookmarkPath(), panel.chosen);
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
    auto withNul = *data;
    withNul.push_back(0);
    const std::vector<std::uint8_t> truncated(data->begin(), data->begin() + 10);
    for (const auto& bad : {truncated, std::vector<std::uint8_t>{}, withNul}) {
        EXPECT_TRUE(bookmarks.URLByResolvingBookmarkData(bad).error);
    }
}

}  // namespace
}  // namespace tapsound
