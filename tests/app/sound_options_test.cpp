#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <algorithm>
#include <cmath>

#include "app/main_interface.h"
#include "tests/support/fake_platform.h"

namespace tapsound {
namespace {

using test::ControllerRig;

QStringList shown(QMenu* menu) {
    emit menu->aboutToShow();
    QStringList titles;
    for (const QAction* item : menu->actions())
        titles << QString(item->isChecked() ? "*" : "") + item->text() +
                      (item->isEnabled() ? "" : "/off");
    return titles;
}

QAction* choice(QMenu* menu, const QString& title) {
    emit menu->aboutToShow();
    for (QAction* item : menu->actions())
        if (item->text() == title) return item;
    return nullptr;
}

// Keys sound where they sit at each width, clicks where the pointer is; without stereo every
// press is the recording itself, and the choice outlives the run.
TEST(SoundOptions, StereoPlacesKeysByWhereTheySitAndIsRemembered) {
    const struct {
        int key;
        float narrow, wide;  // expected pan, ±0.02
    } keys[] = {{0x35, -0.28f, -0.69f}, {0x00, -0.20f, -0.51f}, {0x31, 0.0f, 0.0f},
                {0x25, 0.12f, 0.31f},   {0x24, 0.26f, 0.65f},   {0x4C, 0.38f, 0.97f}};
    ControllerRig rig;
    rig->awakeFromNib();
    rig.openOneSoundPerKey();
    QMenu* stereo = itemWithAction(rig.menu.get(), "stereo")->menu();
    EXPECT_EQ(shown(stereo), (QStringList{"*Off", "Narrow", "Wide"}));
    for (const auto& k : keys) rig->playSoundWithKeyCode(k.key);
    for (const auto& started : rig.player->started) EXPECT_TRUE(started.voicing.plain());
    rig.player->started.clear();
    for (const char* width : {"Narrow", "Wide"}) {
        choice(stereo, width)->trigger();
        for (const auto& k : keys) {
            rig->playSoundWithKeyCode(k.key);
            EXPECT_NEAR(rig.player->started.back().voicing.pan, width[0] == 'N' ? k.narrow : k.wide,
                        0.02)
                << width << " " << k.key;
        }
    }
    EXPECT_FLOAT_EQ(rig->pointerPosition(0.0), -1.0f);
    EXPECT_FLOAT_EQ(rig->pointerPosition(0.75), 0.5f);
    EXPECT_FLOAT_EQ(rig->pointerPosition(-1.0), 0.0f);
    EXPECT_FLOAT_EQ(rig->pointerPosition(NAN), 0.0f);

    ControllerRig again(true, rig.config);
    again->awakeFromNib();
    EXPECT_EQ(shown(itemWithAction(again.menu.get(), "stereo")->menu()),
              (QStringList{"Off", "Narrow", "*Wide"}));
}

// Each press draws its own pitch and level within the chosen spread, reaching both ends of it;
// weighted variants are drawn first, as without variation.
TEST(SoundOptions, VariationDrawsEachPressWithinItsSpread) {
    ControllerRig rig;
    rig->awakeFromNib();
    rig.openOneSoundPerKey();
    QMenu* vary = itemWithAction(rig.menu.get(), "varyEachPress")->menu();
    EXPECT_EQ(shown(vary), (QStringList{"*Off", "Slight", "More"}));
    rig->playSoundWithKeyCode(0);
    EXPECT_EQ(rig.randCalls, 0);
    const struct {
        const char* title;
        double cents, decibels;
    } spreads[] = {{"Slight", 30, 1.5}, {"More", 70, 3.0}};
    for (const auto& s : spreads) {
        choice(vary, s.title)->trigger();
        for (const int r : {0, 1 << 30, 2147483647}) {
            rig.nextRand = r;
            rig->playSoundWithKeyCode(0);
            const auto& v = rig.player->started.back().voicing;
            const double expected = static_cast<double>(r) / 2147483647.0 * 2 - 1;
            EXPECT_NEAR(1200 * std::log2(v.rate), expected * s.cents, 0.1) << s.title;
            EXPECT_NEAR(20 * std::log10(v.level), expected * s.decibels, 0.01) << s.title;
            EXPECT_EQ(v.pan, 0.0f);
        }
    }
    EXPECT_EQ(rig.randCalls, 12);
    // A stored choice out of range counts as off.
    rig.defaults.setObjectForKey(9.0, "varyEachPress");
    rig->updateInstanceValues();
    EXPECT_EQ(rig->variation(), 0);
}

// The chosen output is used while the server has it; the default stands in while it is away,
// and nothing is routed before the server has listed its outputs.
TEST(SoundOptions, TheOutputFollowsTheChoiceWhileItIsThere) {
    ControllerRig rig;
    rig->awakeFromNib();
    QMenu* output = itemWithAction(rig.menu.get(), "output")->menu();
    EXPECT_EQ(shown(output), (QStringList{"*Default"}));
    const std::vector<OutputDevice> both = {{"builtin", "Built-in Audio"},
                                            {"usb", "USB & Co headset"}};
    rig->outputsChanged(both);
    EXPECT_EQ(shown(output), (QStringList{"*Default", "Built-in Audio", "USB && Co headset"}));
    EXPECT_EQ(rig.player->routes, (std::vector<std::string>{""}));
    choice(output, "USB && Co headset")->trigger();
    rig->outputsChanged({both[0]});
    EXPECT_EQ(shown(output),
              (QStringList{"Default", "Built-in Audio", "*USB && Co headset (not connected)/off"}));
    rig->outputsChanged(both);
    choice(output, "Default")->trigger();
    EXPECT_EQ(rig.player->routes, (std::vector<std::string>{"", "usb", "", "usb", ""}));

    choice(output, "Built-in Audio")->trigger();
    ControllerRig again(true, rig.config);
    again->awakeFromNib();
    EXPECT_TRUE(again.player->routes.empty());
    again->outputsChanged(both);
    EXPECT_EQ(again.player->routes, (std::vector<std::string>{"builtin"}));
}

}  // namespace
}  // namespace tapsound
