#include "app/app_delegate.h"

#include <QMenu>
#include <QSlider>
#include <QSystemTrayIcon>
#include <cmath>

#include "app/exported_menu.h"
#include "app/main_interface.h"
#include "app/no_tray_window.h"
#include "app/status_notifier_item.h"
#include "app/tray_presence.h"
#include "app/volume_slider.h"
#include "platform/open_panel.h"
#include "platform/user_defaults.h"
#include "soundset/key_code_table.h"

namespace tapsound {

namespace {
constexpr const char* kVolumeKey = "volume";
constexpr const char* kBookmarkKey = "Bookmark";
constexpr float kDefaultVolume = 0.5f;
}  // namespace

// What to put back should the location hold no sound.
struct AppDelegate::CommandLineRequest {
    std::string path;
    std::function<void(bool)> done;
    std::optional<platform::DefaultsValue> bookmark;
    KeyArray keys, keysUp;
    std::string setPath;
    QString setName;
};

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
        } else if (action == "enableAccessibilityReporting:") {
            enableAccessibilityReporting();
        } else if (action == "toggleSilentInFullScreen:") {
            toggleSilentInFullScreen();
        } else if (action == "toggleSilentInApplication:") {
            toggleSilentInApplication();
        }
    });
    connectMenuControls();
    if (QAction* mouse = itemWithAction(_keyMenu, "mouseSounds"); mouse && mouse->menu()) {
        QMenu* menu = mouse->menu();
        QObject::connect(menu, &QMenu::aboutToShow, menu,
                         [this, menu] { fillMouseSoundsMenu(menu); });
    }
    connectSilenceControls();
    connectSoundControls();
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
    readSoundOptions();
}

void AppDelegate::setVolume(QSlider* sender) {
    _volume = sliderFloatValue(sender);
    _platform.userDefaults.setFloatForKey(_volume, kVolumeKey);
}

void AppDelegate::openFromCommandLine(const std::string& path, std::function<void(bool)> done) {
    // An earlier request still loading is overtaken: its start is told it was taken.
    if (auto earlier = std::move(_commandLineRequest); earlier && earlier->done) {
        earlier->done(true);
    }
    _commandLineRequest.reset(new CommandLineRequest{
        path, std::move(done), _platform.userDefaults.objectForKey(kBookmarkKey), _keyArray,
        _keyUpArray, _soundSetPath, _soundSetName});
    // Untrusted, the first location named is only kept, and loads at no point in this run.
    const bool loads = _isAccessibilityEnabled || _tempPath;
    applicationOpenFile(path);
    if (!loads) didFinishOpening(path, true);
}

void AppDelegate::didFinishOpening(const std::string& path, bool heldSound) {
    const std::unique_ptr<CommandLineRequest> request = std::move(_commandLineRequest);
    if (!request) return;
    // Another location, opened from the menu meanwhile, overtook this one.
    if (request->path != path) heldSound = true;
    if (!heldSound) {
        _keyArray = request->keys;
        _keyUpArray = request->keysUp;
        // Empty data stands for "none stored", as no key can be removed.
        _platform.userDefaults.setObjectForKey(
            request->bookmark.value_or(std::vector<std::uint8_t>()), kBookmarkKey);
        _soundSetPath = request->setPath;
        _soundSetName = request->setName;
        endEventMonitor();
        if (_slider) _slider->setEnabled(anySoundLoaded());
        startEventMonitor();
        showSoundSetState();
    }
    if (request->done) request->done(heldSound);
}

void AppDelegate::openAtFirstStart(const std::string& examplePath) {
    const auto stored = _platform.userDefaults.objectForKey(kBookmarkKey);
    const auto* data = stored ? std::get_if<std::vector<std::uint8_t>>(&*stored) : nullptr;
    if (examplePath.empty() || _tempPath || (stored && !(data && data->empty()))) return;
    applicationOpenFile(examplePath);
}

void AppDelegate::applicationWillTerminate() {
    if (_globalEventMonitor) _platform.eventMonitor.removeMonitor(_globalEventMonitor);
    if (_localEventMonitor) _platform.eventMonitor.removeMonitor(_localEventMonitor);
}

}  // namespace tapsound
