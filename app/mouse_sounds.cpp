#include <QAction>
#include <QFile>
#include <QMenu>
#include <QSlider>
#include <algorithm>
#include <utility>

#include "app/app_delegate.h"
#include "app/main_interface.h"
#include "app/sound_sets.h"
#include "platform/bookmarks.h"
#include "platform/user_defaults.h"

namespace tapsound {

namespace {

constexpr const char* kMouseBookmarkKey = "MouseBookmark";
constexpr const char* kBookmarkKey = "Bookmark";

std::optional<platform::ResolvedBookmark> resolvedBookmark(platform::UserDefaults& defaults,
                                                           platform::Bookmarks& bookmarks,
                                                           const char* key) {
    const auto stored = defaults.objectForKey(key);
    const auto* data = stored ? std::get_if<std::vector<std::uint8_t>>(&*stored) : nullptr;
    if (!data || data->empty()) return std::nullopt;
    auto resolved = bookmarks.URLByResolvingBookmarkData(*data);
    if (resolved.error || resolved.stale) return std::nullopt;
    return resolved;
}

}  // namespace

void AppDelegate::openMouseSoundsWithFileURL(const std::string& path) { openLocation(path, true); }

void AppDelegate::chooseNoMouseSounds() {
    if (_mouseLoadSuperseded) *_mouseLoadSuperseded = true;
    _mouseLoadSuperseded.reset();
    endEventMonitor();
    _buttonArray = {};
    _buttonUpArray = {};
    _mouseVolume = 1.0f;
    _mouseSoundsPath.clear();
    // Empty data stands for "none stored", as no key can be removed.
    _platform.userDefaults.setObjectForKey(std::vector<std::uint8_t>(), kMouseBookmarkKey);
    if (_slider) _slider->setEnabled(anySoundLoaded());
    startEventMonitor();
}

void AppDelegate::finishOpeningMouseSounds(const std::string& path, const PackTables& pack,
                                           bool chosen) {
    const bool anyClick = anyButtonFilled(pack.buttonPress) || anyButtonFilled(pack.buttonRelease);
    // A pack with no sound to play keeps the mouse sounds as they were, as a soundless set does.
    if (anyClick) {
        if (_mouseLoadSuperseded) *_mouseLoadSuperseded = true;  // this choice is the later one
        _mouseLoadSuperseded.reset();
        endEventMonitor();
        _buttonArray = pack.buttonPress;
        _buttonUpArray = pack.buttonRelease;
        _mouseVolume = pack.volume;
        _mouseSoundsPath = path;
        if (auto data = _platform.bookmarks.bookmarkDataWithPath(path)) {
            _platform.userDefaults.setObjectForKey(std::move(*data), kMouseBookmarkKey);
        }
        if (_slider) _slider->setEnabled(anySoundLoaded());
        startEventMonitor();
    }
    if (chosen) return;
    // Named alone at the start, a mouse pack still leaves the last keyboard set playing.
    if (!std::exchange(_keyboardSetRestored, true) && _soundSetPath.empty()) {
        const auto last =
            resolvedBookmark(_platform.userDefaults, _platform.bookmarks, kBookmarkKey);
        if (last) openWithFileURL(last->path);
    }
    didFinishOpening(path, anyClick);
}

void AppDelegate::restoreMouseSounds() {
    const auto last =
        resolvedBookmark(_platform.userDefaults, _platform.bookmarks, kMouseBookmarkKey);
    if (last) openMouseSoundsWithFileURL(last->path);
}

void AppDelegate::fillMouseSoundsMenu(QMenu* menu) {
    menu->clear();
    QAction* none = menu->addAction("None");
    none->setCheckable(true);
    none->setChecked(_mouseSoundsPath.empty());
    QObject::connect(none, &QAction::triggered, none, [this] { chooseNoMouseSounds(); });
    auto packs = findMousePacks(soundSetFolders(), _platform.fileManager);
    // The pack in use shows wherever it was opened from.
    const std::string& current = _mouseSoundsPath;
    if (!current.empty() && std::none_of(packs.begin(), packs.end(),
                                         [&](const auto& e) { return e.location == current; })) {
        packs.insert(packs.begin(), {soundSetTitle(current), QFile::decodeName(current.c_str()),
                                     current});
    }
    menu->addSeparator();
    for (const SoundSetEntry& entry : packs) {
        QAction* item = menu->addAction(shownAsWritten(entry.title));
        item->setToolTip(entry.path);
        item->setCheckable(true);
        item->setChecked(entry.location == current);
        const std::string path = entry.location;
        QObject::connect(item, &QAction::triggered, item,
                         [this, path] { openMouseSoundsWithFileURL(path); });
    }
    if (packs.empty()) menu->addAction("No mouse packs found")->setEnabled(false);
}

bool AppDelegate::hearsClicks() const {
    return anyButtonFilled(_buttonArray) || anyButtonFilled(_buttonUpArray) ||
           anyButtonFilled(_setButtonArray) || anyButtonFilled(_setButtonUpArray);
}

bool AppDelegate::anySoundLoaded() const {
    return anySlotFilled(_keyArray) || anySlotFilled(_keyUpArray) || hearsClicks();
}

}  // namespace tapsound
