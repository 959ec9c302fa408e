#include "app/installed_files.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace tapsound {

QStringList installedFiles(const QString& relative) {
    const QDir binary = QFileInfo("/proc/self/exe").canonicalPath();
    QStringList candidates{binary.filePath(TAPSOUND_DATA_FROM_BINARY "/" + relative)};
    for (const QString& data :
         QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation)) {
        candidates << data + "/tapsound/" + relative;
    }
    // Compared as text: an installed binary never looks at the folder it was built in.
    if (binary.path() == QDir::cleanPath(TAPSOUND_BINARY_DIR)) {
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

QString userConfigFolder() {
    // Without either, Qt would settle on "/.config", which is nobody's.
    if (qEnvironmentVariableIsEmpty("HOME") && qEnvironmentVariableIsEmpty("XDG_CONFIG_HOME")) {
        return {};
    }
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
}

QString settingsFile() {
    // Where QSettings keeps an ini file of the user's, named without opening it.
    const QString config = userConfigFolder();
    return config.isEmpty() ? QString() : config + "/tapsound/tapsound.ini";
}

}  // namespace tapsound
