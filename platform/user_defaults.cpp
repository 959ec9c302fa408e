#include "platform/user_defaults.h"

#include <cstdlib>

namespace tapsound::platform {

float UserDefaults::floatForKey(const std::string& key) const {
    const auto value = objectForKey(key);
    if (!value) return 0.0f;
    if (const double* number = std::get_if<double>(&*value)) return static_cast<float>(*number);
    if (const std::string* text = std::get_if<std::string>(&*value)) {
        return std::strtof(text->c_str(), nullptr);
    }
    return 0.0f;
}

void UserDefaults::setFloatForKey(float value, const std::string& key) {
    setObjectForKey(static_cast<double>(value), key);
}

}  // namespace tapsound::platform
