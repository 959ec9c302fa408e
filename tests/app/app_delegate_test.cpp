#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QFontMetricsF>
#include <QLayout>
#include <QMenu>
#include <QSettings>
#include <QSlider>
#include <QSystemTrayIcon>
#include <QTextBrowser>
#include <QUrl>
#include <QWidgetAction>

#include "app/volume_slider.h"
#include "platform/workspace_qt.h"
#include "tests/support/fake_platform.h"

namespace tapsound {
namespace {

using test::ControllerRig;

// The items as shown: a single "&" marks a mnemonic, "&&" shows as "&".
QStringList titles(const QMenu& menu) {
    QStringList result;
    for (const QAction* item : menu.actions()) {
        result << (item->isSeparator()
                       ? "-"
                       : item->text().replace("&&", "\x01").remove('&').replace('\x01', '&'));
    }
    return result;
}

// Out of range, a stored volume is kept but plays within range; no number at all counts as unset.
TEST(Preferences, StrayStoredVolumesStayStoredButPlayWithinRange) {
    const struct {
        const char* stored;
        float volume, slider, played;
    } cases[] = {
        {nullptr, 0.5f, 0.5f, 0.5f}, {"50", 50, 1, 1},          {"-3", -3, 0, 0},
        {"nan", 0.5f, 0.5f, 0.5f},   {"inf", 0.5f, 0.5f, 0.5f}, {"1e309", 0.5f, 0.5f, 0.5f}};
    for (const auto& c : cases) {
        ControllerRig rig;
        if (c.stored) rig.defaults.setObjectForKey(std::string(c.stored), "volume");
        test::writeBytes(rig.dir.file("click.wav"), "sound");
        rig->awakeFromNib();
        rig->openWithFileURL(rig.dir.file("click.wav"));
        rig->playSoundWithKeyCode(4);
        SCOPED_TRACE(c.stored ? c.stored : "unset");
        EXPECT_FLOAT_EQ(rig->volume(), c.volume);
        EXPECT_FLOAT_EQ(sliderFloatValue(rig->slider()), c.slider);
        ASSERT_EQ(rig.player->started.size(), 1u);
        EXPECT_FLOAT_EQ(rig.player->started[0].volume, c.played);
        // Showing the stored value is not a user change: nothing was written, not even the default.
        QSettings(QString::fromStdString(rig.config + "/tapsound.conf"), QSettings::IniFormat)
            .sync();
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
    EXPECT_EQ(titles(*rig.menu), (QStringList{"Open...", "-", "Volume", "-", "Quit tapsound"}));
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
    EXPECT_EQ(titles(*rig.menu),
              (QStringList{"Open Security & Privacy Preferences...", "-", "Quit tapsound"}));
    rig.menu->actions()[0]->trigger();
    EXPECT_EQ(rig.workspace.opened,
              (std::vector<std::string>{"file:///usr/share/tapsound/help/index.html"}));
    rig.menu->actions()[2]->trigger();
    EXPECT_EQ(rig.terminated, 1);
    EXPECT_EQ(loadMainInterface("/nonexistent/MainMenu.xml"), nullptr);
    // Without a desktop handler for it, the help page shows in a window of ours.
    setenv("PATH", "/nonexistent", 1);
    EXPECT_TRUE(platform::QtWorkspace().openURL(
        QUrl::fromLocalFile(TAPSOUND_SOURCE_DIR "/resources/help/index.html")
            .toString()
            .toStdString()));
    bool shown = false;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        const auto* page = qobject_cast<QTextBrowser*>(window);
        shown = shown || (page && page->isVisible() && page->toPlainText().contains("Wayland"));
    }
    EXPECT_TRUE(shown);
}

}  // namespace
}  // namespace tapsound
