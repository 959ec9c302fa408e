// The sound options of the menu: stereo, variation, output and mouse sounds.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>

#include "tests/support/fake_platform.h"

namespace tapsound {
namespace {

using test::ControllerRig;
using test::submenu;

// Keys sound where they sit at each width and each press draws its own pitch and level within
// the spread, only when asked (weighted variants draw as before). The chosen output is used while
// the server has it, the default while it is away; nothing is routed before the server has listed
// its outputs. All three outlive the run.
TEST(SoundOptions, StereoVariationAndOutputApplyToEachPressAndAreRemembered) {
    ControllerRig rig;
    rig->awakeFromNib();
    rig.openOneSoundPerKey();
    EXPECT_EQ(submenu(*rig.menu, "stereo"), (QStringList{"*Off", "Narrow", "Wide"}));
    EXPECT_EQ(submenu(*rig.menu, "varyEachPress"), (QStringList{"*Off", "Slight", "More"}));
    const int keys[] = {0x35, 0x00, 0x31, 0x25, 0x24, 0x4C};  // Escape A Space L Return KP_Enter
    const float wide[] = {-0.695f, -0.505f, 0.0f, 0.312f, 0.646f, 0.969f};
    for (const char* width : {"Off", "Narrow", "Wide"}) {
        submenu(*rig.menu, "stereo", width);
        const float scale = width[0] == 'O' ? 0.0f : width[0] == 'N' ? 0.4f : 1.0f;
        for (int i = 0; i < 6; ++i) {
            rig->playSoundWithKeyCode(keys[i]);
            EXPECT_NEAR(rig.player->started.back().voicing.pan, wide[i] * scale, 0.002)
                << width << i;
        }
    }
    EXPECT_EQ(rig.randCalls, 0);
    submenu(*rig.menu, "stereo", "Off");
    for (const auto& [title, cents, decibels] :
         {std::tuple{"Slight", 30.0, 1.5}, {"More", 70.0, 3.0}}) {
        submenu(*rig.menu, "varyEachPress", title);
        for (const int r : {0, 1 << 30, 2147483647}) {
            rig.nextRand = r;
            rig->playSoundWithKeyCode(0);
            const auto& v = rig.player->started.back().voicing;
            const double drawn = r / 2147483647.0 * 2 - 1;
            EXPECT_NEAR(1200 * std::log2(v.rate), drawn * cents, 0.1) << title;
            EXPECT_NEAR(20 * std::log10(v.level), drawn * decibels, 0.01) << title;
        }
    }
    EXPECT_FLOAT_EQ(rig->pointerPosition(0.75), 0.5f);
    EXPECT_FLOAT_EQ(rig->pointerPosition(-1.0) + rig->pointerPosition(NAN), 0.0f);
    EXPECT_EQ(submenu(*rig.menu, "output"), (QStringList{"*Default"}));
    const std::vector<OutputDevice> both = {{"builtin", "Built-in Audio"}, {"usb", "USB & Co"}};
    rig->outputsChanged(both);
    submenu(*rig.menu, "output", "USB && Co");
    rig->outputsChanged({both[0]});
    EXPECT_EQ(submenu(*rig.menu, "output"),
              (QStringList{"Default", "Built-in Audio", "*USB && Co (not connected)/off"}));
    rig->outputsChanged(both);
    submenu(*rig.menu, "output", "Default");
    submenu(*rig.menu, "output", "Built-in Audio");
    EXPECT_EQ(rig.player->routes, (std::vector<std::string>{"", "usb", "", "usb", "", "builtin"}));
    rig.defaults.setObjectForKey(9.0, "stereoWidth");  // stored out of range: off
    ControllerRig again(true, rig.config);
    again->awakeFromNib();
    EXPECT_EQ(submenu(*again.menu, "stereo"), (QStringList{"*Off", "Narrow", "Wide"}));
    EXPECT_EQ(submenu(*again.menu, "varyEachPress"), (QStringList{"Off", "Slight", "*More"}));
    EXPECT_TRUE(again.player->routes.empty());
    again->outputsChanged(both);
    EXPECT_EQ(again.player->routes, (std::vector<std::string>{"builtin"}));
}

// A Thock pack of the given "sounds", each file it names written as a sound.
void writeThockPack(const std::string& folder, const std::string& sounds, double volume = 1) {
    test::writeBytes(folder + "/config.json",
                     "{\"metadata\": {\"volume\": " + std::to_string(volume) + "}, \"sounds\": {" +
                         sounds + "}}");
    const std::regex file("\\w+\\.wav");
    for (std::sregex_iterator it(sounds.begin(), sounds.end(), file), end; it != end; ++it)
        test::writeBytes(folder + "/" + it->str(), "sound");
}

// Which clicks play what as mouse packs (Thock packs naming buttons) are opened, chosen in the
// Mouse Sounds menu, dropped and restored, the keyboard set staying as it was.
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
        const char* menu;  // the Mouse Sounds menu, the checked item starred
        // Left pressed and released, right pressed and released, key 0: each sound at its volume.
        const char* heard;
    } steps[] = {
        {"", "*None - Clicks Taps", "000@50"},
        {"open Clicks", "None - *Clicks Taps", "ld@25 lu@25 r@25 000@50"},
        {"menu Taps", "None - Clicks *Taps", "tap@50 000@50"},
        {"menu None", "*None - Clicks Taps", "000@50"},
        {"command Clicks", "None - *Clicks Taps", "ld@25 lu@25 r@25 000@50"},
        {"relaunch", "None - *Clicks Taps", "ld@25 lu@25 r@25 000@50"},
        {"open Both", "None - *Clicks Taps", "ld@25 lu@25 r@25 a@50"},
        {"menu None", "*None - Clicks Taps", "both@50 a@50"},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.step);
        const std::string step = s.step, title = step.substr(step.find(' ') + 1);
        if (step.rfind("menu", 0) == 0) {
            test::submenu(*rig->menu, "mouseSounds", QString::fromStdString(title));
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
        EXPECT_EQ(test::submenu(*rig->menu, "mouseSounds").join(' ').toStdString(), s.menu);
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
