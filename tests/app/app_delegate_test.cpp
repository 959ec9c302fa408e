#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QFontMetricsF>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QSlider>
#include <QSystemTrayIcon>
#include <QTextBrowser>
#include <QToolButton>
#include <QUrl>
#include <QWidgetAction>

#include "app/autostart.h"
#include "app/no_tray_window.h"
#include "app/sound_sets.h"
#include "app/volume_slider.h"
#include "platform/workspace_qt.h"
#include "tests/support/fake_platform.h"
#include "tests/support/private_session.h"

namespace tapsound {
namespace {

using test::ControllerRig;

// The items as shown: a single "&" marks a mnemonic, "&&" shows as "&".
QStringList titles(const QMenu& menu) {
    QStringList result;
    for (const QAction* item : menu.actions()) {
        const QString text = item->text().replace("&&", "\x01").remove('&').replace('\x01', '&');
        result << (item->isSeparator() ? "-" : text);
    }
    return result;
}

// The menu's items between its head and Help, as both the tray menu and the no-tray window show.
const QStringList kControls = {"Sound Sets", "Mouse Sounds", "Mute", "Stereo", "Vary Each Press",
                               "Output", "Silent for Passwords",
                               "Let Applications Report Password Fields", "Silent in Full Screen",
                               "Silent in Application", "Silent In", "Start at Login"};

// Out of range, a stored volume is kept but plays within range; no number at all counts as unset.
TEST(Preferences, StrayStoredVolumesStayStoredButPlayWithinRange) {
    const struct {
        const char* stored;
        float volume, played;  // as the slider shows it too
    } cases[] = {{nullptr, 0.5f, 0.5f}, {"50", 50, 1},         {"-3", -3, 0},
                 {"nan", 0.5f, 0.5f},   {"inf", 0.5f, 0.5f}, {"1e309", 0.5f, 0.5f}};
    for (const auto& c : cases) {
        ControllerRig rig;
        if (c.stored) rig.defaults.setObjectForKey(std::string(c.stored), "volume");
        test::writeBytes(rig.dir.file("click.wav"), "sound");
        rig->awakeFromNib();
        rig->openWithFileURL(rig.dir.file("click.wav"));
        rig->playSoundWithKeyCode(4);
        SCOPED_TRACE(c.stored ? c.stored : "unset");
        EXPECT_FLOAT_EQ(rig->volume(), c.volume);
        EXPECT_FLOAT_EQ(sliderFloatValue(rig->slider()), c.played);
        ASSERT_EQ(rig.player->started.size(), 1u);
        EXPECT_FLOAT_EQ(rig.player->started[0].volume, c.played);
        // Showing the stored value is not a user change: nothing was written, not even the default.
        rig.defaults.synchronize();
        const std::string stored = test::readBytes(rig.config + "/tapsound.conf");
        EXPECT_EQ(stored.find(c.stored ? "volume=" + std::string(c.stored) + "\n" : "volume"),
                  c.stored ? stored.find("volume") : std::string::npos);
        rig->slider()->setValue(200);  // each press plays at the volume of its moment
        rig->playSoundWithKeyCode(4);
        EXPECT_FLOAT_EQ(rig.player->started[1].volume, 0.2f);
    }
}

TEST(StatusMenu, TrustedRunInsertsVolumeSliderAtIndexTwoAsWideAsItemThree) {
    ControllerRig rig;
    const QString measured = rig.menu->actions()[3]->text();
    const double menuWidth = rig.menu->sizeHint().width();
    rig->awakeFromNib();

    EXPECT_EQ(rig.keys->asked, 1);
    EXPECT_EQ(rig.menu->actions()[1]->text(), "No sound set");
    auto* volume = qobject_cast<QWidgetAction*>(rig.menu->actions()[2]);
    ASSERT_NE(volume, nullptr);
    QWidget* container = volume->defaultWidget();
    EXPECT_EQ(container->width(), static_cast<int>(menuWidth));
    const double text = QFontMetricsF(rig.menu->font()).horizontalAdvance(measured);
    const int inset =
        static_cast<int>((menuWidth - static_cast<double>(static_cast<long>(text + 0.999))) / 2);
    EXPECT_EQ(container->layout()->contentsMargins().left(), inset);
    EXPECT_EQ(container->layout()->contentsMargins().right(), inset);
    EXPECT_FALSE(rig->slider()->isEnabled());
    rig->startEventMonitor();  // nothing loaded: no key is observed
    EXPECT_EQ(rig.keys->starts, 0);
    EXPECT_FALSE(rig->statusItem()->icon().isNull());

    rig.menu->actions()[0]->trigger();
    EXPECT_TRUE(rig->isOpenPanelShowing());
}

TEST(StatusMenu, UntrustedRunOffersThePrivacyItemAndStillReadsTheVolume) {
    ControllerRig rig(false);
    rig.defaults.setFloatForKey(0.2f, "volume");
    rig.workspace.result = false;  // a page that cannot open changes nothing
    rig->awakeFromNib();
    EXPECT_EQ(rig->slider(), nullptr);
    EXPECT_FLOAT_EQ(rig->volume(), 0.2f);
    EXPECT_EQ(titles(*rig.menu), (QStringList{"Open Security & Privacy Preferences...", "-"} +
                                  kControls + QStringList{"-", "Help", "Quit tapsound"}));
    EXPECT_EQ(rig->statusItem()->toolTip(), "tapsound cannot hear your keys");
    rig.menu->actions()[0]->trigger();
    rig.menu->actions()[15]->trigger();  // Help opens the same page
    EXPECT_EQ(rig.workspace.opened,
              (std::vector<std::string>(2, "file:///usr/share/tapsound/help/index.html")));
    rig.menu->actions()[16]->trigger();
    EXPECT_EQ(rig.terminated, 1);
    EXPECT_EQ(loadMainInterface("/nonexistent/MainMenu.xml"), nullptr);
    // Without a desktop handler for it, the help page shows in a window of ours.
    const std::string path = std::getenv("PATH");
    setenv("PATH", "/nonexistent", 1);
    const QUrl help = QUrl::fromLocalFile(TAPSOUND_SOURCE_DIR "/resources/help/index.html");
    EXPECT_TRUE(platform::QtWorkspace().openURL(help.toString().toStdString()));
    const auto windows = QApplication::topLevelWidgets();
    EXPECT_TRUE(std::any_of(windows.begin(), windows.end(), [](QWidget* window) {
        const auto* page = qobject_cast<QTextBrowser*>(window);
        return page && page->isVisible() && page->toPlainText().contains("Wayland");
    }));
    setenv("PATH", path.c_str(), 1);  // later tests start programs
}

// The sets of every folder, read anew when the submenu opens; choosing one loads it, and the menu
// and tooltip name it or say why nothing plays.
TEST(StatusMenu, SoundSetsListEveryOpenableLocationAndTheMenuNamesTheLoadedOne) {
    test::TempDir xdg;
    const std::string data = xdg.file("data/"), usr = xdg.file("usr/"), config = xdg.file("cfg/");
    setenv("XDG_DATA_HOME", data.c_str(), 1);
    setenv("XDG_DATA_DIRS", (xdg.file("none") + ":" + usr).c_str(), 1);
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    for (const std::string& path :
         {data + "tapsound/sets/Empty/", data + "tapsound/sets/R&B.tapsnd/",
          usr + "tapsound/sets/Example.tapsnd/", config + "Mechvibes/custom/cherry/",
          data + "tapsound/sets/beep.WAV", data + "tapsound/sets/notes.txt",
          data + "mechvibes/soundpacks/keyboard/topre.zip"}) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        if (path.back() != '/') test::writeBytes(path, "sound");
    }
    ControllerRig rig;
    rig->awakeFromNib();
    EXPECT_EQ(test::submenu(*rig.menu, "soundSets"), (QStringList{"beep.WAV", "Empty", "R&&B", "-",
                                                                  "Example", "-", "cherry", "-",
                                                                  "topre"}));
    test::writeBytes(data + "tapsound/sets/Added.wav", "sound");
    EXPECT_EQ(test::submenu(*rig.menu, "soundSets").first(), "Added.wav");

