#include <QAction>
#include <QMenu>
#include <algorithm>
#include <utility>
#include <vector>

#include "app/app_delegate.h"
#include "app/main_interface.h"
#include "platform/user_defaults.h"

namespace tapsound {

namespace {
constexpr const char* kSilentForPasswordsKey = "silentForPasswords";
constexpr const char* kSilentInFullScreenKey = "silentInFullScreen";
constexpr const char* kSilentInKey = "silentIn";  // UTF-8 names, a line each, kept as data

bool storedFlag(const platform::UserDefaults& defaults, const char* key, bool unset) {
    const auto stored = defaults.objectForKey(key);
    const double* number = stored ? std::get_if<double>(&*stored) : nullptr;
    return number ? *number != 0 : unset;
}

void storeNames(platform::UserDefaults& defaults, const QStringList& names) {
    const QByteArray lines = names.join('\n').toUtf8();
    defaults.setObjectForKey(std::vector<std::uint8_t>(lines.begin(), lines.end()), kSilentInKey);
}
}  // namespace

void AppDelegate::connectSilenceControls() {
    if (QAction* rules = itemWithAction(_keyMenu, "silentIn"); rules && rules->menu()) {
        QMenu* menu = rules->menu();
        QObject::connect(menu, &QMenu::aboutToShow, menu, [this, menu] { fillSilentInMenu(menu); });
    }
}

void AppDelegate::readSilenceRules() {
    _silentForPasswords = storedFlag(_platform.userDefaults, kSilentForPasswordsKey, true);
    _silentInFullScreen = storedFlag(_platform.userDefaults, kSilentInFullScreenKey, false);
    const auto stored = _platform.userDefaults.objectForKey(kSilentInKey);
    const auto* data = stored ? std::get_if<std::vector<std::uint8_t>>(&*stored) : nullptr;
    _silentIn = data ? QString::fromUtf8(reinterpret_cast<const char*>(data->data()),
                                         static_cast<qsizetype>(data->size()))
                           .split('\n', Qt::SkipEmptyParts)
                     : QStringList();
    _silentIn.removeDuplicates();
    showSilence();
}

void AppDelegate::toggleSilentInApplication() {
    if (_activeApplication.isEmpty()) return;
    if (!_silentIn.removeAll(_activeApplication)) _silentIn.append(_activeApplication);
    storeNames(_platform.userDefaults, _silentIn);
    showSilence();
}

void AppDelegate::removeSilentIn(const QString& application) {
    _silentIn.removeAll(application);
    storeNames(_platform.userDefaults, _silentIn);
    showSilence();
}

// Each rule checked, by name: choosing one ends it.
void AppDelegate::fillSilentInMenu(QMenu* menu) {
    menu->clear();
    std::vector<std::pair<QString, QString>> rules;
    for (const QString& id : _silentIn) rules.emplace_back(applicationName(id), id);
    std::sort(rules.begin(), rules.end(), [](const auto& a, const auto& b) {
        return QString::compare(a.first, b.first, Qt::CaseInsensitive) < 0;
    });
    for (const auto& rule : rules) {
        QAction* item = menu->addAction(shownAsWritten(rule.first));
        item->setCheckable(true);
        item->setChecked(true);
        QObject::connect(item, &QAction::triggered, item,
                         [this, id = rule.second] { removeSilentIn(id); });
    }
    if (menu->isEmpty()) menu->addAction("No applications")->setEnabled(false);
}

void AppDelegate::sessionLockChanged(bool locked) {
    _sessionLocked = locked;
    showSilence();
}

void AppDelegate::activeWindowChanged(const QString& application, bool fullScreen) {
    _activeApplication = application;
    _activeFullScreen = fullScreen;
    showSilence();
}

void AppDelegate::setActiveWindowKnown(bool known) {
    _activeWindowKnown = known;
    _keyMenu->setToolTipsVisible(true);  // a disabled item says why
    showSilenceControls();
}

void AppDelegate::setApplicationNames(std::function<QString(const QString&)> nameOf) {
    _applicationName = std::move(nameOf);
    showSilence();
}

QString AppDelegate::applicationName(const QString& id) const {
    return _applicationName ? _applicationName(id) : id;
}

void AppDelegate::passwordFocusChanged(bool password) {
    _passwordFocused = password;
    showSilence();
}

void AppDelegate::accessibilityReportingChanged(bool reporting, std::function<void()> enable) {
    _enableAccessibilityReporting = reporting ? nullptr : std::move(enable);
    showSilenceControls();
}

void AppDelegate::enableAccessibilityReporting() {
    if (_enableAccessibilityReporting) _enableAccessibilityReporting();
}

void AppDelegate::toggleSilentForPasswords() {
    _silentForPasswords = !_silentForPasswords;
    _platform.userDefaults.setObjectForKey(_silentForPasswords ? 1.0 : 0.0,
                                           kSilentForPasswordsKey);
    showSilence();
}

void AppDelegate::toggleSilentInFullScreen() {
    _silentInFullScreen = !_silentInFullScreen;
    _platform.userDefaults.setObjectForKey(_silentInFullScreen ? 1.0 : 0.0,
                                           kSilentInFullScreenKey);
    showSilence();
}

QString AppDelegate::silentReason() const {
    if (_sessionLocked) return "Silent: screen locked";
    if (_silentForPasswords && _passwordFocused) return "Silent: password field";
    if (_silentInFullScreen && _activeFullScreen) return "Silent: full screen";
    if (_silentIn.contains(_activeApplication))
        return "Silent in " + applicationName(_activeApplication);
    return {};
}

void AppDelegate::showSilence() {
    _silent = !silentReason().isEmpty();
    showSilenceControls();
    showSoundSetState();
}

void AppDelegate::showSilenceControls() {
    if (QAction* item = itemWithAction(_keyMenu, "toggleSilentForPasswords:")) {
        item->setChecked(_silentForPasswords);
    }
    if (QAction* item = itemWithAction(_keyMenu, "enableAccessibilityReporting:")) {
        item->setVisible(_silentForPasswords && _enableAccessibilityReporting);
        item->setToolTip("Password fields are told only while the desktop's accessibility is on; "
                         "this turns it on until tapsound quits");
    }
    if (QAction* item = itemWithAction(_keyMenu, "toggleSilentInFullScreen:")) {
        item->setChecked(_silentInFullScreen);
        item->setEnabled(_activeWindowKnown);
        item->setToolTip(_activeWindowKnown ? QString()
                                            : "This desktop does not tell which window is full "
                                              "screen");
    }
    if (QAction* item = itemWithAction(_keyMenu, "toggleSilentInApplication:")) {
        const bool known = !_activeApplication.isEmpty();
        const QString title =
            known ? "Silent in " + shownAsWritten(applicationName(_activeApplication))
                  : QString("Silent in Application");
        item->setText(title);
        item->setIconText(title);  // the no-tray window's button shows this
        item->setEnabled(known);
        item->setChecked(known && _silentIn.contains(_activeApplication));
        item->setToolTip(known                ? QString()
                         : _activeWindowKnown ? "No application has the focus"
                                              : "This desktop does not tell which application has "
                                                "the focus");
    }
    if (QAction* item = itemWithAction(_keyMenu, "silentIn")) {
        item->setEnabled(!_silentIn.isEmpty());
    }
}

bool AppDelegate::isSilentFor(int keyCode, bool down) {
    if (keyCode < 0 || static_cast<std::size_t>(keyCode) >= kKeyCodeCount) return _silent;
    auto wentDownSilent = _downWhileSilent[static_cast<std::size_t>(keyCode)];
    if (down) return wentDownSilent = _silent;
    const bool silent = _silent || wentDownSilent;
    wentDownSilent = false;
    return silent;
}

}  // namespace tapsound
