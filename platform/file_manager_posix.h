#pragma once

#include "platform/file_manager.h"

namespace tapsound::platform {

class PosixFileManager : public FileManager {
public:
    std::optional<std::vector<std::string>> contentsOfDirectoryAtPath(
        const std::string& path) const override;
    bool fileExistsAtPath(const std::string& path, bool* isDirectory) const override;
};

}  // namespace tapsound::platform
