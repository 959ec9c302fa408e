// Opening locations: the kinds of location, the bookmark, early and untrusted requests, the open
// dialog; and the key-code table built from a soundset.plist.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <algorithm>
#include <filesystem>
#include <sstream>

#include "soundset/key_code_table.h"
#include "tests/support/fake_platform.h"

namespace tapsound {
namespace {

using test::ControllerRig;
namespace fs = std::filesystem;

// A package with a default sound and one sound for Return.
std::string makePackage(const std::string& package) {
    test::writeBytes(package + "/Contents/Resources/sounds/click.wav", "sound");
    test::writeBytes(package + "/Contents/Resources/sounds/enter.wav", "sound");
    fs::copy(TAPSOUND_TEST_DATA "/return.plist", package + "/Contents/Resources/soundset.plist");
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
    std::string storedPath() {
        const auto value = stored();
        const auto* data = value ? std::get_if<std::vector<std::uint8_t>>(&*value) : nullptr;
        return data ? rig->bookmarks.URLByResolvingBookmarkData(*data).path : "";
    }
    // The file whose sound the key plays, relative to the test's folder ("" for none).
    std::string fileOf(int code) {
        return rig->loader.fileOf(app().keyArray()[code], files.path());
    }
    bool loadedNothing() {
        return std::none_of(app().keyArray().begin(), app().keyArray().end(),
                            [](const SlotRef& slot) { return bool(slot); }) &&
               !app().slider()->isEnabled() && !app().isMonitoring();
    }

    test::TempDir config, files;
    std::unique_ptr<ControllerRig> rig;
};

TEST_F(Opening, EachKindOfLocationFillsTheTableItsWay) {
    launch();
    app().applicationDidFinishLaunching();
    makePackage(files.file("Set.tapsnd"));
    makePackage(files.file("Upper.TAPSND"));
    fs::remove(makePackage(files.file("Unlisted.tapsnd")) + "/Contents/Resources/soundset.plist");
    for (const char* name : {"24.wav", "024.wav", "*.wav"})
        test::writeBytes(files.file("Folder/") + name, "sound");
    fs::create_directories(files.file("Empty"));
    test::writeBytes(files.file("Unnamed/bell.wav"), "sound");
    test::writeBytes(files.file("Set.tapsnd.zip"), "sound");  // the fake loader takes it for one
    test::writeBytes(files.file("Plain.tapsnd"), "not a folder");
    test::writeBytes(files.file("broken.wav"), "BAD bytes");
    const std::string sounds = "/Contents/Resources/sounds/";
    const struct {
        const char* path;
        std::map<int, std::string> plays;  // key code to file; nothing plays where none is given
        const char* bookmark;
    } cases[] = {
        {"Set.tapsnd",
         {{36, "Set.tapsnd" + sounds + "enter.wav"}, {0, "Set.tapsnd" + sounds + "click.wav"}},
         "Set.tapsnd"},
        {"Upper.TAPSND", {{36, "Upper.TAPSND" + sounds + "enter.wav"}}, "Upper.TAPSND"},
        // An unreadable file keeps the set and its bookmark: it would restore nothing next time.
        {"broken.wav", {{36, "Upper.TAPSND" + sounds + "enter.wav"}}, "Upper.TAPSND"},
        {"Set.tapsnd.zip", {{0, "Set.tapsnd.zip"}, {255, "Set.tapsnd.zip"}}, "Set.tapsnd.zip"},
        {"Folder", {{36, "Folder/24.wav"}, {24, "Folder/024.wav"}, {0, "Folder/*.wav"}}, "Folder"},
        // A package that is not there is unreadable too: the set plays on.
        {"Gone.tapsnd", {{36, "Folder/24.wav"}, {0, "Folder/*.wav"}}, "Folder"},
        {"Plain.tapsnd", {}, "Plain.tapsnd"},
        {"Unnamed", {}, "Unnamed"},  // a sound named for no key plays for none
        {"Empty", {}, "Empty"},
        {"Unlisted.tapsnd", {}, "Unlisted.tapsnd"},  // sounds, but no soundset.plist
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        app().openWithFileURL(files.file(c.path));
        for (const auto& [code, file] : c.plays) EXPECT_EQ(fileOf(code), file) << code;
        EXPECT_EQ(c.plays.empty(), loadedNothing());
        EXPECT_EQ(storedPath(), files.file(c.bookmark));
    }
}

TEST_F(Opening, StaleGoneOrCorruptBookmarkLoadsNothingAndStaysStored) {
    launch();
    const std::string item = files.file("Item");
    test::writeBytes(item + "/*.wav", "sound");
    app().openWithFileURL(item);
    ASSERT_TRUE(stored());
    const auto data = std::get<std::vector<std::uint8_t>>(*stored());
    auto withNul = data;
    withNul.push_back(0);
    EXPECT_FALSE(rig->bookmarks.bookmarkDataWithPath("relative/path"));
    fs::remove_all(item);
    test::writeBytes(item, "now a file");  // another kind of item: stale
    // Then gone, then bookmarks cut short, with a NUL, empty, and of another type.
    const platform::DefaultsValue corrupt[] = {std::vector(data.begin(), data.begin() + 10),
                                               withNul, std::vector<std::uint8_t>{}, "text", 4.0};
    for (int step = -2; step < 5; ++step) {
        if (step == -1) fs::remove(item);
        if (step >= 0) rig->defaults.setObjectForKey(corrupt[step], "Bookmark");
        const auto before = stored();
        launch();
        app().applicationDidFinishLaunching();
        EXPECT_TRUE(loadedNothing());
        EXPECT_EQ(stored(), before);
        EXPECT_EQ(app().tempPath(), std::string());
    }
}

TEST_F(Opening, EarlyRequestsLoadTheLastAtOnceTheFirstAtATrustedLaunchAndLaterTheLastWins) {
    launch();
    const std::string first = makePackage(files.file("First.tapsnd"));
    test::writeBytes(files.file("second.wav"), "sound");
    EXPECT_TRUE(app().applicationOpenFile(first));
    EXPECT_EQ(app().tempPath(), first);
    EXPECT_TRUE(rig->loader.pathOf.empty());
    EXPECT_TRUE(app().applicationOpenFile(files.file("second.wav")));
    EXPECT_EQ(fileOf(36), "second.wav");
    app().applicationDidFinishLaunching();
    EXPECT_EQ(app().tempPath(), first);
    EXPECT_EQ(fileOf(36), "First.tapsnd/Contents/Resources/sounds/enter.wav");
    EXPECT_EQ(storedPath(), first);
    // After launch every request loads at once and is answered yes, even when nothing loads.
    EXPECT_TRUE(app().applicationOpenFile(files.file("nothing-here.wav")));
    // The last request wins, and the old set plays until the new one is ready.
    app().openWithFileURL(makePackage(files.file("Old.tapsnd")));
    rig->workQueue.held = true;  // decoding takes its time
    for (const char* name : {"a.wav", "b.wav"}) {
        test::writeBytes(files.file(name), "sound");
        app().openWithFileURL(files.file(name));
    }
    EXPECT_TRUE(app().isMonitoring());
    EXPECT_EQ(fileOf(36), "Old.tapsnd/Contents/Resources/sounds/enter.wav");
    // The later request is ready first; the earlier one, ready later, is dropped.
    test::InlineWorkQueue::finish(rig->workQueue.jobs[1]);
    test::InlineWorkQueue::finish(rig->workQueue.jobs[0]);
    EXPECT_EQ(fileOf(36), "b.wav");
    EXPECT_EQ(storedPath(), files.file("b.wav"));

    // An untrusted run neither restores nor monitors; its request stays parked at launch.
    launch(false);
    const std::string parked = files.file("parked.wav");
    test::writeBytes(parked, "sound");
    app().applicationOpenFile(parked);
    rig->keys->observable = true;  // granted after launch: trust is sampled once, untrusted
    app().applicationDidFinishLaunching();
    EXPECT_TRUE(rig->loader.pathOf.empty());
    EXPECT_EQ(app().tempPath(), parked);
    app().applicationOpenFile(parked);
    app().startEventMonitor();
    EXPECT_EQ(fileOf(0), "parked.wav");
    EXPECT_EQ(rig->keys->asked, 1);
    EXPECT_EQ(rig->prompts, 1);
    EXPECT_EQ(rig->keys->starts, 0);
    EXPECT_EQ(storedPath(), parked);
}

// The open dialogs on show.
std::vector<QFileDialog*> dialogs() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    std::vector<QFileDialog*> shown;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->isVisible()) shown.push_back(qobject_cast<QFileDialog*>(widget));
    return shown;
}

