#include "app/app_delegate.h"

namespace tapsound {

void AppDelegate::sessionLockChanged(bool locked) {
    _sessionLocked = locked;
    showSilence();
}

QString AppDelegate::silentReason() const {
    if (_sessionLocked) return "Silent: screen locked";
    return {};
}

void AppDelegate::showSilence() {
    _silent = !silentReason().isEmpty();
    showSoundSetState();
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
