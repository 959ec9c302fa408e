#include "platform/application_names.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QStringList>
#include <optional>

namespace tapsound::platform {

namespace {

// Entries are a few kilobytes; one larger is read in part.
constexpr qsizetype kEntryBytes = 64 * 1024;
// Ids come from other programs: a session's worth is kept, a flood of them is not.
constexpr qsizetype kKept = 256;

QStringList dataDirs() {
    const QString home = qEnvironmentVariable("XDG_DATA_HOME");
    const QString rest = qEnvironmentVariable("XDG_DATA_DIRS");
    return QStringList(home.isEmpty() ? QDir::homePath() + "/.local/share" : home) +
           (rest.isEmpty() ? QString("/usr/local/share:/usr/share") : rest)
               .split(':', Qt::SkipEmptyParts);
}

// Only a regular file is read: a FIFO or device in its place would block the menu.
std::optional<QByteArray> readEntry(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat status {};
    QByteArray bytes;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        bytes.resize(kEntryBytes);
        const ssize_t read = ::read(fd, bytes.data(), static_cast<std::size_t>(bytes.size()));
        bytes.resize(read > 0 ? read : 0);
    }
    ::close(fd);
    return bytes.isEmpty() ? std::nullopt : std::optional(bytes);
}

QString unescaped(const QString& value) {
    QString out;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        const QChar next = value[++i];
        out += next == 's' || next == 'n' || next == 't' || next == 'r' ? QChar(' ') : next;
    }
    return out.simplified();
}

// Name, or Name[ll_CC] / Name[ll] for the user's language, from the [Desktop Entry] group.
QString entryName(const QByteArray& bytes) {
    const QString locale = QLocale::system().name();
    const QStringList keys = {"Name[" + locale + "]", "Name[" + locale.section('_', 0, 0) + "]",
                              "Name"};
    QString found[3];
    bool inEntry = false;
    for (const QByteArray& raw : bytes.split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith('[')) {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (!inEntry || equals < 0) continue;
        const qsizetype key = keys.indexOf(line.left(equals).trimmed());
        if (key >= 0 && found[key].isEmpty()) found[key] = unescaped(line.mid(equals + 1));
    }
    for (const QString& name : found) {
        if (!name.isEmpty()) return name;
    }
    return {};
}

QString lookUp(const QString& id) {
    // An id is a file name here, never a path.
    if (id.isEmpty() || id.size() > 255 || id.contains('/') || id.contains(QChar(0))) return id;
    QStringList files = {id + ".desktop"};
    if (id.toLower() != id) files << id.toLower() + ".desktop";  // X11 classes are capitalised
    for (const QString& file : files) {
        for (const QString& dir : dataDirs()) {
            if (const auto bytes = readEntry(dir + "/applications/" + file)) {
                const QString name = entryName(*bytes);
                if (!name.isEmpty()) return name;
            }
        }
    }
    return id;
}

}  // namespace

QString ApplicationNames::nameOf(const QString& id) {
    if (const auto kept = _names.constFind(id); kept != _names.constEnd()) return *kept;
    if (_names.size() >= kKept) _names.clear();
    return *_names.insert(id, lookUp(id));
}

}  // namespace tapsound::platform