TEST_F(Opening, OneDialogAtATimeEntersFoldersChoosesPackagesAndCancelChangesNothing) {
    launch();
    app().applicationDidFinishLaunching();
    fs::create_directories(rig->dir.file("sets"));
    fs::create_directories(files.file("Folder"));
    app().open();
    app().open();
    ASSERT_EQ(dialogs().size(), 1u);
    QFileDialog& dialog = *dialogs()[0];
    EXPECT_EQ(dialog.directory().path().toStdString(), rig->dir.file("sets"));  // the user's own
    EXPECT_TRUE(dialog.nameFilters()[0].contains("(*.wav *.aiff *.tapsnd *.zip *.json *.yaml)"));
    const auto* extra = dialog.findChild<QListWidget*>("undecodableList");
    ASSERT_TRUE(extra && extra->isHidden());  // nothing to add in an ordinary folder
    // A folder's path typed and entered is entered, not chosen.
    auto* typed = dialog.findChild<QLineEdit*>("fileNameEdit");
    typed->setText(QString::fromStdString(files.file("Folder")));
    typed->setFocus();
    static_cast<QDialog&>(dialog).accept();
    EXPECT_EQ(dialog.directory().path().toStdString(), files.file("Folder"));
    dialog.reject();
    EXPECT_FALSE(app().isOpenPanelShowing());
    EXPECT_TRUE(loadedNothing());
    EXPECT_FALSE(stored());

    // Open chooses a package; a package entered, as by a double-click, is chosen too.
    for (const std::string name : {"Chosen.tapsnd", "Entered.tapsnd"}) {
        const QString package = QString::fromStdString(makePackage(files.file(name)));
        app().open();
        ASSERT_EQ(dialogs().size(), 1u);
        dialogs()[0]->selectFile(package);
        auto* list = dialogs()[0]->findChild<QListView*>("listView");
        if (name[0] == 'C') static_cast<QDialog*>(dialogs()[0])->accept();  // the Open button
        else emit list->activated(qobject_cast<QFileSystemModel*>(list->model())->index(package));
        EXPECT_TRUE(dialogs().empty());
        EXPECT_TRUE(app().isMonitoring());
        EXPECT_EQ(storedPath(), package.toStdString());
    }
    app().open();  // it starts where the last set is
    EXPECT_EQ(dialogs()[0]->directory().path().toStdString(), files.path());
    dialogs()[0]->reject();

    // Names Qt cannot decode are listed beneath its own and chosen byte for byte: a sound by a
    // double-click, a folder by Open.
    for (const char* name : {"caf\xe9.wav", "caf\xe9.txt", "plain.wav"})
        test::writeBytes(files.file(name), "sound");
    fs::create_directories(files.file("Pack\xe9"));
    for (const std::string name : {"caf\xe9.wav", "Pack\xe9"}) {
        const bool folder = name[0] == 'P';
        app().open();
        auto* others = dialogs()[0]->findChild<QListWidget*>("undecodableList");
        ASSERT_TRUE(others && others->isVisible());
        ASSERT_EQ(others->count(), 2);
        EXPECT_EQ(others->item(1)->text(), QString::fromUtf8("caf\xe9.wav"));  // U+FFFD shown
        const QModelIndex index = others->model()->index(folder ? 0 : 1, 0);
        others->setCurrentIndex(index);
        if (folder)
            dialogs()[0]->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Open)->click();
        else
            emit others->activated(index);
        EXPECT_TRUE(dialogs().empty());
        EXPECT_EQ(storedPath(), files.file(name));
        EXPECT_EQ(fileOf(0), folder ? "" : name);
    }
}

