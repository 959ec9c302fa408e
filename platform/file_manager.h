#pragma once

#include <cstddef>
#include <functional>
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
    // The same, ending early: nothing once `stopped` answers true, and only the first `maxEntries`
    // names, so a huge or slow folder holds a load no longer than it is wanted. By default the
    // whole listing, then cut.
    virtual std::optional<std::vector<std::string>> boundedContentsOfDirectoryAtPath(
        const std::string& path, const std::function<bool()>& stopped,
        std::size_t maxEntries) const;
    virtual bool fileExistsAtPath(const std::string& path, bool* isDirectory) const = 0;
};

}  // namespace tapsound::platform