    // A title in the menu, or a path, and the name then shown. An unreadable path leaves the
    // loaded set playing.
    const std::pair<const char*, const char*> cases[] = {
        {"beep.WAV", "beep.WAV"}, {"/nonexistent/typo.wav", "beep.WAV"},
        {"Empty", "No sounds in Empty"}, {"/nonexistent/typo.wav", "No sounds in typo.wav"},
        {"R&&B", "No sounds in R&B"}};
    for (const auto& [chosen, name] : cases) {
        if (chosen[0] == '/') rig->openWithFileURL(chosen);
        else test::submenu(*rig.menu, "soundSets", chosen);
        EXPECT_EQ(rig.menu->actions()[1]->text().replace("&&", "&"), name);
        EXPECT_EQ(rig->statusItem()->toolTip(), QString("tapsound: ") + name);
    }
}

TEST(SoundSets, NamesThatAreNotUtf8AreOfferedByteForByte) {
    test::TempDir dir;
    std::filesystem::create_directories(dir.file("b\xfe"));
    for (const char* name : {"a\xff.wav", ".hidden.wav", "notes.txt"})
        ASSERT_TRUE(test::writeBytes(dir.file(name), ""));
    const auto groups = findSoundSets({QFile::decodeName(dir.path().c_str())}, {"wav"});
    ASSERT_EQ(groups.size(), 1u);
    std::vector<std::string> locations;
    for (const SoundSetEntry& entry : groups[0]) locations.push_back(entry.location);
    EXPECT_EQ(locations, (std::vector<std::string>{dir.file("a\xff.wav"), dir.file("b\xfe")}));
    EXPECT_TRUE(groups[0][0].title.startsWith('a'));
}

// Mute silences; Start at Login is the autostart file, whoever else changes it, and that file
// starts the program wherever it lies.
TEST(StatusMenu, MuteSilencesAndStartAtLoginIsTheAutostartEntryWhateverTheProgramsPath) {
    ControllerRig rig;
    setenv("XDG_CONFIG_HOME", rig.dir.file("config").c_str(), 1);
    test::writeBytes(rig.dir.file("click.wav"), "sound");
    rig->awakeFromNib();
    rig->openWithFileURL(rig.dir.file("click.wav"));
    itemWithAction(rig.menu.get(), "toggleMute:")->trigger();
    rig->playSoundWithKeyCode(4);
    EXPECT_TRUE(rig.player->started.empty() && rig->statusItem()->toolTip().endsWith("(muted)"));

    const std::string desktop = rig.dir.file("config/autostart/tapsound.desktop");
    QAction* login = itemWithAction(rig.menu.get(), "toggleStartAtLogin:");
    login->trigger();
    EXPECT_NE(test::readBytes(desktop).find("\nExec=\"" +
                                            QCoreApplication::applicationFilePath().toStdString()),
              std::string::npos);
    // Switched off elsewhere (a desktop's autostart settings): the menu shows it on opening.
    test::writeBytes(desktop, test::readBytes(desktop) + "Hidden=true\n");
    emit rig.menu->aboutToShow();
    EXPECT_FALSE(login->isChecked());
    login->trigger();
    EXPECT_TRUE(login->isChecked());
    login->trigger();
    EXPECT_FALSE(login->isChecked() || std::filesystem::exists(desktop));

    // A program path holding what a desktop entry value cannot hold as it is still starts that
    // program: desktop-file-validate reads the entry, and unquoted it is the path again.
    ASSERT_TRUE(setStartAtLogin(true, "/opt/a b\n\t\r\"$`\\%x/tapsound"));
    EXPECT_EQ(test::run({"/usr/bin/desktop-file-validate", desktop}), 0);
    const std::string entry = test::readBytes(desktop);
    EXPECT_NE(entry.find("\nExec=\"/opt/a b\\n\\t\\r\\\\\"\\\\$\\\\`\\\\\\\\%%x/tapsound\"\n"),
              std::string::npos)
        << entry;
}

// A location that vanished or holds no sound leaves the loaded set, and the stored one, as they
// were, and the command line that asked is told; the first start plays the example set.
TEST(OpenSoundSet, AMissingOrSoundlessLocationKeepsTheLoadedSet) {
    ControllerRig rig;
    std::filesystem::create_directories(rig.dir.file("Empty.tapsnd/Contents/Resources/sounds"));
    test::writeBytes(rig.dir.file("click.wav"), "sound");
    rig->awakeFromNib();
    rig->openAtFirstStart(rig.dir.file("click.wav"));
    rig->applicationDidFinishLaunching();
    ASSERT_EQ(rig->soundSetName(), "click.wav");
    const auto stored = rig.defaults.objectForKey("Bookmark");
    for (const char* path : {"Gone.tapsnd", "Empty.tapsnd", "Gone.wav"}) {
        std::optional<bool> told;
        rig->openFromCommandLine(rig.dir.file(path), [&](bool heldSound) { told = heldSound; });
        EXPECT_EQ(told, false) << path;
        rig->playSoundWithKeyCode(4);
        EXPECT_EQ(rig.playedNames(), std::vector<std::string>{"click"}) << path;
        EXPECT_EQ(rig->soundSetName(), "click.wav") << path;
        EXPECT_EQ(rig.defaults.objectForKey("Bookmark"), stored) << path;
    }
    rig->openAtFirstStart(rig.dir.file("Empty.tapsnd"));  // a set is stored: not the first start
    EXPECT_EQ(rig->soundSetName(), "click.wav");
}

// Where no tray shows icons, a window offers the menu's controls and, in an untrusted run, why
// no key sounds; closing it quits, as nothing else would be left to reach the program.
TEST(NoTray, TheWindowOffersTheMenusControls) {
    for (const bool trusted : {true, false}) {
        ControllerRig rig(trusted);
        rig->awakeFromNib();
        NoTrayWindow window(rig.menu.get(), rig->slider(), trusted, [&] { ++rig.terminated; });
        window.showState("Example");
        QStringList shown;
        for (const QLabel* label : window.findChildren<QLabel*>()) shown << label->text();
        for (const QToolButton* button : window.findChildren<QToolButton*>())
            shown << button->text().replace("&&", "&");
        const QStringList top =
            trusted ? QStringList{"Example", "Volume", "Open..."}
                    : QStringList{"<b>tapsound cannot hear your keys</b><br>Choose \"Open "
                                  "Security &amp; Privacy Preferences...\" to see how to allow it.",
                                  "Example", "Open Security & Privacy Preferences..."};
        EXPECT_EQ(shown, (top + kControls + QStringList{"Help", "Quit tapsound"}));
        if (auto* volume = window.findChild<QSlider*>()) {
            volume->setValue(300);
            EXPECT_FLOAT_EQ(rig->volume(), 0.3f);
            EXPECT_EQ(rig->slider()->value(), 300);
        }
        window.close();
        EXPECT_EQ(rig.terminated, 1);
    }
}

}  // namespace
}  // namespace tapsound
