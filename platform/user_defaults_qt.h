#pragma once

#include <QSettings>
#include <memory>

#include "platform/user_defaults.h"

namespace tapsound::platform {

// Preferences in the user's config directory ($XDG_CONFIG_HOME/tapsound/tapsound.ini). Where no
// file can hold them (no path, or something other than a file in its place) they are kept for
// this run only.
class QtUserDefaults : public UserDefaults {
public:
    explicit QtUserDefaults(const QString& filePath);

    void registerDefaults(const std::map<std::string, DefaultsValue>& defaults) override;
    std::optional<DefaultsValue> objectForKey(const std::string& key) const override;
    void setObjectForKey(const DefaultsValue& value, const std::string& key) override;
    // Writes what changed now, rather than when the event loop next turns.
    void synchronize();

private:
    std::unique_ptr<QSettings> _settings;
    std::map<std::string, DefaultsValue> _unstored;  // while there is no file to hold them
    std::map<std::string, DefaultsValue> _registered;
};

}  // namespace tapsound::platform