SoundsDictionary soundsNamed(std::initializer_list<std::string> names) {
    SoundsDictionary sounds;
    for (const auto& name : names)
        sounds[name] = std::make_shared<platform::Sound>(nullptr, nullptr);
    return sounds;
}

// The threshold list of a slot of sounds with these weights (numbers, or XML values): the
// cumulative thresholds, then the last sound's own weight.
std::vector<double> thresholdsFor(std::initializer_list<std::string> weights) {
    std::string xml = "<plist><dict><key>00</key><array>";
    SoundsDictionary sounds;
    for (const auto& weight : weights) {
        const std::string name = "s" + std::to_string(sounds.size());
        sounds[name] = std::make_shared<platform::Sound>(nullptr, nullptr);
        xml += "<array><string>" + name + "</string>" +
               (weight[0] == '<' ? weight : "<real>" + weight + "</real>") + "</array>";
    }
    xml += "</array></dict></plist>";
    const auto soundset = platform::propertyListWithBytes(
        reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size());
    const SlotRef slot = createKeyCodeArray(&sounds, &soundset->dictionaryValue())[0];
    std::vector<double> result(slot->thresholds.begin(), slot->thresholds.end());
    result.push_back(slot->lastWeight);
    return result;
}

// Beside the draws that playback checks at their boundaries (a last 0, true, a decimal string).
TEST(KeyCodeTable, ThresholdsFollowTheWorkedExamples) {
    using T = std::vector<double>;
    EXPECT_EQ(thresholdsFor({"1", "2", "1"}), (T{536870911, 1610612734, 1}));
    EXPECT_EQ(thresholdsFor({"3", "1"}), (T{1610612735, 1}));
    EXPECT_EQ(thresholdsFor({"1", "1", "1"}), (T{715827882, 1431655764, 1}));
    EXPECT_EQ(thresholdsFor({"1", "1", "1", "1"}), (T{536870911, 1073741822, 1610612733, 1}));
    EXPECT_EQ(thresholdsFor({"0", "0", "0"}), (T{0, 0, 0}));
    // Weights read as numbers: strings by their leading decimal number (no hex, inf or nan), else
    // 0; booleans as 1 or 0; negative ones as 1.
    EXPECT_EQ(
        thresholdsFor({"<string>0x10</string>", "<string>inf</string>", "<string>nan</string>",
                       "<string>.5</string>", "<string>  1e</string>"}),
        (T{0, 0, 0, 715827882, 1}));
    EXPECT_EQ(thresholdsFor(
                  {"<string> 2.5kg</string>", "<string>heavy</string>", "<integer>-4</integer>"}),
              (T{1533916890, 1533916890, 1}));
}

