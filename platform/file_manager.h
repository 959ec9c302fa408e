#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tapsound::platform {

class FileManager {
public:
    virtual ~FileManager() = default;
    // Names of the direct entries, hidden ones included, in the order the file system lists them;
    // nothing when the path cannot be listed.
    virtual std::optional<std::vector<std::string>> contentsOfDirectoryAtPath(
        const std::string& path) const = 0;
    virtual bool fileExistsAtPath(const std::string& path, bool* isDirectory) const = 0;
};

}  // namespace tapsound::platform
