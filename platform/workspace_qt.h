#pragma once

#include "platform/workspace.h"

namespace tapsound::platform {

// Opens URLs through the desktop's handler.
class QtWorkspace : public Workspace {
public:
    bool openURL(const std::string& url) override;
};

}  // namespace tapsound::platform
