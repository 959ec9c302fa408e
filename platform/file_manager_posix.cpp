#include "platform/file_manager_posix.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstring>

namespace tapsound::platform {

std::optional<std::vector<std::string>> PosixFileManager::contentsOfDirectoryAtPath(
    const std::string& path) const {
    DIR* dir = opendir(path.c_str());
    if (!dir) return std::nullopt;
    std::vector<std::string> names;
    while (const dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        names.emplace_back(entry->d_name);
    }
    closedir(dir);
    return names;
}

bool PosixFileManager::fileExistsAtPath(const std::string& path, bool* isDirectory) const {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        if (isDirectory) *isDirectory = false;
        return false;
    }
    if (isDirectory) *isDirectory = S_ISDIR(st.st_mode);
    return true;
}

}  // namespace tapsound::platform
