#include "platform/accessibility_keys.h"

namespace tapsound::platform {

KeySourceAccessibility::KeySourceAccessibility(KeySource& source, std::function<void()> prompt)
    : _source(source), _prompt(std::move(prompt)) {}

bool KeySourceAccessibility::isProcessTrustedWithOptions(bool prompt) {
    const bool trusted = _source.canObserveKeys();
    if (!trusted && prompt && _prompt) _prompt();
    return trusted;
}

}  // namespace tapsound::platform
