#pragma once

#include <string>

namespace tapsound::platform {

class Workspace {
public:
    virtual ~Workspace() = default;
    virtual bool openURL(const std::string& url) = 0;
};

}  // namespace tapsound::platform
