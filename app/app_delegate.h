#pragma once

#include <atomic>
#include <bitset>
#include <functional>
#include <memory>
#include <optional>
#include <map>
#include <string>
#include <vector>

#include <QString>
#include <QStringList>

#include "app/double_press.h"
#include "platform/audio_devices.h"
#include "platform/event_monitor.h"
#include "platform/open_panel.h"
#include "platform/property_list.h"
#include "platform/sound.h"
#include "soundset/key_code_table.h"
#include "soundset/pack_tables.h"

class QIcon;
class QMenu;
class QRect;
class QSlider;
class QSystemTrayIcon;

namespace tapsound {

class ExportedMenu;
class NoTrayWindow;
class StatusNotifierItem;
class TrayHosts;

namespace platform {
class Accessibility;
class Bookmarks;
class FileManager;
class SoundLoader;
class UserDefaults;
class WorkQueue;
class Workspace;
}  // namespace platform

// Whether any button has a sound.
inline bool anyButtonFilled(const ButtonArray& buttons) {
    for (const SlotRef& slot : buttons) {
        if (slot) return true;
    }
    return false;
}

// The services the controller calls; main.cpp wires the real ones, tests their fakes.
struct Platform {
    platform::UserDefaults& userDefaults;
    platform::FileManager& fileManager;
    platform::SoundLoader& soundLoader;
    platform::EventMonitor& eventMonitor;
    platform::Accessibility& accessibility;
    platform::Workspace& workspace;
    platform::Bookmarks& bookmarks;
    platform::WorkQueue& workQueue;  // where sound sets are decoded
    std::function<std::unique_ptr<platform::OpenPanel>()> openPanel;
    std::string privacyAccessibilityURL;  // the page that explains how to let us observe keys
    std::string userSetsFolder;           // where the open dialog starts before any set was opened
    std::function<void()> terminate;      // the menu's quit item
    std::function<int()> rand;        // the random source; seeded by awakeFromNib
    std::function<void(unsigned)> srand;
    // Tells whether a tray shows our icon; without it, one is taken to be there.
    std::function<std::unique_ptr<TrayHosts>()> trayHosts;
    // Sends the sound to the output of this stable name, or to the server's default when empty.
    std::function<void(const std::string&)> routeOutput;
};

using platform::OutputDevice;

class AppDelegate {
public:
    // The main interface file: the status menu whose items send our actions.
    AppDelegate(Platform platform, QMenu* keyMenu);
    ~AppDelegate();
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    static void initialize(platform::UserDefaults& defaults);

    void awakeFromNib();
    void updateInstanceValues();
    void applicationDidFinishLaunching();
    void applicationWillTerminate();
    bool applicationOpenFile(const std::string& filename);
    // A location named on the command line, here or by a later start: `done` hears whether it
    // held any sound. One that held none leaves the loaded set and the stored one as they were.
    void openFromCommandLine(const std::string& path, std::function<void(bool heldSound)> done);
    // At the first start, when no set is stored, the installed example plays at once.
    void openAtFirstStart(const std::string& examplePath);

    void startEventMonitor();
    void endEventMonitor();
    void doKeyDownEvent(const platform::Event& event);

    bool checkAccessibility();
    void openPrivacyAccessibility();

    void playSoundWithKeyCode(int keyCode);
    // The release sound of a key, for sets that have them.
    void playKeyUpSoundWithKeyCode(int keyCode);
    // A mouse button's press or release (Event::buttonNumber), from the mouse pack, else from the
    // keyboard set where it defines buttons. `pointerX`: the pointer across the screen, 0..1 or -1.
    void playButtonSound(int button, bool down, float pointerX);

    // Mouse sounds are chosen apart from the keyboard set, and remembered.
    void openMouseSoundsWithFileURL(const std::string& path);
    void chooseNoMouseSounds();
    const std::string& mouseSoundsPath() const { return _mouseSoundsPath; }
    const ButtonArray& buttonArray() const { return _buttonArray; }
    const ButtonArray& buttonUpArray() const { return _buttonUpArray; }

    void setVolume(QSlider* sender);
    void open();
    void openWithFileURL(const std::string& path);

    SoundsDictionary soundsDictionaryWithDirectryPath(const std::string& path);
    void createKeyCodeArrayWithSoundsDictSoundsetDict(const SoundsDictionary* soundsDict,
                                                      const platform::PlistDictionary* soundsetDict);

