#include "platform/workspace_qt.h"

#include <QDesktopServices>
#include <QUrl>

namespace tapsound::platform {

bool QtWorkspace::openURL(const std::string& url) {
    const QUrl parsed(QString::fromStdString(url));
    if (!parsed.isValid()) return false;
    return QDesktopServices::openUrl(parsed);
}

}  // namespace tapsound::platform
