#pragma once

#include <QSettings>
#include <memory>

#include "platform/user_defaults.h"

namespace tapsound::platform {

// Preferences in the user's config directory ($XDG_CONFIG_HOME/tapsound/tapsound.conf).
class QtUserDefaults : public UserDefaults {
public:
    QtUserDefaults();
    explicit QtUserDefaults(const QString& filePath);

    void registerDefaults(const std::map<std::string, DefaultsValue>& defaults) override;
    std::optional<DefaultsValue> objectForKey(const std::string& key) const override;
    void setObjectForKey(const DefaultsValue& value, const std::string& key) override;

private:
    std::unique_ptr<QSettings> _settings;
    std::map<std::string, DefaultsValue> _registered;
};

}  // namespace tapsound::platform
