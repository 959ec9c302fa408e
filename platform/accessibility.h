#pragma once

namespace tapsound::platform {

// Whether this process may observe the keys typed into other programs.
class Accessibility {
public:
    virtual ~Accessibility() = default;
    // With prompt, tells the user once how to grant access when it is missing; never blocks.
    virtual bool isProcessTrustedWithOptions(bool prompt) = 0;
};

}  // namespace tapsound::platform
