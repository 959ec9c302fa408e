#pragma once

#include <QString>
#include <QStringList>
#include <string>
#include <vector>

namespace tapsound {

namespace platform {
class FileManager;
}

// A location the loader can open, as the Sound Sets menu offers it.
struct SoundSetEntry {
    QString title;
    QString path;          // as shown
    std::string location;  // as opened, byte for byte
};

// Where sound sets are kept: the user's and the installed ones, and the packs other
// keyboard-sound programs keep. Folders that do not exist are left out.
QStringList soundSetFolders();
// Where Mechvibes keeps its packs, whether they exist or not.
QStringList mechvibesFolders();

// The entries of each folder that the loader can open, grouped by folder and sorted by title;
// each folder is read within a bounded number of entries.
std::vector<std::vector<SoundSetEntry>> findSoundSets(const QStringList& folders,
                                                      const std::vector<std::string>& soundTypes);

// The mouse packs among the folders' entries, sorted by title, each told from its description
// alone, nothing decoded; a bounded number of entries is looked at.
std::vector<SoundSetEntry> findMousePacks(const QStringList& folders,
                                          const platform::FileManager& fileManager);

// How a location is named to the user: "Example" for Example.tapsnd.
QString soundSetTitle(const std::string& path);

}  // namespace tapsound
