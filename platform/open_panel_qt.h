#pragma once

#include <QPointer>
#include <memory>

#include "platform/open_panel.h"

class QFileDialog;

namespace tapsound::platform {

// A non-modal Qt file dialog that accepts a sound file or a folder (sound sets are folders).
class QtOpenPanel : public OpenPanel {
public:
    QtOpenPanel();
    ~QtOpenPanel() override;

    void setAllowedFileTypes(const std::vector<std::string>& extensions) override;
    void setAllowsMultipleSelection(bool allows) override;
    void setCanChooseDirectories(bool can) override;
    void setDirectoryURL(const std::string& folder) override;
    void beginWithCompletionHandler(std::function<void(int response)> handler) override;
    void orderFrontRegardless() override;
    std::string URL() const override;

private:
    QPointer<QFileDialog> _dialog;
    std::function<void(int)> _handler;
    std::string _chosen;
};

}  // namespace tapsound::platform
