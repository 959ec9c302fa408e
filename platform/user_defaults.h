#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tapsound::platform {

// A stored preference: a number, a string or raw data.
using DefaultsValue = std::variant<double, std::string, std::vector<std::uint8_t>>;

class UserDefaults {
public:
    virtual ~UserDefaults() = default;
    // Registered values answer when nothing is stored; they are never written to disk.
    virtual void registerDefaults(const std::map<std::string, DefaultsValue>& defaults) = 0;
    virtual std::optional<DefaultsValue> objectForKey(const std::string& key) const = 0;
    virtual void setObjectForKey(const DefaultsValue& value, const std::string& key) = 0;

    // 0 when the value is missing or has no numeric reading.
    float floatForKey(const std::string& key) const;
    void setFloatForKey(float value, const std::string& key);
};

}  // namespace tapsound::platform
