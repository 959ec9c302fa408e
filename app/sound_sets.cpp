#include "app/sound_sets.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "app/installed_files.h"
#include "soundset/pack_tables.h"

namespace tapsound {

namespace {

// A folder of thousands of files is no list of sets; the menu stays usable and quick to open.
constexpr int kMaxEntriesRead = 2000;
constexpr std::size_t kMaxEntriesShown = 200;

bool hasExtension(const QFileInfo& info, const char* extension) {
    return info.suffix().compare(QLatin1String(extension), Qt::CaseInsensitive) == 0;
}

}  // namespace

std::vector<SoundSetEntry> findMousePacks(const QStringList& folders,
                                          const platform::FileManager& fileManager) {
    std::vector<SoundSetEntry> packs;
    // Folders and zips are the places a pack can be; each says itself whether it is for a mouse.
    for (auto& group : findSoundSets(folders, {})) {
        for (auto& entry : group) {
            if (isMousePackAtPath(entry.location, fileManager)) packs.push_back(std::move(entry));
        }
    }
    std::sort(packs.begin(), packs.end(), [](const auto& a, const auto& b) {
        const int order = a.title.compare(b.title, Qt::CaseInsensitive);
        return order != 0 ? order < 0 : a.location < b.location;
    });
    if (packs.size() > kMaxEntriesShown) packs.resize(kMaxEntriesShown);
    return packs;
}

QStringList mechvibesFolders() {
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return {config + "/Mechvibes/custom", data + "/mechvibes/soundpacks/keyboard"};
}

QStringList soundSetFolders() {
    QStringList candidates{userSetsFolder()};
    candidates << installedFiles("sets") << mechvibesFolders();

    QStringList folders;
    for (const QString& candidate : candidates) {
        const QString folder = QFileInfo(candidate).canonicalFilePath();
        if (!folder.isEmpty() && QFileInfo(folder).isDir() && !folders.contains(folder)) {
            folders << folder;
        }
    }
    return folders;
}

std::vector<std::vector<SoundSetEntry>> findSoundSets(const QStringList& folders,
                                                      const std::vector<std::string>& soundTypes) {
    std::vector<std::vector<SoundSetEntry>> groups;
    for (const QString& folder : folders) {
        std::vector<SoundSetEntry> entries;
        // Listed as bytes: Qt leaves out names that are not UTF-8, which still open byte for byte.
        const std::string base = QFile::encodeName(folder).toStdString();
        DIR* dir = opendir(base.c_str());
        for (int read = 0; dir && read < kMaxEntriesRead; ++read) {
            const dirent* entry = readdir(dir);
            if (!entry) break;
            const std::string name = entry->d_name;
            const std::string location = base + "/" + name;
            struct stat st {};
            if (name.front() == '.' || stat(location.c_str(), &st) != 0 ||
                access(location.c_str(), R_OK) != 0) {
                continue;
            }
            const QFileInfo info(QFile::decodeName(name.c_str()));
            bool openable = S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && hasExtension(info, "zip"));
            for (const std::string& type : soundTypes) {
                openable = openable || (S_ISREG(st.st_mode) && hasExtension(info, type.c_str()));
            }
            if (openable) {
                entries.push_back({soundSetTitle(location), QFile::decodeName(location.c_str()),
                                   location});
            }
        }
        if (dir) closedir(dir);
        std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
            const int order = a.title.compare(b.title, Qt::CaseInsensitive);
            return order != 0 ? order < 0 : a.location < b.location;
        });
        if (entries.size() > kMaxEntriesShown) entries.resize(kMaxEntriesShown);
        if (!entries.empty()) groups.push_back(std::move(entries));
    }
    return groups;
}

QString soundSetTitle(const std::string& path) {
    const QFileInfo info(QDir::cleanPath(QFile::decodeName(path.c_str())));
    if (hasExtension(info, "tapsnd") || hasExtension(info, "zip")) {
        const QString name = info.fileName();
        return name.left(name.lastIndexOf('.'));
    }
    return info.fileName();
}

}  // namespace tapsound
