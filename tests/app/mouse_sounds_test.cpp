// Which clicks play what as mouse packs (Thock packs naming buttons) are opened, chosen in the
// Mouse Sounds menu, dropped and restored, the keyboard set staying as it was.
#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <regex>

#include "app/main_interface.h"
#include "tests/support/fake_platform.h"

namespace tapsound {
namespace {

// A Thock pack of the given "sounds", each file it names written as a sound.
void writeThockPack(const std::string& folder, const std::string& sounds, double volume = 1) {
    test::writeBytes(folder + "/config.json",
                     "{\"metadata\": {\"volume\": " + std::to_string(volume) + "}, \"sounds\": {" +
                         sounds + "}}");
    const std::regex file("\\w+\\.wav");
    for (std::sregex_iterator it(sounds.begin(), sounds.end(), file), end; it != end; ++it)
        test::writeBytes(folder + "/" + it->str(), "sound");
}

TEST(MouseSounds, AMousePackPlaysForClicksAndLeavesTheKeyboardSetAsItIs) {
    test::TempDir xdg;
    setenv("XDG_DATA_HOME", xdg.file("data").c_str(), 1);
    setenv("XDG_DATA_DIRS", xdg.file("none").c_str(), 1);
    setenv("XDG_CONFIG_HOME", xdg.file("none").c_str(), 1);
    const std::string sets = xdg.file("data/tapsound/sets/");
    writeThockPack(
        sets + "Clicks",
        R"("left": {"down": ["ld.wav"], "up": ["lu.wav"]}, "right": {"down": ["r.wav"]})", 0.5);
    writeThockPack(sets + "Taps", R"("left": {"down": ["tap.wav"]})");
    // A keyboard pack defining a button of its own.
    writeThockPack(sets + "Both", R"("a": {"down": ["a.wav"]}, "left": {"down": ["both.wav"]})");

    auto rig = std::make_unique<test::ControllerRig>(true, xdg.file("config"));
    std::unique_ptr<test::ControllerRig> earlier;  // keeps the first run's keyboard set on disk
    const auto launch = [&] {
        (*rig)->awakeFromNib();
        (*rig)->applicationDidFinishLaunching();
    };
    launch();
    rig->openOneSoundPerKey();
    const struct {
        const char* step;  // "menu TITLE", "open TITLE", "command TITLE" or "relaunch"
        const char* menu;  // the Mouse Sounds menu, the checked item in brackets
        // Left pressed and released, right pressed and released, key 0: each sound at its volume.
        const char* heard;
    } steps[] = {
        {"", "[None] - Clicks Taps", "000@50"},
        {"open Clicks", "None - [Clicks] Taps", "ld@25 lu@25 r@25 000@50"},
        {"menu Taps", "None - Clicks [Taps]", "tap@50 000@50"},
        {"menu None", "[None] - Clicks Taps", "000@50"},
        {"command Clicks", "None - [Clicks] Taps", "ld@25 lu@25 r@25 000@50"},
        {"relaunch", "None - [Clicks] Taps", "ld@25 lu@25 r@25 000@50"},
        {"open Both", "None - [Clicks] Taps", "ld@25 lu@25 r@25 a@50"},
        {"menu None", "[None] - Clicks Taps", "both@50 a@50"},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.step);
        const std::string step = s.step, title = step.substr(step.find(' ') + 1);
        const auto mouseMenu = [&] {
            QMenu* menu = itemWithAction(rig->menu.get(), "mouseSounds")->menu();
            return emit menu->aboutToShow(), menu->actions();
        };
        if (step.rfind("menu", 0) == 0) {
            for (QAction* item : mouseMenu())
                if (item->text().toStdString() == title) item->trigger();
        } else if (step.rfind("open", 0) == 0) {
            (*rig)->openWithFileURL(sets + title);
        } else if (step.rfind("command", 0) == 0) {
            std::optional<bool> told;
            (*rig)->openFromCommandLine(sets + title, [&](bool held) { told = held; });
            EXPECT_EQ(told, true);
        } else if (step == "relaunch") {
            earlier = std::exchange(rig, nullptr);
            rig = std::make_unique<test::ControllerRig>(true, xdg.file("config"));
            launch();
        }
        QStringList shown;
        for (const QAction* item : mouseMenu()) {
            const QString title = item->text();
            shown << (item->isSeparator() ? "-" : item->isChecked() ? "[" + title + "]" : title);
        }
        EXPECT_EQ(shown.join(' ').toStdString(), s.menu);
        // Clicks reach the controller only while some sound is there for them.
        for (const auto& [button, down] : {std::pair{0, true}, {0, false}, {1, true}, {1, false}})
            if (rig->keys->buttonHandler) rig->keys->buttonHandler({std::uint8_t(button), down});
        const auto started = rig->type("+0 -0").player->started;
        const auto names = rig->playedNames();
        std::string heard;
        for (std::size_t i = 0; i < names.size(); ++i) {
            const long volume = std::lround(started[i].volume * 100);
            heard += (i ? " " : "") + names[i] + "@" + std::to_string(volume);
        }
        EXPECT_EQ(heard, s.heard);
    }
    EXPECT_EQ((*rig)->soundSetName(), "Both");
}

}  // namespace
}  // namespace tapsound
