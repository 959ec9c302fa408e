#include "app/app_delegate.h"
#include "platform/accessibility.h"
#include "platform/workspace.h"

namespace tapsound {

bool AppDelegate::checkAccessibility() {
    return _platform.accessibility.isProcessTrustedWithOptions(/*prompt=*/true);
}

void AppDelegate::openPrivacyAccessibility() {
    if (_platform.privacyAccessibilityURL.empty()) return;
    _platform.workspace.openURL(_platform.privacyAccessibilityURL);
}

}  // namespace tapsound