// Key spellings, names and odd values from data/keys.plist: two digits are hexadecimal, "0a" wins
// over "0A" and "010", "0B" over "011"; other spellings are no keys. A name finds its sound
// without its last extension, case counts, and a missing name silences its key despite the
// default. Of a list only what resolves counts, and a list in which nothing does leaves the slot
// empty; a dictionary is no slot value.
TEST(KeyCodeTable, KeysNamesAndOddValuesEachFillTheirSlotOrLeaveItEmpty) {
    const auto sounds = soundsNamed({"hex", "HEX", "dec", "x", "key.1", "key", "Click", "a", "b"});
    const auto soundset = platform::dictionaryWithContentsOfFile(TAPSOUND_TEST_DATA "/keys.plist");
    ASSERT_TRUE(soundset);
    const KeyArray table = createKeyCodeArray(&sounds, &*soundset);
    const std::pair<int, const char*> cases[] = {
        {16, "hex"}, {10, "hex"}, {11, "HEX"}, {12, "x"},     {255, "dec"},    {1, "a"},
        {13, "a"},   {175, "a"},  {32, "key"}, {33, "key.1"}, {34, ""},        {35, "key key"},
        {48, ""},    {49, ""},    {50, "a"},   {51, "b a"},   {52, "a b a b"}, {53, ""}};
    for (const auto& [code, names] : cases) {
        std::istringstream in(names);
        std::vector<SoundRef> expected;
        for (std::string name; in >> name;) expected.push_back(sounds.at(name));
        EXPECT_EQ(table[code] ? table[code]->sounds : std::vector<SoundRef>{}, expected) << code;
    }
    EXPECT_EQ(table[51]->thresholds, std::vector<std::int32_t>{715827882});
    EXPECT_EQ(table[51]->lastWeight, 2);
    EXPECT_TRUE(std::is_sorted(table[52]->thresholds.begin(), table[52]->thresholds.end()));
    EXPECT_EQ(table[7], table[200]);  // untouched keys share the default
}

}  // namespace
}  // namespace tapsound
