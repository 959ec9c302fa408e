#include "platform/file_manager_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace tapsound::platform {

int openRegularFile(const std::string& path) {
    // A path only names the file; its type is checked before the file itself is opened, through
    // the very inode found, so it cannot be swapped in between.
    const int located = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    if (located < 0) return -1;
    struct stat st {};
    int fd = -1;
    if (fstat(located, &st) == 0 && S_ISREG(st.st_mode)) {
        const std::string self = "/proc/self/fd/" + std::to_string(located);
        // Without /proc nothing is opened: the path opened again could by then name a device,
        // and opening some devices already does something.
        fd = ::open(self.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }
    ::close(located);
    if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

std::optional<std::vector<std::string>> FileManager::boundedContentsOfDirectoryAtPath(
    const std::string& path, const std::function<bool()>& stopped, std::size_t maxEntries) const {
    auto names = contentsOfDirectoryAtPath(path);
    if (!names || (stopped && stopped())) return std::nullopt;
    if (names->size() > maxEntries) names->resize(maxEntries);
    return names;
}

std::optional<std::vector<std::string>> PosixFileManager::contentsOfDirectoryAtPath(
    const std::string& path) const {
    return boundedContentsOfDirectoryAtPath(path, {}, SIZE_MAX);
}

std::optional<std::vector<std::string>> PosixFileManager::boundedContentsOfDirectoryAtPath(
    const std::string& path, const std::function<bool()>& stopped, std::size_t maxEntries) const {
    DIR* dir = opendir(path.c_str());
    if (!dir) return std::nullopt;
    std::vector<std::string> names;
    bool wanted = true;
    // A stop is polled every few entries: each readdir may wait on a slow file system.
    constexpr std::size_t kPollEvery = 64;
    for (std::size_t seen = 0; names.size() < maxEntries; ++seen) {
        if (seen % kPollEvery == 0 && stopped && stopped()) {
            wanted = false;
            break;
        }
        const dirent* entry = readdir(dir);
        if (!entry) break;
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        names.emplace_back(entry->d_name);
    }
    closedir(dir);
    if (!wanted) return std::nullopt;
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