    // The menu's own controls: Mute silences playback and is not stored.
    void toggleMute();
    void toggleStartAtLogin();
    void showHelp();
    bool isMuted() const { return _muted; }

    // Stereo by key position: 0 off (as recorded), 1 narrow, 2 wide.
    void setStereoWidth(int width);
    int stereoWidth() const { return _stereoWidth; }
    // Pitch and level drawn per press: 0 off (as recorded), 1 slight, 2 more.
    void setVariation(int variation);
    int variation() const { return _variation; }
    // The outputs the server has now; the chosen one is used while it is among them.
    void outputsChanged(std::vector<OutputDevice> outputs);
    // By stable name; empty for the server's default.
    void chooseOutput(const std::string& name);
    const std::string& chosenOutput() const { return _chosenOutput; }
    // Where a pointer at this fraction of the screen's width sits between the speakers; the
    // middle when unknown (negative). A mouse click plays there.
    float pointerPosition(double fraction) const;
    // Where the pointer is across the screens, 0..1, where the desktop tells (X11); -1 elsewhere.
    double pointerOnScreen() const;

    // Quiet where typing is secret or sound unwanted; main.cpp's watchers tell what changes.
    void sessionLockChanged(bool locked);
    // The focused window's application (empty when unknown) and whether it fills the screen.
    void activeWindowChanged(const QString& application, bool fullScreen);
    // Whether the desktop tells which window has the focus.
    void setActiveWindowKnown(bool known);
    // How an application is named in the menu and the tooltip; by its id until this is given.
    void setApplicationNames(std::function<QString(const QString& id)> nameOf);
    // Whether the focused text field is a password field.
    void passwordFocusChanged(bool password);
    // Whether programs tell the accessibility bus of their fields, and how to ask them to for
    // this session; while they do not, the menu offers it.
    void accessibilityReportingChanged(bool reporting, std::function<void()> enable);
    void enableAccessibilityReporting();
    void toggleSilentForPasswords();
    void toggleSilentInFullScreen();
    // A rule, remembered, for the application that has the focus.
    void toggleSilentInApplication();
    void removeSilentIn(const QString& application);
    // Why no key sounds now, as the tooltip and the window say it; empty while keys sound.
    QString silentReason() const;
    const QString& soundSetName() const { return _soundSetName; }
    NoTrayWindow* noTrayWindow() const { return _noTrayWindow.get(); }

    platform::MonitorToken globalEventMonitor() const { return _globalEventMonitor; }
    void setGlobalEventMonitor(platform::MonitorToken monitor) { _globalEventMonitor = std::move(monitor); }

    // Read-only views for the tray and tests.
    const KeyArray& keyArray() const { return _keyArray; }
    const KeyArray& keyUpArray() const { return _keyUpArray; }
    float volume() const { return _volume; }
    bool isAccessibilityEnabled() const { return _isAccessibilityEnabled; }
    QSlider* slider() const { return _slider; }
    QMenu* keyMenu() const { return _keyMenu; }
    QSystemTrayIcon* statusItem() const { return _statusItem.get(); }
    const std::optional<std::string>& tempPath() const { return _tempPath; }
    bool isOpenPanelShowing() const { return _openPanel != nullptr; }
    bool isMonitoring() const { return _globalEventMonitor || _localEventMonitor; }

private:
    struct GatheredSet;
    // Beside the icon, on the side away from its panel; an invalid rectangle means unknown.
    void showStatusMenu(const QRect& icon);
    // At the key's own place unless `position` (-1 left .. 1 right) says otherwise.
    void playSoundInSlot(const KeyArray& keys, int keyCode,
                         std::optional<float> position = std::nullopt);
    void playSlot(const SlotRef& slot, float volume, float position);
    // Reads a location away from the main thread; a mouse-only load changes no keyboard set.
    void openLocation(const std::string& path, bool mouseOnly);
    platform::Voicing voicingAt(float position) const;
    void connectSoundControls();
    void readSoundOptions();
    void fillStereoMenu(QMenu* menu);
    void fillVariationMenu(QMenu* menu);
    void fillOutputMenu(QMenu* menu);
    void routeOutput();
    // The second half of openWithFileURL, on the main thread once the set has been decoded.
    void finishOpeningFileURL(const std::string& path, const GatheredSet& set,
                              bool mouseOnly = false);
    // A mouse pack opened as any location is (not `chosen` in the Mouse Sounds menu or restored)
    // answers the command line that named it, and may bring back the last keyboard set.
    void finishOpeningMouseSounds(const std::string& path, const PackTables& pack, bool chosen);
    void restoreMouseSounds();
    void fillMouseSoundsMenu(QMenu* menu);
    // Whether any key or click has a sound, and whether clicks do.
    bool anySoundLoaded() const;
    bool hearsClicks() const;
    // Names the set now loaded; an unreadable location leaves a loaded set as it was.
    void didOpenSoundSet(const std::string& path, bool readable, bool anySound);
    // Once a location has been opened: answers the command line that asked for it.
    void didFinishOpening(const std::string& path, bool heldSound);
    void connectMenuControls();
    void createStatusItem();
    void setTrayIcon(const QIcon& icon);
    void onTrayHostsChanged();
    void showStartAtLogin();
    void showSoundSetState();
    void fillSoundSetsMenu(QMenu* menu);
    void connectSilenceControls();
    void readSilenceRules();
    void fillSilentInMenu(QMenu* menu);
    void showSilence();
    void showSilenceControls();
    QString applicationName(const QString& id) const;
    // Whether this press or release stays silent; a key that went down silent comes up silent.
    bool isSilentFor(int keyCode, bool down);

