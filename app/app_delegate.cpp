#include "app/app_delegate.h"

#include <QMenu>
#include <QSlider>
#include <QSystemTrayIcon>
#include <cmath>

#include "app/exported_menu.h"
#include "app/no_tray_window.h"
#include "app/tray_presence.h"
#include "app/volume_slider.h"
#include "platform/open_panel.h"
#include "platform/user_defaults.h"

namespace tapsound {

namespace {
constexpr const char* kVolumeKey = "volume";
constexpr float kDefaultVolume = 0.5f;
}

AppDelegate::AppDelegate(Platform platform, QMenu* keyMenu)
    : _platform(std::move(platform)), _keyMenu(keyMenu) {
    // Items of the main interface file name the controller action they send.
    QObject::connect(_keyMenu, &QMenu::triggered, _keyMenu, [this](QAction* item) {
        const QString action = item->data().toString();
        if (action == "open:") {
            open();
        } else if (action == "openPrivacyAccessibility") {
            openPrivacyAccessibility();
        } else if (action == "terminate:" && _platform.terminate) {
            _platform.terminate();
        } else if (action == "toggleMute:") {
            toggleMute();
        } else if (action == "toggleStartAtLogin:") {
            toggleStartAtLogin();
        } else if (action == "showHelp:") {
            showHelp();
        } else if (action == "toggleSilentForPasswords:") {
            toggleSilentForPasswords();
        } else if (action == "toggleSilentInFullScreen:") {
            toggleSilentInFullScreen();
        } else if (action == "toggleSilentInApplication:") {
            toggleSilentInApplication();
        }
    });
    connectMenuControls();
    connectSilenceControls();
}

AppDelegate::~AppDelegate() = default;

void AppDelegate::initialize(platform::UserDefaults& defaults) {
    defaults.registerDefaults({{kVolumeKey, kDefaultVolume}});
}

void AppDelegate::updateInstanceValues() {
    float v = _platform.userDefaults.floatForKey(kVolumeKey);
    // A stored volume that is no number (nan, inf, 1e309) counts as unset; the stored text stays
    // until the user moves the slider.
    if (!std::isfinite(v)) v = kDefaultVolume;
    _volume = v;
    if (_slider) setSliderFloatValue(_slider, v);
    readSilenceRules();
}

void AppDelegate::setVolume(QSlider* sender) {
    _volume = sliderFloatValue(sender);
    _platform.userDefaults.setFloatForKey(_volume, kVolumeKey);
}

void AppDelegate::applicationWillTerminate() {
    if (_globalEventMonitor) _platform.eventMonitor.removeMonitor(_globalEventMonitor);
    if (_localEventMonitor) _platform.eventMonitor.removeMonitor(_localEventMonitor);
}

}  // namespace tapsound
