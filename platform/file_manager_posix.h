#pragma once

#include "platform/file_manager.h"

namespace tapsound::platform {

// Opens a regular file for reading, following links; -1 for anything else. A device, FIFO or
// socket is never opened, not even for a moment: opening one can block, reset a serial line or
// rewind a tape. The descriptor is the caller's to close.
int openRegularFile(const std::string& path);

class PosixFileManager : public FileManager {
public:
    std::optional<std::vector<std::string>> contentsOfDirectoryAtPath(
        const std::string& path) const override;
    std::optional<std::vector<std::string>> boundedContentsOfDirectoryAtPath(
        const std::string& path, const std::function<bool()>& stopped,
        std::size_t maxEntries) const override;
    bool fileExistsAtPath(const std::string& path, bool* isDirectory) const override;
};

}  // namespace tapsound::platform
