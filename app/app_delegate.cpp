#include "app/app_delegate.h"

#include <QMenu>
#include <QSlider>
#include <QSystemTrayIcon>

#include "app/volume_slider.h"
#include "platform/open_panel.h"
#include "platform/user_defaults.h"

namespace tapsound {

namespace {
constexpr const char* kVolumeKey = "volume";
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
        }
    });
}

AppDelegate::~AppDelegate() = default;

void AppDelegate::initialize(platform::UserDefaults& defaults) {
    defaults.registerDefaults({{kVolumeKey, 0.5}});
}

void AppDelegate::updateInstanceValues() {
    const float v = _platform.userDefaults.floatForKey(kVolumeKey);
    _volume = v;
    if (_slider) setSliderFloatValue(_slider, v);
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
