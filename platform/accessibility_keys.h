#pragma once

#include <functional>

#include "platform/accessibility.h"
#include "platform/key_source.h"

namespace tapsound::platform {

// Trusted when the key backend can observe keys here.
class KeySourceAccessibility : public Accessibility {
public:
    KeySourceAccessibility(KeySource& source, std::function<void()> prompt);
    bool isProcessTrustedWithOptions(bool prompt) override;

private:
    KeySource& _source;
    std::function<void()> _prompt;
};

}  // namespace tapsound::platform
