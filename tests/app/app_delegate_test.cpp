#include <gtest/gtest.h>

#include <QAction>
#include <QFontMetricsF>
#include <QLayout>
#include <QSystemTrayIcon>
#include <QMenu>
#include <QSlider>
#include <QWidgetAction>

#include "app/volume_slider.h"
#include "tests/support/fake_platform.h"

namespace tapsound {
namespace {

using test::ControllerRig;

QStringList titles(const QMenu& menu) {
    QStringList result;
    for (const QAction* item : menu.actions()) result << (item->isSeparator() ? "-" : item->text());
    return result;
}

TEST(Preferences, FirstLaunchUsesRegisteredVolumeAndNothingIsStored) {
    ControllerRig rig;
    rig->awakeFromNib();
    EXPECT_FLOAT_EQ(rig->volume(), 0.5f);
    ASSERT_NE(rig->slider(), nullptr);
    EXPECT_FLOAT_EQ(sliderFloatValue(rig->slider()), 0.5f);
    // Registered defaults answer but are never written.
    platform::QtUserDefaults unregistered(QString::fromStdString(rig.config + "/tapsound.conf"));
    EXPECT_FALSE(unregistered.objectForKey("volume").has_value());
}

TEST(Preferences, VolumeSurvivesTwoControllerLifetimes) {
    test::TempDir config;
    {
        ControllerRig first(true, config.path());
        first->awakeFromNib();
        first->slider()->setValue(250);  // the user drags the slider
        EXPECT_FLOAT_EQ(first->volume(), 0.25f);
        first->slider()->setValue(0);
        EXPECT_FLOAT_EQ(first->volume(), 0.0f);
        first->slider()->setValue(730);
    }
    ControllerRig second(true, config.path());
    second->awakeFromNib();
    EXPECT_FLOAT_EQ(second->volume(), 0.73f);
    EXPECT_FLOAT_EQ(sliderFloatValue(second->slider()), 0.73f);
}

TEST(Preferences, StoredVolumeOutsideRangeIsKeptButSliderStaysInRange) {
    ControllerRig rig;
    rig.defaults.setFloatForKey(50.0f, "volume");
    rig->awakeFromNib();
    EXPECT_FLOAT_EQ(rig->volume(), 50.0f);
    EXPECT_FLOAT_EQ(sliderFloatValue(rig->slider()), 1.0f);
    // Showing the stored value is not a user change: nothing was written back.
    EXPECT_FLOAT_EQ(rig.defaults.floatForKey("volume"), 50.0f);
}

TEST(Preferences, UntrustedRunStillReadsVolume) {
    ControllerRig rig(false);
    rig.defaults.setFloatForKey(0.2f, "volume");
    rig->awakeFromNib();
    EXPECT_EQ(rig->slider(), nullptr);
    EXPECT_FLOAT_EQ(rig->volume(), 0.2f);
    rig->applicationWillTerminate();
    EXPECT_TRUE(rig.monitor.calls.empty());
}

TEST(Preferences, TerminationRemovesGlobalMonitorFirst) {
    ControllerRig rig;
    test::writeBytes(rig.dir.file("one.wav"), "sound");
    rig->awakeFromNib();
    rig->applicationDidFinishLaunching();
    rig->openWithFileURL(rig.dir.file("one.wav"));
    ASSERT_EQ(rig.monitor.installed.size(), 2u);
    rig.monitor.calls.clear();
    rig->applicationWillTerminate();
    EXPECT_EQ(rig.monitor.calls, (std::vector<std::string>{"removeGlobal", "removeLocal"}));
}

TEST(StatusMenu, TrustedRunInsertsVolumeSliderAtIndexTwo) {
    ControllerRig rig;
    const QString measured = rig.menu->actions()[3]->text();
    const double menuWidth = rig.menu->sizeHint().width();
    rig->awakeFromNib();

    EXPECT_EQ(rig.accessibility.calls, 1);
    EXPECT_TRUE(rig.accessibility.lastPrompt);
    EXPECT_EQ(titles(*rig.menu), (QStringList{"Open...", "-", "Volume", "-", "Quit tapsound"}));
    auto* volume = qobject_cast<QWidgetAction*>(rig.menu->actions()[2]);
    ASSERT_NE(volume, nullptr);
    QWidget* container = volume->defaultWidget();
    ASSERT_NE(container, nullptr);
    EXPECT_EQ(container->width(), static_cast<int>(menuWidth));
    EXPECT_EQ(container->height(), rig->slider()->sizeHint().height());
    // At the container's first width the slider is exactly as wide as item 3's title.
    const double text = QFontMetricsF(rig.menu->font()).horizontalAdvance(measured);
    const int inset = static_cast<int>((menuWidth - static_cast<double>(static_cast<long>(text + 0.999))) / 2);
    EXPECT_EQ(container->layout()->contentsMargins().left(), inset);
    EXPECT_EQ(container->layout()->contentsMargins().right(), inset);
    EXPECT_FALSE(rig->slider()->isEnabled());
    EXPECT_FALSE(rig->isMonitoring());
    EXPECT_EQ(rig.seeds.size(), 1u);
    ASSERT_NE(rig->statusItem(), nullptr);
    EXPECT_FALSE(rig->statusItem()->icon().isNull());
}

TEST(StatusMenu, UntrustedRunOffersThePrivacyItem) {
    ControllerRig rig(false);
    rig->awakeFromNib();
    EXPECT_EQ(titles(*rig.menu),
              (QStringList{"Open Security & Privacy Preferences...", "-", "Quit tapsound"}));
    rig.menu->actions()[0]->trigger();
    EXPECT_EQ(rig.workspace.opened,
              (std::vector<std::string>{"file:///usr/share/tapsound/help/index.html"}));
    rig.menu->actions()[2]->trigger();
    EXPECT_EQ(rig.terminated, 1);
}

TEST(StatusMenu, OpenItemShowsThePanel) {
    ControllerRig rig;
    rig->awakeFromNib();
    rig.menu->actions()[0]->trigger();
    EXPECT_EQ(rig.panel->made, 1);
    EXPECT_TRUE(rig->isOpenPanelShowing());
}

TEST(StatusMenu, MainInterfaceFileThatCannotBeReadGivesNoMenu) {
    EXPECT_EQ(loadMainInterface("/nonexistent/MainMenu.xml"), nullptr);
}

}  // namespace
}  // namespace tapsound
