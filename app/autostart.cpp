#include "app/autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace tapsound {

namespace {

// An Exec argument quoted as desktop entries ask, so a path with spaces still starts.
QString quotedExec(const QString& program) {
    QString quoted = program;
    quoted.replace('\\', "\\\\\\\\")
        .replace('"', "\\\\\"")
        .replace('`', "\\\\`")
        .replace('$', "\\\\$");
    quoted.replace('%', "%%");
    return '"' + quoted + '"';
}

}  // namespace

QString autostartFile() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           "/autostart/tapsound.desktop";
}

bool isStartingAtLogin() {
    QFile file(autostartFile());
    if (!file.open(QIODevice::ReadOnly)) return false;
    // A desktop entry is small; a huge file is not ours and is read no further than this.
    const QByteArray text = file.read(64 * 1024);
    for (const QByteArray& line : text.split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed == "Hidden=true" || trimmed == "X-GNOME-Autostart-enabled=false") return false;
    }
    return true;
}

bool setStartAtLogin(bool start, const QString& program) {
    const QString path = autostartFile();
    if (!start) {
        QFile::remove(path);
        return !isStartingAtLogin();
    }
    QDir().mkpath(QFileInfo(path).path());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return false;
    const QString entry =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=tapsound\n"
        "Comment=Plays a short sound on every key press\n"
        "Exec=" +
        quotedExec(program) +
        "\n"
        "Icon=tapsound\n"
        "Terminal=false\n"
        "X-GNOME-Autostart-enabled=true\n";
    file.write(entry.toUtf8());
    return file.commit() && isStartingAtLogin();
}

}  // namespace tapsound
