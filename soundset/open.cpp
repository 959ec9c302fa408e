#include <QSlider>
#include <algorithm>
#include <cctype>

#include "app/app_delegate.h"
#include "platform/bookmarks.h"
#include "platform/file_manager.h"
#include "platform/open_panel.h"
#include "platform/sound.h"
#include "platform/user_defaults.h"
#include "platform/work_queue.h"
#include "soundset/pack_tables.h"
#include "soundset/sound_scan.h"

namespace tapsound {

namespace {

constexpr const char* kBookmarkKey = "Bookmark";

std::string lastComponent(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    const auto slash = trimmed.rfind('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

bool isPackagePath(const std::string& path) {
    const std::string name = lastComponent(path);
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return false;
    std::string extension = name.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == "tapsnd";
}

std::string appendingPathComponent(const std::string& path, const std::string& component) {
    std::string joined = path;
    while (joined.size() > 1 && joined.back() == '/') joined.pop_back();
    std::string rest = component;
    while (!rest.empty() && rest.front() == '/') rest.erase(rest.begin());
    while (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (joined != "/") joined += '/';
    return joined + rest;
}

// The last location opened, as its stored bookmark resolves; nothing when none is stored as data.
std::optional<platform::ResolvedBookmark> storedBookmark(platform::UserDefaults& defaults,
                                                         platform::Bookmarks& bookmarks) {
    const auto stored = defaults.objectForKey(kBookmarkKey);
    const auto* data = stored ? std::get_if<std::vector<std::uint8_t>>(&*stored) : nullptr;
    if (!data) return std::nullopt;
    return bookmarks.URLByResolvingBookmarkData(*data);
}

}  // namespace

void AppDelegate::open() {
    if (_openPanel) {
        _openPanel->orderFrontRegardless();
        return;
    }
    std::vector<std::string> types = _platform.soundLoader.soundUnfilteredTypes();
    // Packages, zipped packs, and the config.json or profile.yaml that marks a pack's folder.
    types.insert(types.end(), {"tapsnd", "zip", "json", "yaml"});
    _openPanel = _platform.openPanel();
    if (!_openPanel) return;
    _openPanel->setAllowedFileTypes(types);
    _openPanel->setAllowsMultipleSelection(false);
    _openPanel->setCanChooseDirectories(true);
    // It starts where the last set is, else in the user's own sets.
    const auto last = storedBookmark(_platform.userDefaults, _platform.bookmarks);
    _openPanel->setDirectoryURL(last && !last->error ? last->path.substr(0, last->path.rfind('/'))
                                                     : _platform.userSetsFolder);
    _openPanel->beginWithCompletionHandler([this](int response) {
        const std::unique_ptr<platform::OpenPanel> panel = std::move(_openPanel);
        if (response != platform::kModalResponseOK || !panel) return;
        std::string chosen = panel->URL();
        if (lastComponent(chosen) == "config.json") chosen.erase(chosen.rfind('/'));
        openWithFileURL(chosen);
    });
}

bool AppDelegate::applicationOpenFile(const std::string& filename) {
    if (!_tempPath) {
        _tempPath = filename;
        return true;
    }
    openWithFileURL(filename);
    return true;
}

void AppDelegate::applicationDidFinishLaunching() {
    if (!_isAccessibilityEnabled) return;
    if (_tempPath) {
        openWithFileURL(*_tempPath);
    } else {
        const auto last = storedBookmark(_platform.userDefaults, _platform.bookmarks);
        if (last && !last->error && !last->stale) openWithFileURL(last->path);
        _tempPath = std::string();
    }
    // After the keyboard set, as loads run in turn.
    restoreMouseSounds();
}

// What a location holds, read and decoded away from the main thread.
struct AppDelegate::GatheredSet {
    enum class Kind { Package, Pack, Folder, SingleFile, Unreadable } kind = Kind::Unreadable;
    SoundsDictionary sounds;
    std::optional<platform::PlistDictionary> soundset;
    SoundRef single;
    PackTables pack;  // another program's pack, read into press and release tables
};

void AppDelegate::openWithFileURL(const std::string& path) { openLocation(path, false); }

void AppDelegate::openLocation(const std::string& path, bool mouseOnly) {
    // The last request wins: a load still in progress is dropped, and told to stop early. Mouse
    // sounds load on a line of their own, so choosing them leaves a set's load alone.
    auto& current = mouseOnly ? _mouseLoadSuperseded : _loadSuperseded;
    if (current) *current = true;
    auto superseded = std::make_shared<std::atomic<bool>>(false);
    current = superseded;
    platform::FileManager& files = _platform.fileManager;
    platform::SoundLoader& loader = _platform.soundLoader;
    _platform.workQueue.run(
        [this, path, superseded, mouseOnly, &files, &loader](const std::atomic<bool>& quitting) {
            auto set = std::make_shared<GatheredSet>();
            const std::function<bool()> stopped = [&] { return quitting || *superseded; };
            const auto scan = [&](const std::string& folder) {
                return tapsound::soundsDictionaryWithDirectryPath(files, loader, folder, stopped);
            };
            bool isDirectory = false;
            const bool exists = files.fileExistsAtPath(path, &isDirectory);
            // Other programs' packs are tried before the plain sound folder they also are.
            std::optional<PackTables> pack;
            // A package that is not there is unreadable, not an empty set.
            if (exists && isPackagePath(path)) {
                set->kind = GatheredSet::Kind::Package;
                set->sounds = scan(appendingPathComponent(path, "/Contents/Resources/sounds/"));
                set->soundset = platform::dictionaryWithContentsOfFile(
                    appendingPathComponent(path, "/Contents/Resources/soundset.plist"));
            } else if (exists && (pack = packAtPath(path, files, loader, stopped))) {
                set->kind = GatheredSet::Kind::Pack;
                set->pack = std::move(*pack);
            } else if (exists && isDirectory) {
                set->kind = GatheredSet::Kind::Folder;
                set->sounds = scan(path);
            } else if (platform::LoadBudget budget(kMaxDecodedBytesPerSet, stopped);
                       (set->single = loader.initWithContentsOfFile(path, budget))) {
                set->kind = GatheredSet::Kind::SingleFile;
            }
            return [this, path, superseded, set, mouseOnly] {
                if (!*superseded) finishOpeningFileURL(path, *set, mouseOnly);
            };
        });
}

void AppDelegate::finishOpeningFileURL(const std::string& path, const GatheredSet& set,
                                       bool mouseOnly) {
    // A mouse pack becomes the mouse sounds, however it was opened; the keyboard set stays.
    if (set.kind == GatheredSet::Kind::Pack && set.pack.mouse) {
        (mouseOnly ? _mouseLoadSuperseded : _loadSuperseded).reset();
        finishOpeningMouseSounds(path, set.pack, mouseOnly);
        return;
    }
    if (mouseOnly) {
        _mouseLoadSuperseded.reset();  // no mouse pack (any more): the mouse sounds stay
        return;
    }
    _loadSuperseded.reset();
    endEventMonitor();

    if (set.kind != GatheredSet::Kind::Unreadable) {
        _keyUpArray = {};
        _setButtonArray = {};
        _setButtonUpArray = {};
        _setVolume = 1.0f;
    }
    switch (set.kind) {
        case GatheredSet::Kind::Package:
            createKeyCodeArrayWithSoundsDictSoundsetDict(&set.sounds,
                                                         set.soundset ? &*set.soundset : nullptr);
            break;
        case GatheredSet::Kind::Pack:
            _keyArray = set.pack.press;
            _keyUpArray = set.pack.release;
            _setButtonArray = set.pack.buttonPress;
            _setButtonUpArray = set.pack.buttonRelease;
            _setVolume = set.pack.volume;
            break;
        case GatheredSet::Kind::Folder: {
            platform::PlistDictionary names;
            for (const auto& entry : set.sounds) {
                names.emplace(entry.first, platform::PlistValue::string(entry.first));
            }
            createKeyCodeArrayWithSoundsDictSoundsetDict(&set.sounds, &names);
            break;
        }
        case GatheredSet::Kind::SingleFile: {
            auto slot = std::make_shared<KeySlot>();
            slot->sounds.push_back(set.single);
            const SlotRef shared = std::move(slot);
            _keyArray.fill(shared);
            break;
        }
        case GatheredSet::Kind::Unreadable:
            break;
    }

    // A file that could not be read keeps the previous set loaded, so it must not become the
    // set restored at the next launch either.
    if (set.kind != GatheredSet::Kind::Unreadable) {
        if (auto data = _platform.bookmarks.bookmarkDataWithPath(path)) {
            _platform.userDefaults.setObjectForKey(std::move(*data), kBookmarkKey);
        }
    }

    const bool anySound = anySlotFilled(_keyArray) || anySlotFilled(_keyUpArray);
    if (_slider) {
        _slider->setEnabled(false);
        if (anySoundLoaded()) _slider->setEnabled(true);
    }
    startEventMonitor();
    didOpenSoundSet(path, set.kind != GatheredSet::Kind::Unreadable, anySound);
    didFinishOpening(path, set.kind != GatheredSet::Kind::Unreadable && anySound);
}

}  // namespace tapsound
