#include "app/autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include "app/installed_files.h"

namespace tapsound {

namespace {

// An Exec argument quoted as desktop entries ask, so a path with spaces still starts: quoting
// escapes first, then the escapes of every string value (a backslash doubled again, and the line
// breaks and tabs a value cannot hold as they are).
QString quotedExec(const QString& program) {
    QString quoted = program;
    quoted.replace('\\', "\\\\\\\\")
        .replace('"', "\\\\\"")
        .replace('`', "\\\\`")
        .replace('$', "\\\\$")
        .replace('\n', "\\n")
        .replace('\t', "\\t")
        .replace('\r', "\\r");
    quoted.replace('%', "%%");
    return '"' + quoted + '"';
}

}  // namespace

QString autostartFile() {
    const QString config = userConfigFolder();
    return config.isEmpty() ? QString() : config + "/autostart/tapsound.desktop";
}

bool isStartingAtLogin() {
    // Only a file is read: a FIFO in its place would hold the menu open forever.
    const QString path = autostartFile();
    QFile file(path);
    if (path.isEmpty() || !QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        return false;
    }
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
    if (path.isEmpty()) return false;
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
