#include "platform/workspace_qt.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QTextBrowser>
#include <QUrl>

namespace tapsound::platform {

bool QtWorkspace::openURL(const std::string& url) {
    const QUrl parsed(QString::fromStdString(url));
    if (!parsed.isValid()) return false;
    if (QDesktopServices::openUrl(parsed)) return true;
    // Without a desktop handler (no xdg-open), a page of our own still shows in a window of ours.
    if (!parsed.isLocalFile() || !QFileInfo::exists(parsed.toLocalFile())) return false;
    auto* page = new QTextBrowser();
    page->setAttribute(Qt::WA_DeleteOnClose);
    page->setOpenExternalLinks(true);
    page->setSource(parsed);
    page->setWindowTitle(page->documentTitle());
    page->resize(640, 560);
    page->show();
    return true;
}

}  // namespace tapsound::platform