    Platform _platform;

    QMenu* _keyMenu = nullptr;
    QSlider* _slider = nullptr;  // owned by its container in the menu
    std::unique_ptr<QSystemTrayIcon> _statusItem;
    std::optional<std::string> _tempPath;
    KeyArray _keyArray{};
    KeyArray _keyUpArray{};  // release sounds; all empty for sets without them
    float _volume = 0.0f;
    float _setVolume = 1.0f;  // the keyboard pack's own volume, scaling its sounds
    // The mouse pack's sounds; all empty with None. Clicks play them, else the keyboard set's.
    ButtonArray _buttonArray{};
    ButtonArray _buttonUpArray{};
    float _mouseVolume = 1.0f;  // the mouse pack's own volume
    std::string _mouseSoundsPath;
    ButtonArray _setButtonArray{};  // a keyboard pack's own buttons, if it defines them
    ButtonArray _setButtonUpArray{};
    std::shared_ptr<std::atomic<bool>> _mouseLoadSuperseded;
    bool _keyboardSetRestored = false;  // once, where a mouse pack was the only location named
    bool _isAccessibilityEnabled = false;
    platform::MonitorToken _globalEventMonitor;
    platform::MonitorToken _localEventMonitor;
    std::unique_ptr<platform::OpenPanel> _openPanel;
    std::shared_ptr<std::atomic<bool>> _loadSuperseded;  // of the load in progress, if any

    std::unique_ptr<ExportedMenu> _exportedMenu;  // while a StatusNotifier host draws our menu
    std::unique_ptr<StatusNotifierItem> _notifierItem;  // our icon there, in place of _statusItem
    std::unique_ptr<TrayHosts> _trayHosts;
    std::unique_ptr<NoTrayWindow> _noTrayWindow;  // while no tray shows our icon
    bool _toldCannotHear = false;                 // an untrusted run's balloon, once
    bool _muted = false;
    std::string _soundSetPath;
    QString _soundSetName = "No sound set";
    DoublePress _scrollLockPresses;
    struct CommandLineRequest;
    std::unique_ptr<CommandLineRequest> _commandLineRequest;  // waiting for its set to open
    bool _sessionLocked = false;
    bool _activeWindowKnown = false;
    QString _activeApplication;
    bool _activeFullScreen = false;
    bool _silentInFullScreen = false;
    bool _passwordFocused = false;
    bool _silentForPasswords = true;
    std::function<void()> _enableAccessibilityReporting;  // empty while programs report
    QStringList _silentIn;  // applications, by the id the desktop tells of their windows
    std::function<QString(const QString&)> _applicationName;
    bool _silent = false;  // the one flag each key reads
    std::bitset<kKeyCodeCount> _downWhileSilent;
    std::bitset<kMouseButtonCount> _buttonsDownWhileSilent;
    int _stereoWidth = 0;
    int _variation = 0;
    std::string _chosenOutput;
    std::vector<OutputDevice> _outputs;
    bool _outputsKnown = false;  // the server has listed them
    std::map<std::string, std::string> _outputNames;  // descriptions seen, for one unplugged
    std::optional<std::string> _route;                // what the player was last told
};

}  // namespace tapsound
