#include <QAction>
#include <QCoreApplication>
#include <QIcon>
#include <QMenu>
#include <QSlider>
#include <QSystemTrayIcon>

#include "app/app_delegate.h"
#include "app/autostart.h"
#include "app/exported_menu.h"
#include "app/main_interface.h"
#include "app/no_tray_window.h"
#include "app/sound_sets.h"
#include "app/status_notifier_item.h"
#include "platform/sound.h"
#include "platform/workspace.h"

namespace tapsound {

void AppDelegate::connectMenuControls() {
    QObject::connect(_keyMenu, &QMenu::aboutToShow, _keyMenu, [this] { showStartAtLogin(); });
    // The pressed key shows while the menu is open.
    QObject::connect(_keyMenu, &QMenu::aboutToShow, _keyMenu,
                     [this] { setTrayIcon(QIcon(":/icons/key_alt.svg")); });
    QObject::connect(_keyMenu, &QMenu::aboutToHide, _keyMenu,
                     [this] { setTrayIcon(QIcon(":/icons/key.svg")); });
    if (QAction* sets = itemWithAction(_keyMenu, "soundSets"); sets && sets->menu()) {
        QMenu* menu = sets->menu();
        QObject::connect(menu, &QMenu::aboutToShow, menu,
                         [this, menu] { fillSoundSetsMenu(menu); });
    }
}

void AppDelegate::fillSoundSetsMenu(QMenu* menu) {
    menu->clear();
    const auto groups =
        findSoundSets(soundSetFolders(), _platform.soundLoader.soundUnfilteredTypes());
    for (const auto& entries : groups) {
        if (!menu->isEmpty()) menu->addSeparator();
        for (const SoundSetEntry& entry : entries) {
            QAction* item = menu->addAction(shownAsWritten(entry.title));
            item->setToolTip(entry.path);
            item->setCheckable(true);
            item->setChecked(entry.location == _soundSetPath);
            const std::string path = entry.location;
            QObject::connect(item, &QAction::triggered, item,
                             [this, path] { openWithFileURL(path); });
        }
    }
    if (menu->isEmpty()) menu->addAction("No sound sets found")->setEnabled(false);
}

void AppDelegate::toggleMute() {
    _muted = !_muted;
    showSoundSetState();
}

void AppDelegate::toggleStartAtLogin() {
    setStartAtLogin(!isStartingAtLogin(), QCoreApplication::applicationFilePath());
    showStartAtLogin();
}

// Whoever else edits the autostart folder, the check mark tells the file as it is.
void AppDelegate::showStartAtLogin() {
    if (QAction* item = itemWithAction(_keyMenu, "toggleStartAtLogin:")) {
        item->setChecked(isStartingAtLogin());
    }
}

void AppDelegate::showHelp() { _platform.workspace.openURL(_platform.privacyAccessibilityURL); }

void AppDelegate::didOpenSoundSet(const std::string& path, bool readable, bool anySound) {
    if (readable || !anySound) {
        _soundSetPath = path;
        const QString title = soundSetTitle(path);
        _soundSetName = anySound ? title : "No sounds in " + title;
    }
    showSoundSetState();
}

void AppDelegate::showSoundSetState() {
    if (QAction* item = itemWithAction(_keyMenu, "soundSetName")) {
        item->setText(shownAsWritten(_soundSetName));
    }
    if (QAction* item = itemWithAction(_keyMenu, "toggleMute:")) item->setChecked(_muted);
    if (_exportedMenu) _exportedMenu->showVolume();
    const QString silent = silentReason().isEmpty() ? QString() : "\n" + silentReason();
    if (_noTrayWindow) _noTrayWindow->showState(_soundSetName + silent);
    const QString tip = !_isAccessibilityEnabled ? "tapsound cannot hear your keys"
                        : _muted                 ? "tapsound: " + _soundSetName + " (muted)"
                                                 : "tapsound: " + _soundSetName + silent;
    if (_statusItem) _statusItem->setToolTip(tip);
    if (_notifierItem) _notifierItem->setToolTip(tip);
}

}  // namespace tapsound
