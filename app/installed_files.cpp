#include "app/installed_files.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace tapsound {

QStringList installedFiles(const QString& relative) {
    const QDir binary = QFileInfo("/proc/self/exe").canonicalPath();
    QStringList candidates{binary.filePath(TAPSOUND_DATA_FROM_BINARY "/" + relative)};
    for (const QString& data :
         QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation)) {
        candidates << data + "/tapsound/" + relative;
    }
    if (binary == QDir(TAPSOUND_BINARY_DIR)) {
        candidates << TAPSOUND_BINARY_DIR "/" + relative
                   << TAPSOUND_SOURCE_DIR "/resources/" + relative;
    }
    QStringList found;
    for (const QString& path : candidates) {
        if (QFileInfo::exists(path)) found << QDir::cleanPath(path);
    }
    return found;
}

QString installedFile(const QString& relative) { return installedFiles(relative).value(0); }

QString userSetsFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/tapsound/sets";
}

QString settingsFile() {
    return QSettings(QSettings::IniFormat, QSettings::UserScope, "tapsound", "tapsound").fileName();
}

}  // namespace tapsound
