#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <cmath>

#include "app/main_interface.h"
#include "tests/support/fake_platform.h"

namespace tapsound {
namespace {

using test::ControllerRig;

// The submenu's items as shown ("*" checked, "/off" disabled) once it opens; `choose` clicks one.
QStringList submenu(QMenu& menu, const char* action, const QString& choose = {}) {
    QMenu* sub = itemWithAction(&menu, action)->menu();
    emit sub->aboutToShow();
    QStringList shown;
    for (QAction* item : sub->actions()) {
        shown << (item->isChecked() ? "*" : "") + item->text() + (item->isEnabled() ? "" : "/off");
        if (item->text() == choose) item->trigger();
    }
    return shown;
}

// Keys sound where they sit at each width and each press draws its own pitch and level within
// the spread, only when asked (weighted variants draw as before); both outlive the run.
TEST(SoundOptions, StereoAndVariationPlaceAndVaryEachPressAndAreRemembered) {
    ControllerRig rig;
    rig->awakeFromNib();
    rig.openOneSoundPerKey();
    EXPECT_EQ(submenu(*rig.menu, "stereo"), (QStringList{"*Off", "Narrow", "Wide"}));
    EXPECT_EQ(submenu(*rig.menu, "varyEachPress"), (QStringList{"*Off", "Slight", "More"}));
    const int keys[] = {0x35, 0x00, 0x31,
                        0x25, 0x24, 0x4C};  // Escape A Space L Return keypad Enter
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
    rig.defaults.setObjectForKey(9.0, "stereoWidth");  // stored out of range: off
    ControllerRig again(true, rig.config);
    again->awakeFromNib();
    EXPECT_EQ(submenu(*again.menu, "stereo"), (QStringList{"*Off", "Narrow", "Wide"}));
    EXPECT_EQ(submenu(*again.menu, "varyEachPress"), (QStringList{"Off", "Slight", "*More"}));
}

// The chosen output is used while the server has it, the default while it is away; nothing is
// routed before the server has listed its outputs.
TEST(SoundOptions, TheOutputFollowsTheChoiceWhileItIsThere) {
    ControllerRig rig;
    rig->awakeFromNib();
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
    ControllerRig again(true, rig.config);
    again->awakeFromNib();
    EXPECT_TRUE(again.player->routes.empty());
    again->outputsChanged(both);
    EXPECT_EQ(again.player->routes, (std::vector<std::string>{"builtin"}));
}

}  // namespace
}  // namespace tapsound
