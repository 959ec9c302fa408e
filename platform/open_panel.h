#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tapsound::platform {

inline constexpr int kModalResponseCancel = 0;
inline constexpr int kModalResponseOK = 1;

// A non-modal dialog that picks one file or folder.
class OpenPanel {
public:
    virtual ~OpenPanel() = default;
    virtual void setAllowedFileTypes(const std::vector<std::string>& extensions) = 0;
    virtual void setAllowsMultipleSelection(bool allows) = 0;
    virtual void setCanChooseDirectories(bool can) = 0;
    // The folder it starts in.
    virtual void setDirectoryURL(const std::string& folder) = 0;
    // Returns at once; the handler runs once on the main thread when the panel closes, and may
    // destroy the panel.
    virtual void beginWithCompletionHandler(std::function<void(int response)> handler) = 0;
    virtual void orderFrontRegardless() = 0;
    // The chosen path, after an OK.
    virtual std::string URL() const = 0;
};

}  // namespace tapsound::platform
